"""Inputs changed by caller code, or by another thread, while a call is parsed.

The opacity's conversion and the kernel's `value` getter run the caller's
Python code after the arrays were validated; whatever that code (or another
thread) does to the arrays' metadata must neither corrupt memory nor change
what is composited. The cases that once crashed run in a subprocess, so that
a crash fails the test instead of ending the run.
"""

import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _tarnwick

# A few modes of each compositor: "soft_light" and "multiply" take the flat
# loops on two 3-channel images, "multiply" also its byte kernels.
MODES = ("normal", "multiply", "soft_light", "hsv_hue", "lch_color")
KERNELS = ("scalar", "sse42", "avx2")

_PRELUDE = """
import sys
import numpy as np
import _tarnwick

MODES = {modes!r}
KERNELS = {kernels!r}
H, W = 48, 40
rng = np.random.default_rng(3)

def images(bg_dtype, bg_channels, fg_dtype, fg_channels):
    bg = rng.integers(0, 256, (H, W, bg_channels)).astype(bg_dtype)
    fg = rng.integers(0, 256, (H, W, fg_channels)).astype(fg_dtype)
    return bg, fg

class Opacity:
    def __init__(self, change):
        self.change = change
    def __float__(self):
        self.change()
        return 0.6

class Index:
    def __init__(self, change):
        self.change = change
    def __index__(self):
        self.change()
        return 1

class Kernel:
    def __init__(self, name, change):
        self.name, self.change = name, change
    @property
    def value(self):
        self.change()
        return self.name

def run(mode, kernel, bg, fg, change, via):
    if via == "float":
        return getattr(_tarnwick, mode)(bg, fg, Opacity(change), kernel)
    if via == "index":
        return getattr(_tarnwick, mode)(bg, fg, Index(change), kernel)
    return getattr(_tarnwick, mode)(bg, fg, 0.6, Kernel(kernel, change))
"""

# Each case: the images' element types and channel counts, and what the
# caller's code does to them.
CHANGES = {
    "reshape foreground": ((np.uint8, 3, np.uint8, 3), "fg.shape = (H, 1, W * fg.shape[2])"),
    "reshape background": ((np.float32, 4, np.uint8, 3), "bg.shape = (H, 1, W * bg.shape[2])"),
    # (H, W, 4) bytes seen as (H, W, 1) float32: fewer channels, other type.
    "retype background": ((np.uint8, 4, np.uint8, 4), "bg.dtype = np.float32"),
    "retype foreground": ((np.uint8, 4, np.float32, 3), "fg.dtype = np.uint8"),
    "byte-swap foreground": ((np.float32, 3, np.float32, 3), "fg.dtype = fg.dtype.newbyteorder()"),
}


@pytest.mark.parametrize("via", ["float", "index", "value"])
@pytest.mark.parametrize("case", list(CHANGES))
def test_arrays_changed_by_caller_code_are_composited_as_validated(case, via):
    (bg_dtype, bg_channels, fg_dtype, fg_channels), change = CHANGES[case]
    if via == "index" and case != "reshape foreground":
        pytest.skip("one __index__ case is enough")
    body = f"""
    for mode in MODES:
        for kernel in KERNELS:
            bg, fg = images(np.{np.dtype(bg_dtype).name}, {bg_channels}, np.{np.dtype(fg_dtype).name}, {fg_channels})
            # An integral opacity is what __index__ can give.
            expected = getattr(_tarnwick, mode)(bg.copy(), fg.copy(), {1 if via == "index" else 0.6}, kernel)
            def change():
                {change}
            out = run(mode, kernel, bg, fg, change, {via!r})
            assert out.dtype == expected.dtype and out.shape == expected.shape, (mode, kernel, out.shape)
            assert out.tobytes() == expected.tobytes(), (mode, kernel)
    print("ok")
    """
    script = _PRELUDE.format(modes=MODES, kernels=KERNELS) + textwrap.dedent(body)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0 and result.stdout.strip() == "ok", result.stderr[-3000:]


def test_shape_flipped_by_another_thread():
    # On the free-threaded interpreter the flips really race with parsing;
    # every call must either composite the validated images or refuse them.
    body = """
    import threading, time
    bg, fg = images(np.uint8, 3, np.uint8, 3)
    expected = {(m, k): getattr(_tarnwick, m)(bg, fg, 0.5, k) for m in MODES for k in KERNELS}
    stop = threading.Event()
    def flip():
        while not stop.is_set():
            fg.shape = (H, 1, W * 3)
            fg.shape = (H, W, 3)
    flipper = threading.Thread(target=flip)
    flipper.start()
    calls = refused = 0
    deadline = time.monotonic() + 1.5
    try:
        while time.monotonic() < deadline:
            for key in expected:
                try:
                    out = getattr(_tarnwick, key[0])(bg, fg, 0.5, key[1])
                except ValueError:
                    refused += 1
                else:
                    assert out.tobytes() == expected[key].tobytes(), key
                calls += 1
    finally:
        stop.set()
        flipper.join()
    print("ok", calls, refused, file=sys.stderr)
    print("ok")
    """
    script = _PRELUDE.format(modes=MODES, kernels=KERNELS) + textwrap.dedent(body)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0 and result.stdout.strip() == "ok", result.stderr[-3000:]


BG = np.zeros((2, 3, 4), np.uint8)
FG = np.zeros((2, 3, 3), np.float32)


class Custom(BaseException):
    pass


@pytest.mark.parametrize(
    "raised, converted",
    [
        (ValueError("bad"), True),
        (AttributeError("no value"), True),
        (RecursionError(), True),
        (KeyboardInterrupt(), False),
        (SystemExit(3), False),
        (MemoryError(), False),
        (GeneratorExit(), False),
        (Custom(), False),
    ],
)
def test_kernel_value_errors(raised, converted):
    class Kernel:
        @property
        def value(self):
            raise raised

    with pytest.raises(BaseException) as info:
        _tarnwick.multiply(BG, FG, 0.5, Kernel())
    if converted:
        assert type(info.value) is TypeError and str(info.value) == "kernel must be a string or KernelKind"
        assert info.value.__cause__ is raised
    else:
        assert info.value is raised


@pytest.mark.parametrize("mode", ["normal", "multiply", "lch_color"])
@pytest.mark.parametrize("opacity", [float("nan"), float("inf"), np.float32("inf"), 1e39])
def test_opacity_must_be_finite(opacity, mode):
    # 1e39 is beyond float32's range and would be composited as infinity.
    with pytest.raises(ValueError, match="^opacity must be a finite number$"):
        getattr(_tarnwick, mode)(BG, FG, opacity)
