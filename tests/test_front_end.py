"""Argument parsing, validation, ownership and the transparent-layer copy."""

import sys
import threading

import numpy as np
import pytest

import _tarnwick
import tarnwick
from reference import normal_reference, random_image

RNG = np.random.default_rng(7)
BG = random_image(RNG, 5, 7, 4, np.uint8)
FG = random_image(RNG, 5, 7, 4, np.uint8)


class Kernel:
    def __init__(self, value):
        self.value = value


class NoValue:
    pass


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((BG,), TypeError, None),
        ((BG, FG, 0.5, "auto", 1), TypeError, None),
        ((np.zeros((4, 4), np.uint8), FG), ValueError, None),
        ((BG, np.zeros((1, 5, 7, 4), np.uint8)), ValueError, None),
        ((BG.astype(np.float64), FG), TypeError, "inputs must be uint8 or float32 numpy arrays"),
        ((BG, FG.astype(np.int64)), TypeError, "inputs must be uint8 or float32 numpy arrays"),
        (([[[1, 2, 3]]], [[[1, 2, 3]]]), TypeError, "inputs must be uint8 or float32 numpy arrays"),
        ((BG[..., :2], FG), ValueError, "inputs must have 3 or 4 channels"),
        ((BG, np.zeros((5, 7, 5), np.uint8)), ValueError, "inputs must have 3 or 4 channels"),
        # The dtype check comes before the channel check.
        ((BG[..., :2].astype(np.float64), FG), TypeError, "inputs must be uint8 or float32 numpy arrays"),
        ((BG, FG[:4]), ValueError, "background and foreground must match in height and width"),
        ((BG, FG[:, :6]), ValueError, "background and foreground must match in height and width"),
        ((BG, FG, None), TypeError, None),
        ((BG, FG, "0.5", "auto"), TypeError, None),
        ((BG, FG, "scalar", "avx2"), TypeError, None),
        ((BG, FG, object()), TypeError, None),
        ((BG, FG, 0.5, None), TypeError, "kernel must be a string or KernelKind"),
        ((BG, FG, 0.5, 3), TypeError, "kernel must be a string or KernelKind"),
        ((BG, FG, 0.5, NoValue()), TypeError, "kernel must be a string or KernelKind"),
        ((BG, FG, 0.5, Kernel(3)), TypeError, "kernel must be a string or KernelKind"),
        ((BG, FG, 0.5, Kernel("\udc80")), TypeError, "kernel must be a string or KernelKind"),
        ((BG, FG, 0.5, "\udc80"), TypeError, "kernel must be a string or KernelKind"),
    ],
)
def test_argument_errors(args, error, message):
    with pytest.raises(error) as info:
        _tarnwick.normal(*args)
    if message is not None:
        assert str(info.value) == message


def test_keywords_are_rejected():
    with pytest.raises(TypeError):
        _tarnwick.normal(BG, FG, opacity=0.5)


@pytest.mark.parametrize(
    "args, same_as",
    [
        ((), (1.0, "auto")),
        (("scalar",), (1.0, "scalar")),
        ((1,), (1.0, "auto")),
        ((np.float32(0.25),), (0.25, "auto")),
        ((np.float64(0.25), tarnwick.KernelKind.SCALAR), (0.25, "scalar")),
        ((0.25, Kernel("sse42")), (0.25, "sse42")),
        ((0.25, "no-such-kernel"), (0.25, "auto")),
        ((2.5,), (2.5, "scalar")),
    ],
)
def test_optional_arguments(args, same_as):
    expected = _tarnwick.normal(BG, FG, *same_as)
    assert np.array_equal(_tarnwick.normal(BG, FG, *args), expected)


def test_string_subclass_is_a_kernel_name():
    class Name(str):
        pass

    assert np.array_equal(_tarnwick.normal(BG, FG, 0.5, Name("scalar")), _tarnwick.normal(BG, FG, 0.5, "scalar"))


