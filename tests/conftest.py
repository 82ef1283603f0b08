import sys
from pathlib import Path

# The reference model and helpers sit beside the tests.
sys.path.insert(0, str(Path(__file__).parent))
