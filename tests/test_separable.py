"""The 19 separable modes and the ratio compositor behind them."""

import sys
import zlib

import numpy as np
import pytest

import tarnwick
from guarded import SIDES, check_guarded
from reference import CHANNELS, DTYPES, KERNELS, assert_close_to, ulp_distance
from reference_separable import SCALAR, flat_values, ratio_reference
from tarnwick._names import families

MODES = families()["separable"]

AVAILABLE = [k for k in KERNELS if tarnwick.kernel_available(k)]
VECTOR_KERNELS = [k for k in AVAILABLE if k != "scalar"]

U8_SPECIALS = np.array([0, 1, 2, 126, 127, 128, 129, 253, 254, 255], np.uint8)
F32_SPECIALS = np.array(
    [0.0, 1.0, 127.5, np.nextafter(127.5, 0, dtype=np.float32), np.nextafter(127.5, 255, dtype=np.float32),
     254.0, 255.0, 0.25, 100.0, 200.0],
    np.float32,
)


def rng_for(*key):
    return np.random.default_rng(zlib.crc32(repr(key).encode()))


def make_image(rng, height, width, channels, dtype):
    """Random values with branch-boundary values mixed in, alpha included."""
    if np.dtype(dtype) == np.uint8:
        image = rng.integers(0, 256, size=(height, width, channels), dtype=np.uint8)
        specials = U8_SPECIALS
    else:
        image = rng.uniform(0, 255, size=(height, width, channels)).astype(np.float32)
        specials = F32_SPECIALS
    pick = rng.random(image.shape) < 0.3
    image[pick] = rng.choice(specials, size=int(pick.sum()))
    return image


def placed(image, offset=0):
    """A copy of `image` whose data starts `offset` bytes past a 64-byte boundary."""
    raw = np.empty(image.nbytes + 128, np.uint8)
    start = (-raw.ctypes.data) % 64 + offset
    copy = raw[start:start + image.nbytes].view(image.dtype).reshape(image.shape)
    copy[...] = image
    return copy


def aligned16(*arrays):
    return all(a.ctypes.data % 16 == 0 for a in arrays)


def blend(mode, background, foreground, opacity=1.0, kernel="auto"):
    return getattr(tarnwick, mode)(background, foreground, opacity, kernel)


# Vector loaders multiply by a rounded 1/255 where the scalar readers divide.
# For float32 outputs that differs by a few units in the last place of full
# scale (255), except where a kernel divides by a small layer value, which
# magnifies the input's rounding up to 255-fold.
FULL_SCALE_ULPS = {"burn": 1024, "dodge": 1024, "vivid_light": 1024}


def assert_near_scalar(actual, scalar, mode):
    """Vector results against the scalar ones: one step for uint8."""
    if actual.dtype == np.uint8:
        assert_close_to(actual, scalar, uint8_steps=1)
    else:
        diff = np.abs(actual.astype(np.float64) - scalar.astype(np.float64)).max(initial=0)
        assert diff <= FULL_SCALE_ULPS.get(mode, 16) * np.spacing(np.float32(255)), diff


def test_every_separable_mode_has_a_model():
    assert sorted(SCALAR) == sorted(MODES)


@pytest.mark.parametrize("kernel", AVAILABLE)
@pytest.mark.parametrize("channels", [(b, f) for b in CHANNELS for f in CHANNELS], ids=str)
@pytest.mark.parametrize("dtypes", [(b, f) for b in DTYPES for f in DTYPES], ids=lambda d: f"{d[0].__name__}-{d[1].__name__}")
@pytest.mark.parametrize("mode", MODES)
def test_matches_model(mode, dtypes, channels, kernel):
    # 21 pixels: two eight-pixel steps, one four-pixel step and one scalar
    # pixel; 63 channel values for the flat loops and their tail.
    rng = rng_for(mode, dtypes, channels)
    background = placed(make_image(rng, 3, 7, channels[0], dtypes[0]))
    foreground = placed(make_image(rng, 3, 7, channels[1], dtypes[1]))
    for opacity in (0.35, 1.0, 1.6):
        out = blend(mode, background, foreground, opacity, kernel)
        expected = ratio_reference(background, foreground, opacity, mode, kernel,
                                   aligned=aligned16(background, foreground))
        np.testing.assert_array_equal(out, expected)
        if kernel != "scalar":
            assert_near_scalar(out, ratio_reference(background, foreground, opacity, mode), mode)


@pytest.mark.parametrize("kernel", AVAILABLE)
@pytest.mark.parametrize("mode", MODES)
def test_every_byte_pair(mode, kernel):
    # All 65536 (background, foreground) pairs, through the flat loops (3
    # channels) and the per-pixel loops (4 channels). Byte kernels and float
    # kernels round differently for a few pairs, so this also shows which
    # one each loop called.
    grid = np.stack(np.meshgrid(np.arange(256), np.arange(256), indexing="ij"), -1).astype(np.uint8)
    for channels in CHANNELS:
        bg = placed(np.repeat(grid[..., :1], channels, axis=-1))
        fg = placed(np.repeat(grid[..., 1:], channels, axis=-1))
        bg[..., 3:] = fg[..., 3:] = 255
        out = blend(mode, bg, fg, 0.7, kernel)
        np.testing.assert_array_equal(out, ratio_reference(bg, fg, 0.7, mode, kernel, aligned16(bg, fg)))


@pytest.mark.parametrize("kernel", VECTOR_KERNELS)
@pytest.mark.parametrize("mode", MODES)
def test_misaligned_byte_images_skip_the_flat_loop(mode, kernel):
    rng = rng_for(mode, "offset")
    background = make_image(rng, 5, 7, 3, np.uint8)
    foreground = make_image(rng, 5, 7, 3, np.uint8)
    aligned = blend(mode, placed(background), placed(foreground), 0.7, kernel)
    assert flat_values(background, foreground, kernel, aligned=aligned16(aligned))[0] > 0
    for bg_offset, fg_offset in ((1, 0), (0, 3), (8, 8)):
        bg, fg = placed(background, bg_offset), placed(foreground, fg_offset)
        out = blend(mode, bg, fg, 0.7, kernel)
        np.testing.assert_array_equal(out, ratio_reference(bg, fg, 0.7, mode, kernel, aligned=False))
        assert_close_to(out, aligned, uint8_steps=1)


@pytest.mark.parametrize("kernel", AVAILABLE)
@pytest.mark.parametrize("dtypes", [(b, f) for b in DTYPES for f in DTYPES], ids=lambda d: f"{d[0].__name__}-{d[1].__name__}")
@pytest.mark.parametrize("mode", MODES)
def test_loops_stay_inside_the_images(mode, dtypes, kernel):
    # Inputs and output against an inaccessible page, 1 to 33 pixels: every
    # split into flat steps, eight- and four-pixel groups and tails, and the
    # prefetches past the end. A guard at the start keeps all three buffers
    # 16-byte aligned (the flat byte loops run); at the end they are aligned
    # only when their size is a multiple of 16.
    for side in SIDES:
        def expected(bg, fg, opacity, kernel):
            aligned = side == "start" or bg.nbytes % 16 == 0
            return ratio_reference(bg, fg, opacity, mode, kernel, aligned)

        for bg_channels in CHANNELS:
            for fg_channels in CHANNELS:
                check_guarded(getattr(tarnwick, mode), dtypes[0], bg_channels, dtypes[1], fg_channels,
                              kernel, opacities=(0.6,), sides=(side,), expected=expected)


# (mode, background, foreground, result) on the 0..255 scale at opacity 1:
# the kernel's value is written unchanged.
EDGES = [
    ("burn", 255, 0, 255), ("burn", 254, 0, 0), ("burn", 0, 0, 0), ("burn", 255, 1, 255),
    ("vivid_light", 255, 0, 255), ("vivid_light", 254, 0, 0), ("vivid_light", 0, 255, 255),
    ("vivid_light", 100, 255, 255),
    ("dodge", 0, 255, 0), ("dodge", 1, 255, 255), ("dodge", 255, 255, 255),
    ("divide", 255, 0, 255), ("divide", 0, 0, 0), ("divide", 1, 0, 255), ("divide", 100, 255, 100),
    ("addition", 204, 153, 255), ("subtract", 200, 50, 150), ("subtract", 50, 200, 0),
    ("linear_burn", 51, 77, 0), ("linear_burn", 100, 100, 0), ("linear_burn", 255, 255, 255),
    ("grain_extract", 0, 255, 0), ("grain_merge", 255, 255, 255), ("difference", 10, 250, 240),
    ("multiply", 255, 255, 255), ("screen", 0, 0, 0), ("darken_only", 3, 200, 3),
    ("lighten_only", 3, 200, 200),
]


@pytest.mark.parametrize("kernel", AVAILABLE)
@pytest.mark.parametrize("mode, a, b, result", EDGES)
def test_branch_edges(mode, a, b, result, kernel):
    # 4 channels for the per-pixel loops, 3 for the flat loops (18 values:
    # one sixteen-value step and a tail), each as bytes and as floats.
    for channels, pixels in ((4, 13), (3, 6)):
        for dtype in DTYPES:
            bg = placed(np.full((1, pixels, channels), a, dtype))
            fg = placed(np.full((1, pixels, channels), b, dtype))
            bg[..., 3:] = fg[..., 3:] = 255
            out = blend(mode, bg, fg, 1.0, kernel)[..., :3]
            # Float outputs carry the readers' rounding of the inputs.
            tolerance = 0 if out.dtype == np.uint8 else 4 * np.spacing(np.float32(255))
            assert np.all(np.abs(out - np.float32(result)) <= tolerance), (channels, out[0, :, 0])


@pytest.mark.parametrize("kernel", AVAILABLE)
@pytest.mark.parametrize("fg_channels", CHANNELS)
@pytest.mark.parametrize("mode", MODES)
def test_output_keeps_background_alpha_and_transparent_layers_keep_background(mode, fg_channels, kernel):
    rng = rng_for(mode, fg_channels, "alpha")
    background = make_image(rng, 3, 7, 4, np.uint8)
    foreground = make_image(rng, 3, 7, fg_channels, np.uint8)
    out = blend(mode, background, foreground, 0.8, kernel)
    np.testing.assert_array_equal(out[..., 3], background[..., 3])
    if fg_channels == 4:
        foreground[..., 3] = 0
        np.testing.assert_array_equal(blend(mode, background, foreground, 1.0, kernel), background)
    transparent = background.copy()
    transparent[..., 3] = 0
    np.testing.assert_array_equal(blend(mode, transparent, foreground, 1.0, kernel), transparent)
    # A float32 alpha comes back through the unit scale, within one unit in
    # the last place (vector loads multiply by a rounded 1/255).
    background = make_image(rng, 3, 7, 4, np.float32)
    out = blend(mode, background, foreground, 0.8, kernel)
    assert ulp_distance(out[..., 3], background[..., 3]).max() <= 1


@pytest.mark.parametrize("mode", MODES)
def test_zero_or_negative_opacity_copies_background(mode):
    rng = rng_for(mode, "copy")
    background = make_image(rng, 2, 5, 4, np.float32)
    foreground = make_image(rng, 2, 5, 3, np.uint8)
    for opacity in (0.0, -0.0, -0.5):
        out = blend(mode, background, foreground, opacity, "avx2")
        assert out is not background and out.tobytes() == background.tobytes()


@pytest.mark.parametrize("kernel", AVAILABLE)
@pytest.mark.parametrize("channels", CHANNELS)
def test_clipping_modes_keep_float_outputs_in_range(kernel, channels):
    rng = rng_for(kernel, channels, "clip")
    background = make_image(rng, 4, 9, channels, np.float32)
    foreground = make_image(rng, 4, 9, channels, np.float32)
    background[..., 3:] = foreground[..., 3:] = 255
    background[0, :2, :3], foreground[0, :2, :3] = [[0], [255]], 255
    for mode in ("addition", "subtract"):
        out = blend(mode, background, foreground, 2.0, kernel)
        assert out.min() >= 0 and out.max() <= 255
    # Without clipping, opacity 2 extrapolates past both ends.
    out = blend("difference", background, foreground, 2.0, kernel)
    assert out.min() < 0 and out.max() > 255


def test_subtract_is_background_minus_foreground():
    background = np.full((4, 5, 3), 200, np.uint8)
    foreground = np.full((4, 5, 3), 50, np.uint8)
    for kernel in AVAILABLE:
        assert np.all(blend("subtract", background, foreground, 1.0, kernel) == 150)
        assert np.all(blend("subtract", foreground, background, 1.0, kernel) == 0)


class Kernel:
    def __init__(self, value):
        self.value = value


@pytest.mark.parametrize("opacity", [0.0, 0.5])
@pytest.mark.parametrize("channels", [(3, 3), (4, 3)])
def test_every_reference_is_released_once(channels, opacity):
    rng = rng_for(channels, opacity, "references")
    background = make_image(rng, 4, 9, channels[0], np.uint8)
    foreground = make_image(rng, 4, 9, channels[1], np.float32)
    kernel = Kernel("avx2")
    watched = (background, foreground, kernel, kernel.value)
    blend("screen", background, foreground, opacity, kernel)
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(100):
        blend("screen", background, foreground, opacity, kernel)
    assert [sys.getrefcount(o) for o in watched] == before
