"""The version users see, from the installed package's metadata."""

from importlib import metadata

import pytest

import tarnwick
from tarnwick.cli import main


def test_version_comes_from_the_metadata(capsys):
    assert tarnwick.__version__ == metadata.version("tarnwick")
    with pytest.raises(SystemExit) as stop:
        main(["--version"])
    assert stop.value.code == 0
    assert capsys.readouterr().out.strip() == f"tarnwick {tarnwick.__version__}"
