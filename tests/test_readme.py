"""The README's Python examples run as written, top to bottom, in one session
(a fresh folder as the working directory, for the files they write)."""

import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```", README.read_text(encoding="utf-8"), re.M | re.S)


def test_readme_has_examples():
    assert len(BLOCKS) >= 4


def test_readme_python_blocks_run(tmp_path, monkeypatch):
    pytest.importorskip("PIL")
    pytest.importorskip("dask.array")
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__readme__"}
    for number, block in enumerate(BLOCKS, 1):
        code = compile(block, f"README.md python block {number}", "exec")
        exec(code, namespace)  # a failure's traceback names the block and line
