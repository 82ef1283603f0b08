"""The private blend-into entry: results in a caller's array, band by band.

`_blend_into` must write exactly what the allocating call returns, whatever
the output's address, in place or not, and also when the image is blended
as separate runs of pixels (views of the flattened arrays) as the package's
multi-threaded banding does.
"""

import itertools

import numpy as np
import pytest

import _tarnwick
import tarnwick
from reference import CHANNELS, DTYPES, KERNELS, random_image

COMBINATIONS = list(itertools.product(DTYPES, CHANNELS, DTYPES, CHANNELS))
# 507 pixels: no group size divides it, and the flat loops leave another
# tail (1 value) than the per-pixel loops (3 pixels), so the wrong loop shows.
HEIGHT, WIDTH = 13, 39
# Runs whose starts and lengths are multiples of 16 pixels, the last one
# longer and odd; 64-pixel bands are a coarser case of the same.
BAND_LENGTHS = (16, 64, 48, 128, 16)


def bands(pixels):
    start = 0
    for length in itertools.cycle(BAND_LENGTHS):
        if pixels - start < 2 * length:
            yield start, pixels
            return
        yield start, start + length
        start += length


def misaligned_like(array):
    """An empty array like `array` whose data starts at an odd multiple of
    its item size past a 32-byte boundary (aligned by NumPy's rule only)."""
    item = array.dtype.itemsize
    raw = np.empty(array.nbytes + 64, np.uint8)
    start = (-raw.ctypes.data) % 32 + item
    return raw[start:start + array.nbytes].view(array.dtype).reshape(array.shape)


def blend_in_bands(mode, bg, fg, opacity, kernel, out):
    flat_bg, flat_fg = bg.reshape(-1, 1, bg.shape[2]), fg.reshape(-1, 1, fg.shape[2])
    flat_out = out.reshape(-1, 1, out.shape[2])
    assert np.shares_memory(flat_out, out)
    for start, stop in bands(bg.shape[0] * bg.shape[1]):
        band = flat_out[start:stop]
        assert _tarnwick._blend_into(mode, flat_bg[start:stop], flat_fg[start:stop], opacity, kernel, band) is band


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("mode", tarnwick.MODES)
def test_bands_in_place_and_misaligned_outputs_match_the_allocating_call(mode, kernel):
    rng = np.random.default_rng(sum(map(ord, mode + kernel)))
    for (bg_dtype, bg_channels, fg_dtype, fg_channels), opacity in itertools.product(COMBINATIONS, (0.6, 1.0)):
        bg = random_image(rng, HEIGHT, WIDTH, bg_channels, bg_dtype)
        fg = random_image(rng, HEIGHT, WIDTH, fg_channels, fg_dtype)
        expected = getattr(_tarnwick, mode)(bg, fg, opacity, kernel).tobytes()
        case = (bg_dtype.__name__, bg_channels, fg_dtype.__name__, fg_channels, opacity)

        out = np.empty_like(bg)
        assert _tarnwick._blend_into(mode, bg, fg, opacity, kernel, out) is out
        assert out.tobytes() == expected, case
        misaligned = misaligned_like(bg)
        blend_in_bands(mode, bg, fg, opacity, kernel, misaligned)
        assert misaligned.tobytes() == expected, case
        canvas = bg.copy()
        blend_in_bands(mode, canvas, fg, opacity, kernel, canvas)
        assert canvas.tobytes() == expected, case
    # A transparent layer copies the background, in place too.
    canvas = bg.copy()
    for target in (misaligned_like(bg), canvas):
        _tarnwick._blend_into(mode, canvas, fg, -1.0, kernel, target)
        assert target.tobytes() == bg.tobytes()


BG = np.arange(2 * 3 * 4, dtype=np.uint8).reshape(2, 3, 4)
FG = np.ones((2, 3, 3), np.float32)
EXPECTED = "out must be an aligned, writeable uint8 array of shape (2, 3, 4) with each row's pixels contiguous"


def _read_only(array):
    array.flags.writeable = False
    return array


@pytest.mark.parametrize(
    "out",
    [
        [[[0] * 4] * 3] * 2,
        np.zeros((2, 3, 4), np.float32),
        np.zeros((2, 3, 3), np.uint8),
        np.zeros((3, 2, 4), np.uint8),
        np.zeros((2, 12), np.uint8),
        np.zeros((2, 3, 8), np.uint8)[..., ::2],
        np.zeros((2, 3, 4), np.uint8)[::-1],
        _read_only(np.zeros((2, 3, 4), np.uint8)),
    ],
)
def test_out_that_the_call_would_not_allocate_is_refused(out):
    before = np.array(out, copy=True)
    with pytest.raises(ValueError) as info:
        _tarnwick._blend_into("multiply", BG, FG, 0.5, "auto", out)
    assert str(info.value) == EXPECTED
    assert np.array_equal(np.asarray(out), before)


