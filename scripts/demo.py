"""What `make demo` runs: the command line on two generated pictures.

Saves the built-in scene and layer under out/, blends them with one mode, then
draws the contact sheet of all 28 modes into out/modes.png, printing each command.
"""

import shlex
import subprocess
import sys
import time
from pathlib import Path

from PIL import Image

from tarnwick import sheet

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "out"


def run(*args: str) -> None:
    print("$ tarnwick " + shlex.join(args), flush=True)
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "tarnwick", *args], check=True, cwd=ROOT)
    print(f"  ({time.perf_counter() - start:.2f} s)")


def main() -> int:
    OUT.mkdir(exist_ok=True)
    Image.fromarray(sheet.scene(512, 768)).save(OUT / "scene.png")
    Image.fromarray(sheet.layer(512, 768)).save(OUT / "layer.png")
    print("wrote out/scene.png and out/layer.png (the built-in pictures)")
    try:
        run("blend", "soft_light", "out/scene.png", "out/layer.png", "-o", "out/soft_light.png")
        run("sheet", "-o", "out/modes.png")
    except subprocess.CalledProcessError as exc:
        return exc.returncode
    print("wrote out/soft_light.png and out/modes.png")
    return 0


if __name__ == "__main__":
    sys.exit(main())
