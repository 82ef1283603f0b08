"""Import-time behaviour, the method table and kernel_available."""

import os
import shutil
import subprocess
import sys
import sysconfig

import pytest

import _tarnwick
import tarnwick

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded interpreter")
def test_import_keeps_the_gil_disabled():
    code = (
        "import warnings, sys\n"
        "warnings.simplefilter('error')\n"
        "import _tarnwick\n"
        "assert not sys._is_gil_enabled(), 'GIL was re-enabled'\n"
    )
    result = subprocess.run([sys.executable, "-W", "error", "-c", code], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr


def test_import_without_numpy_fails_with_numpys_error(tmp_path):
    # A numpy package that cannot be imported stands in for a missing one.
    (tmp_path / "numpy").mkdir()
    (tmp_path / "numpy" / "__init__.py").write_text("raise ModuleNotFoundError(\"No module named 'numpy'\")\n")
    code = f"import sys; sys.path.insert(0, {str(tmp_path)!r}); import _tarnwick"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode != 0
    assert "ModuleNotFoundError" in result.stderr or "ImportError" in result.stderr


def test_blend_functions_share_one_docstring():
    blend_names = [n for n in dir(_tarnwick) if not n.startswith("_") and n != "kernel_available"]
    assert "normal" in blend_names
    for name in blend_names:
        assert getattr(_tarnwick, name).__doc__ == "Blend (background, foreground, opacity)."
    assert _tarnwick.kernel_available.__doc__ == "Check whether a kernel is supported."
    assert _tarnwick.__doc__ == "Tarnwick"


def test_package_reexports_the_module():
    assert tarnwick.normal is _tarnwick.normal
    assert tarnwick.kernel_available is _tarnwick.kernel_available
    assert [k.value for k in tarnwick.KernelKind] == ["auto", "scalar", "sse42", "avx2"]


@pytest.mark.parametrize("name", ["auto", "scalar"])
def test_auto_and_scalar_always_available(name):
    assert _tarnwick.kernel_available(name) is True


def test_vector_kernels_match_the_processor():
    # The module refuses to import without AVX2, so both are present here.
    assert _tarnwick.kernel_available("sse42") is True
    assert _tarnwick.kernel_available("avx2") is True


@pytest.mark.parametrize("name", ["AVX2", "", "avx512", "scalar "])
def test_unknown_kernel_names_raise(name):
    with pytest.raises(ValueError, match="^unknown kernel kind$"):
        _tarnwick.kernel_available(name)


@pytest.mark.parametrize("args", [(), ("auto", "scalar"), (3,), (tarnwick.KernelKind.AVX2,), ("a\0b",)])
def test_kernel_available_argument_errors_come_from_tuple_parsing(args):
    with pytest.raises((TypeError, ValueError)) as info:
        _tarnwick.kernel_available(*args)
    assert "unknown kernel kind" not in str(info.value)


def test_keywords_are_rejected():
    with pytest.raises(TypeError):
        _tarnwick.kernel_available(name="auto")


@pytest.mark.skipif(shutil.which("objdump") is None, reason="needs binutils' objdump")
def test_start_up_runs_no_avx_instruction():
    # Start-up must be able to refuse a processor without AVX2/FMA, so none of
    # its own code may be VEX-encoded (every AVX instruction's mnemonic starts
    # with "v" in AT&T syntax).
    listing = subprocess.run(
        ["objdump", "-d", "--no-show-raw-insn", "--disassemble=PyInit__tarnwick", _tarnwick.__file__],
        capture_output=True, text=True, check=True,
    ).stdout
    body = listing.split("<PyInit__tarnwick>:", 1)[1]
    mnemonics = [line.split("\t")[1].split()[0] for line in body.splitlines() if line.count("\t") >= 1 and ":" in line]
    assert mnemonics, "PyInit__tarnwick not found in the disassembly"
    assert not [m for m in mnemonics if m.startswith("v")]


@pytest.mark.skipif(shutil.which("qemu-x86_64") is None, reason="needs qemu-user")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer runtime cannot run under qemu")
@pytest.mark.parametrize("cpu, loads", [("Nehalem", False), ("Haswell", True)])
def test_import_on_an_emulated_processor(cpu, loads):
    # Nehalem has SSE4.2 but no AVX: the import must refuse cleanly (an AVX2
    # instruction would die with SIGILL instead). Haswell has AVX2 and FMA.
    code = "import numpy, _tarnwick; print(_tarnwick.normal(numpy.zeros((1, 9, 3), numpy.uint8), numpy.full((1, 9, 3), 255, numpy.uint8), 0.5)[0, 8])"
    if not loads:
        # NumPy's own wheels may need more than the old processor has, and
        # the refusal comes before the module imports NumPy: import it alone.
        code = "import _tarnwick"
    result = subprocess.run(["qemu-x86_64", "-cpu", cpu, sys.executable, "-c", code], capture_output=True, text=True)
    if loads:
        assert result.returncode == 0, result.stderr
        assert result.stdout.split() == ["[128", "128", "128]"]
    else:
        assert result.returncode == 1, result.stderr
        assert "ImportError: _tarnwick requires a processor with AVX2 and FMA" in result.stderr