@pytest.mark.parametrize(
    "args, error, message",
    [
        (("no_such_mode", BG, FG, 0.5, "auto"), ValueError, "unknown blend mode"),
        (("MULTIPLY", BG, FG, 0.5, "auto"), ValueError, "unknown blend mode"),
        (("normal\0", BG, FG, 0.5, "auto"), ValueError, "unknown blend mode"),
        ((b"normal", BG, FG, 0.5, "auto"), TypeError, "mode must be a str"),
        # Inputs are checked as the public functions check them, first.
        (("normal", BG, FG[:1], 0.5, "auto"), ValueError, "background and foreground must match in height and width"),
        (("normal", BG, FG, float("nan"), "auto"), ValueError, "opacity must be a finite number"),
        (("normal", BG, FG, 0.5, None), TypeError, "kernel must be a string or KernelKind"),
        (("normal", BG, FG, 0.5), TypeError, None),
    ],
)
def test_mode_and_argument_errors(args, error, message):
    out = np.zeros_like(BG)
    with pytest.raises(error) as info:
        _tarnwick._blend_into(*args, out)
    if message is not None:
        assert str(info.value) == message
    assert not out.any()


def test_out_is_checked_after_caller_code_ran():
    out = np.zeros_like(BG)

    class Opacity:
        def __float__(self):
            out.shape = (2, 1, 12)
            return 0.5

    with pytest.raises(ValueError, match="^out must be"):
        _tarnwick._blend_into("normal", BG, FG, Opacity(), "scalar", out)
    assert not out.any()


NATIVE_MASK_MODES = [m for m in tarnwick.MODES if not m.startswith(("hsv_", "hsl_", "lch_"))]


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("mode", NATIVE_MASK_MODES)
def test_masked_bands_in_place_and_hidden_pixels(mode, kernel):
    rng = np.random.default_rng(sum(map(ord, mode + kernel)) + 1)
    for bg_dtype, bg_channels, fg_dtype, fg_channels in COMBINATIONS:
        bg = random_image(rng, HEIGHT, WIDTH, bg_channels, bg_dtype)
        fg = random_image(rng, HEIGHT, WIDTH, fg_channels, fg_dtype)
        mask = rng.integers(0, 256, HEIGHT * WIDTH).astype(np.uint8 if bg_channels == fg_channels else np.float32)
        mask[rng.random(mask.size) < 0.2] = 0
        mask[:40] = 0  # whole groups hidden too
        one = _tarnwick._blend_into(mode, bg, fg, 1.0, kernel, np.empty_like(bg), mask)
        hidden = (mask == 0).reshape(HEIGHT, WIDTH)
        assert np.array_equal(one[hidden], bg[hidden])  # exactly, also float32
        hidden_everywhere = _tarnwick._blend_into(mode, bg, fg, 1.0, kernel, np.empty_like(bg), np.zeros_like(mask))
        assert np.array_equal(hidden_everywhere, bg)
        canvas = bg.copy()
        flat_canvas = canvas.reshape(-1, 1, bg_channels)
        flat_fg = fg.reshape(-1, 1, fg_channels)
        for start, stop in bands(HEIGHT * WIDTH):
            _tarnwick._blend_into(mode, flat_canvas[start:stop], flat_fg[start:stop], 1.0, kernel,
                                  flat_canvas[start:stop], mask[start:stop])
        assert np.array_equal(canvas, one, equal_nan=True)


@pytest.mark.parametrize(
    "mask, error, message",
    [
        (np.zeros(HEIGHT, np.uint8), ValueError, "mask must have one value per pixel"),
        (np.zeros(6, np.int16), TypeError, "mask must be a uint8 or float32 array"),
    ],
)
def test_bad_mask_is_refused_before_anything_is_written(mask, error, message):
    out = np.zeros_like(BG)
    with pytest.raises(error, match=message):
        _tarnwick._blend_into("normal", BG, FG, 0.5, "auto", out, mask)
    assert not out.any()


@pytest.mark.parametrize("mask_dtype", [np.uint8, np.float32])
@pytest.mark.parametrize("mode", NATIVE_MASK_MODES)
def test_masked_rgb_bytes_agree_on_both_vector_widths(mode, mask_dtype):
    # Two RGB byte images under a mask take the masked flat loop on eight
    # lanes and the per-pixel loops on four; 29 columns leave tails.
    rng = np.random.default_rng(sum(map(ord, mode)))
    bg, fg = (rng.integers(0, 256, (7, 29, 3), dtype=np.uint8) for _ in range(2))
    mask = rng.integers(0, 256, (7, 29)).astype(mask_dtype)
    mask[::3, ::2] = 0
    four = _tarnwick._blend_into(mode, bg, fg, 0.6, "sse42", np.empty_like(bg), mask)
    in_place = bg.copy()
    _tarnwick._blend_into(mode, in_place, fg, 0.6, "avx2", in_place, mask)
    assert np.array_equal(in_place, four)
    scalar = _tarnwick._blend_into(mode, bg, fg, 0.6, "scalar", np.empty_like(bg), mask)
    assert np.abs(scalar.astype(int) - four).max() <= 1
