"""The package's types: mypy --strict and basedpyright (strict) over the package
and a user's script (tests/typecheck/), and the script run for real.

The checkers run where the test set-up installed them (the stock interpreter's
venv: mypy's compiled runtime has no free-threaded build). Their configuration
is in pyproject.toml; a failure lists the checker's file:line messages.
"""

from __future__ import annotations

import importlib.util
import os
import subprocess
import sys
from pathlib import Path
from typing import get_args

import pytest

import tarnwick
from tarnwick._typing import Blend, BlendName, KernelName, Mode, Operator, OperatorName

ROOT = Path(__file__).resolve().parent.parent
SCRIPT = ROOT / "tests" / "typecheck" / "user_script.py"
BIN = Path(sys.executable).parent


def test_literals_match_the_module() -> None:
    assert get_args(Mode) == tarnwick.MODES
    assert get_args(KernelName) == tarnwick.KERNELS


@pytest.mark.parametrize("names, spellings, canonical", [
    (tarnwick.BLENDS, BlendName, Blend),
    (tarnwick.OPERATORS, OperatorName, Operator),
])
def test_standard_literals_match_the_module(
    names: tuple[str, ...], spellings: object, canonical: object
) -> None:
    assert get_args(canonical) == names
    hyphenated = {name.replace("_", "-") for name in names if "_" in name}
    taken = {name for part in get_args(spellings) for name in get_args(part)}
    assert taken == set(names) | hyphenated


def test_user_script_runs() -> None:
    pytest.importorskip("dask.array")
    done = subprocess.run([sys.executable, str(SCRIPT)], capture_output=True, text=True,
                          cwd=ROOT, timeout=120)
    assert done.returncode == 0, done.stderr


def _checker(name: str, command: list[str]) -> list[str]:
    done = subprocess.run(command, capture_output=True, text=True, cwd=ROOT, timeout=600,
                          env={**os.environ, "NO_COLOR": "1"})
    report = (done.stdout + done.stderr).strip()
    assert done.returncode == 0, f"{name} found type errors:\n{report}"
    return report.splitlines()


def test_mypy_strict() -> None:
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed here (the test set-up puts it in .venv-gil)")
    _checker("mypy --strict", [
        sys.executable, "-m", "mypy", "--strict", "--config-file", "pyproject.toml",
        "--python-executable", sys.executable, "--cache-dir", "build/mypy-cache",
        "--show-error-codes", "--no-error-summary", "--no-pretty",
    ])


def test_basedpyright_strict() -> None:
    exe = BIN / "basedpyright"
    if not exe.exists():
        pytest.skip("basedpyright is not installed here (the test set-up puts it in .venv-gil)")
    _checker("basedpyright (strict)", [str(exe), "--pythonpath", sys.executable, "--level", "error"])
