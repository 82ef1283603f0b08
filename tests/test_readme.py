"""The README's examples run as written, top to bottom, in one session
(a fresh folder as the working directory, for the files they write)."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
TEXT = README.read_text(encoding="utf-8")
BLOCKS = re.findall(r"^```python\n(.*?)^```", TEXT, re.M | re.S)
# Every example in document order, as (language, code): the shell examples
# use the files the Python examples before them write.
EXAMPLES = re.findall(r"^```(python|sh)\n(.*?)^```", TEXT, re.M | re.S)
# Commands that build or install the package: the suite runs on their result.
SETUP = ("make ", "pip ")


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


def test_readme_shell_blocks_run(tmp_path, monkeypatch):
    pytest.importorskip("PIL")
    pytest.importorskip("dask.array")
    monkeypatch.chdir(tmp_path)
    # `tarnwick` is this interpreter's, with the package under test.
    bin_dir = tmp_path / ".bin"
    bin_dir.mkdir()
    (bin_dir / "tarnwick").write_text(f'#!/bin/sh\nexec "{sys.executable}" -m tarnwick "$@"\n')
    (bin_dir / "tarnwick").chmod(0o755)
    env = dict(os.environ, PATH=f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
    namespace = {"__name__": "__readme__"}
    shell = 0
    for number, (language, block) in enumerate(EXAMPLES, 1):
        if language == "python":
            exec(compile(block, f"README.md example {number}", "exec"), namespace)
            continue
        shell += 1
        script = "".join(line for line in block.splitlines(keepends=True) if not line.startswith(SETUP))
        run = subprocess.run(["sh", "-euc", script], capture_output=True, text=True, env=env, timeout=300)
        assert run.returncode == 0, f"README.md shell block {shell}:\n{script}\n{run.stderr}"
    assert shell >= 3