@pytest.mark.parametrize("opacity", [0.0, -0.0, -0.5, -3, float("-inf")])
@pytest.mark.parametrize("fg_dtype", [np.uint8, np.float32])
@pytest.mark.parametrize("bg", [BG, BG[..., :3], BG.astype(np.float32) + 0.25])
def test_transparent_layer_returns_an_exact_copy(bg, fg_dtype, opacity):
    fg = np.full((5, 7, 3), np.nan, np.float32) if fg_dtype == np.float32 else FG
    out = _tarnwick.normal(bg, fg, opacity, "avx2")
    assert out is not bg and out.dtype == bg.dtype and out.shape == bg.shape
    assert out.tobytes() == np.ascontiguousarray(bg).tobytes()


@pytest.mark.parametrize("shape", [(0, 5), (5, 0), (0, 0)])
@pytest.mark.parametrize("opacity", [0.0, 0.5, 1.0])
def test_empty_images(shape, opacity):
    bg = np.zeros(shape + (4,), np.float32)
    fg = np.zeros(shape + (3,), np.uint8)
    out = _tarnwick.normal(bg, fg, opacity)
    assert out.shape == shape + (4,) and out.dtype == np.float32


def test_non_contiguous_inputs_are_copied():
    big_bg = random_image(RNG, 6, 14, 4, np.uint8)
    big_fg = random_image(RNG, 12, 7, 3, np.float32)
    bg, fg = big_bg[::1, ::2], big_fg[::2]
    out = _tarnwick.normal(bg, fg, 0.6, "scalar")
    assert out.shape == (6, 7, 4)
    assert np.array_equal(out, normal_reference(np.ascontiguousarray(bg), np.ascontiguousarray(fg), 0.6))


@pytest.mark.parametrize("which", ["background", "foreground"])
def test_byteswapped_float32_is_read_by_value(which):
    bg = random_image(RNG, 3, 9, 4, np.float32)
    fg = random_image(RNG, 3, 9, 4, np.float32)
    expected = _tarnwick.normal(bg, fg, 0.4)
    if which == "background":
        bg = bg.astype(">f4")
    else:
        fg = fg.astype(">f4")
    out = _tarnwick.normal(bg, fg, 0.4)
    assert out.dtype == np.float32 and out.dtype.isnative
    assert np.array_equal(out, expected)


def _refcounts(*objects):
    return [sys.getrefcount(o) for o in objects]


@pytest.mark.parametrize(
    "args",
    [
        (BG, FG, 0.5),
        (BG, FG, 0.0),
        (BG, FG[..., :3], 1.0),
        (BG, FG, 0.5, tarnwick.KernelKind.AVX2),
        (BG, FG, 0.5, Kernel("scalar")),
        (BG, FG, 0.5, Kernel(5)),
        (BG, FG, 0.5, None),
        (BG, FG, None),
        (BG, FG.astype(np.float64), 0.5),
        (BG, FG[..., :2], 0.5),
        (BG, FG[:2], 0.5),
        (BG[::2], FG[::2], 0.5),
        (BG, FG[::-1], 0.0, tarnwick.KernelKind.SCALAR),
    ],
)
def test_every_reference_is_released_once(args):
    kernel_obj = args[3] if len(args) > 3 else None
    value = getattr(kernel_obj, "value", None)
    watched = [a for a in args[:2]] + [o for o in (kernel_obj, value) if o is not None]

    def call():
        try:
            _tarnwick.normal(*args)
        except (TypeError, ValueError):
            pass

    call()
    before = _refcounts(*watched)
    for _ in range(200):
        call()
    assert _refcounts(*watched) == before


def test_concurrent_calls_give_the_same_results():
    # Modes of all three compositors, each on mixed element types and
    # channel counts, called from more threads than there are cores.
    modes = ("normal", "multiply", "vivid_light", "soft_light", "hsv_hue", "lch_color")
    cases = [
        (getattr(_tarnwick, mode), random_image(RNG, 40, 50, 3, np.uint8), random_image(RNG, 40, 50, 4, np.float32))
        for mode in modes
    ]
    expected = [blend(bg, fg, 0.7) for blend, bg, fg in cases]
    failures = []

    def worker(i):
        blend, bg, fg = cases[i % len(cases)]
        for _ in range(40):
            if not np.array_equal(blend(bg, fg, 0.7), expected[i % len(cases)]):
                failures.append(i)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(12)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures
