"""The eight colour-model modes: their kernels against independent float64
models, the compositor's alpha rule on every path, and memory safety."""

import itertools

import numpy as np
import pytest

import _tarnwick
import tarnwick
from guarded import check_guarded
from reference import CHANNELS, DTYPES, KERNELS, random_image, read_unit
from reference_colour import (
    COLOUR_MODES,
    HSV_MODES,
    LCH_MODES,
    colour_kernel64,
    hsv_kernel32,
    lab_to_rgb64,
    rgb_mode_reference,
    rgb_to_lab64,
)

COMBINATIONS = list(itertools.product(DTYPES, CHANNELS, DTYPES, CHANNELS))
VECTOR_KERNELS = ("sse42", "avx2")
NAN = float("nan")

# Largest |vector - scalar| per channel in the unit range. A hue taken from a
# dark foreground whose channels sit just above the sRGB decode threshold
# (where the decode polynomial's absolute error is largest relative to the
# value) turns by up to about a degree, which can move a dark output channel
# of a bright, saturated background by up to 0.016.
VECTOR_TOLERANCE = {mode: 1e-5 for mode in HSV_MODES} | {mode: 0.003 for mode in LCH_MODES} | {"lch_hue": 0.02}
BYTE_STEPS = {mode: 1 for mode in COLOUR_MODES} | {"lch_hue": 4}

# Named colours, then every pairing of them appears in the test images.
SPECIAL = np.array(
    [
        (0, 0, 0), (255, 255, 255), (128, 128, 128), (1, 1, 1), (255, 0, 0), (0, 255, 0), (0, 0, 255),
        (255, 0, 255), (255, 255, 0), (0, 255, 255), (254, 255, 255), (200, 30, 30), (10, 200, 30),
        (1, 23, 45), (255, 128, 0), (12, 11, 11),
    ],
    np.float32,
)


def _opaque_pairs(rng, random_count):
    """(bg, fg) float32 images in 0..255: all pairs of SPECIAL, then random
    byte colours and random non-integral values."""
    bg, fg = (np.array(p) for p in zip(*itertools.product(SPECIAL, SPECIAL)))
    half = random_count // 2
    rand_bg = np.concatenate([rng.integers(0, 256, (half, 3)), rng.uniform(0, 255, (half, 3))])
    rand_fg = np.concatenate([rng.integers(0, 256, (half, 3)), rng.uniform(0, 255, (half, 3))])
    bg = np.concatenate([bg, rand_bg]).astype(np.float32)[None]
    fg = np.concatenate([fg, rand_fg]).astype(np.float32)[None]
    return bg, fg


def _images(bg_dtype, bg_channels, fg_dtype, fg_channels, height, width, seed):
    """Random images with both ends of each alpha present inside groups."""
    rng = np.random.default_rng(seed)
    bg = random_image(rng, height, width, bg_channels, bg_dtype)
    fg = random_image(rng, height, width, fg_channels, fg_dtype)
    if bg_channels == 4:
        bg.reshape(-1, 4)[::5, 3] = 0
        bg.reshape(-1, 4)[1::7, 3] = 255
    if fg_channels == 4:
        fg.reshape(-1, 4)[::3, 3] = 0
        fg.reshape(-1, 4)[2::5, 3] = 255
    return bg, fg


def _blend(mode):
    return getattr(_tarnwick, mode)


def test_published_together_in_table_order():
    # The module dictionary keeps the method table's order.
    names = [name for name in vars(_tarnwick) if not name.startswith("_")]
    start = names.index("hsv_hue")
    assert tuple(names[start:start + len(COLOUR_MODES)]) == COLOUR_MODES
    assert names.index("normal") < start < names.index("kernel_available")


# ---- kernels against independent models ----------------------------------


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("mode", COLOUR_MODES)
def test_kernels_agree_with_float64_models(mode, kernel):
    bg, fg = _opaque_pairs(np.random.default_rng(1), 3000)
    out = _blend(mode)(bg, fg, 1.0, kernel) / np.float32(255)
    bg_unit, fg_unit = read_unit(bg), read_unit(fg)
    model = colour_kernel64(mode, bg_unit.astype(np.float64), fg_unit.astype(np.float64))
    diff = np.abs(out - model).max(axis=-1)
    if mode in HSV_MODES:
        tolerance = 2e-6
    elif kernel == "scalar":
        tolerance = 5e-5
    else:
        tolerance = VECTOR_TOLERANCE[mode]
    assert diff.max() <= tolerance


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("mode", LCH_MODES)
def test_lch_outputs_are_clipped_never_wrapped(mode, kernel):
    # Float images may hold any value; saturated pairs push Lab results far
    # out of the sRGB gamut.
    rng = np.random.default_rng(2)
    bg = rng.uniform(-255, 765, (1, 4000, 3)).astype(np.float32)
    fg = rng.uniform(-255, 765, (1, 4000, 3)).astype(np.float32)
    bg[0, :256], fg[0, :256] = (np.array(p) for p in zip(*itertools.product(SPECIAL, SPECIAL)))
    out = _blend(mode)(bg, fg, 1.0, kernel)
    assert np.isfinite(out).all()
    assert out.min() >= 0 and out.max() <= 255


# ---- the scalar rule, exactly ---------------------------------------------


@pytest.mark.parametrize("opacity", [0.3, 1.0, 1.7])
@pytest.mark.parametrize("bg_dtype, bg_channels, fg_dtype, fg_channels", COMBINATIONS)
@pytest.mark.parametrize("mode", HSV_MODES)
def test_scalar_rule_matches_the_model_bit_for_bit(mode, bg_dtype, bg_channels, fg_dtype, fg_channels, opacity):
    bg, fg = _images(bg_dtype, bg_channels, fg_dtype, fg_channels, 7, 9, seed=bg_channels * 10 + fg_channels)
    out = _blend(mode)(bg, fg, opacity, "scalar")
    expected = rgb_mode_reference(bg, fg, opacity, lambda b, f: hsv_kernel32(mode, b, f))
    assert out.tobytes() == expected.tobytes()


@pytest.mark.parametrize("mode", LCH_MODES)
def test_byte_decode_gives_the_scalar_curves_values(mode):
    # Byte inputs decode by a table; the scalar kernel must still give what
    # it gives for the same values held as floats, which take the curve.
    # Every byte appears in every channel of both images.
    rng = np.random.default_rng(6)
    bg = np.stack([rng.permutation(256) for _ in range(3)], axis=-1)[None].astype(np.uint8)
    fg = np.stack([rng.permutation(256) for _ in range(3)], axis=-1)[None].astype(np.uint8)
    from_bytes = _blend(mode)(bg, fg, 1.0, "scalar")
    from_floats = _blend(mode)(bg.astype(np.float32), fg.astype(np.float32), 1.0, "scalar")
    np.testing.assert_array_equal(from_bytes, np.floor(np.clip(from_floats, 0, 255) + 0.5))


@pytest.mark.parametrize("opacity", [0.0, -1.0])
@pytest.mark.parametrize("mode", COLOUR_MODES)
def test_transparent_layer_returns_a_copy_of_the_background(mode, opacity):
    bg, fg = _images(np.float32, 4, np.uint8, 3, 5, 6, seed=3)
    out = _blend(mode)(bg, fg, opacity)
    assert out.dtype == bg.dtype and out.tobytes() == bg.tobytes()


# ---- vector paths -----------------------------------------------------------


# 39 pixels: 4 groups of 8, one of 4 and 3 scalar pixels under avx2.
@pytest.mark.parametrize("bg_dtype, bg_channels, fg_dtype, fg_channels", COMBINATIONS)
@pytest.mark.parametrize("mode", COLOUR_MODES)
def test_vector_paths_stay_close_to_the_scalar_rule(mode, bg_dtype, bg_channels, fg_dtype, fg_channels):
    bg, fg = _images(bg_dtype, bg_channels, fg_dtype, fg_channels, 3, 13, seed=5)
    scalar = _blend(mode)(bg, fg, 0.8, "scalar")
    four = _blend(mode)(bg, fg, 0.8, "sse42")
    eight = _blend(mode)(bg, fg, 0.8, "avx2")
    assert eight.tobytes() == four.tobytes()
    diff = np.abs(eight.astype(np.float64) - scalar.astype(np.float64))
    if bg_dtype == np.uint8:
        assert diff.max() <= BYTE_STEPS[mode]
    else:
        assert diff[..., :3].max() <= VECTOR_TOLERANCE[mode] * 255 + 1e-3
        assert (eight[..., 3:] == scalar[..., 3:]).all()


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("fg_dtype, fg_channels", [(np.uint8, 3), (np.uint8, 4), (np.float32, 4)])
@pytest.mark.parametrize("bg_dtype", DTYPES)
@pytest.mark.parametrize("mode", COLOUR_MODES)
def test_background_alpha_kept_and_transparent_pixels_untouched(mode, bg_dtype, fg_dtype, fg_channels, kernel):
    rng = np.random.default_rng(4)
    bg = rng.integers(0, 256, (3, 21, 4)).astype(bg_dtype)
    fg = random_image(rng, 3, 21, fg_channels, fg_dtype)
    transparent = np.zeros((3, 21), bool)
    transparent.reshape(-1)[::3] = True
    bg[..., 3][transparent] = 0
    if fg_dtype == np.float32:
        # Whatever the layer holds over a transparent pixel leaves it alone.
        fg.reshape(-1, fg_channels)[::6, :3] = NAN
        fg.reshape(-1, fg_channels)[3::6, :3] = np.inf
    out = _blend(mode)(bg, fg, 0.9, kernel)
    assert (out[..., 3] == bg[..., 3]).all()
    assert (out[transparent] == bg[transparent]).all()


# ---- named cases --------------------------------------------------------------

RED = (255, 0, 0)
BLUE = (0, 0, 255)
CORAL = (200, 30, 30)
GREEN = (10, 200, 30)


def _lab_colour(l, a, b):
    return tuple(np.round(lab_to_rgb64(np.array([l, a, b])) * 255).astype(int))


def _chroma_of(rgb):
    lab = rgb_to_lab64(np.array(rgb) / 255)
    return float(np.hypot(lab[1], lab[2]))


NAMED_CASES = [
    ("hsv_hue", RED, BLUE, BLUE),
    ("hsl_color", RED, BLUE, BLUE),
    ("hsv_hue", GREEN, (128, 128, 128), GREEN),  # a grey has no hue to give
    ("hsv_hue", GREEN, (0, 0, 0), GREEN),
    ("hsv_saturation", (200, 100, 50), (90, 90, 90), (200, 200, 200)),
    ("hsv_value", (200, 100, 50), (0, 0, 0), (0, 0, 0)),
    ("hsv_value", (200, 100, 50), (0, 0, 100), (100, 50, 25)),
    ("hsl_color", (255, 255, 255), GREEN, (255, 255, 255)),
    ("hsl_color", (0, 0, 0), GREEN, (0, 0, 0)),
    ("lch_hue", CORAL, (0, 0, 0), CORAL),  # a = b = 0 exactly
    ("lch_hue", CORAL, (255, 255, 255), CORAL),
    ("lch_hue", (0, 0, 0), GREEN, (0, 0, 0)),  # chroma 0 scales to 0
    ("lch_chroma", (0, 0, 0), GREEN, _lab_colour(0, _chroma_of(GREEN), 0)),
    ("lch_chroma", CORAL, (0, 0, 0), _lab_colour(rgb_to_lab64(np.array(CORAL) / 255)[0], 0, 0)),
    ("lch_color", GREEN, (255, 255, 255), _lab_colour(rgb_to_lab64(np.array(GREEN) / 255)[0], 0, 0)),
    ("lch_lightness", CORAL, (119, 119, 119), _lab_colour(50.0, *rgb_to_lab64(np.array(CORAL) / 255)[1:])),
] + [(mode, colour, colour, colour) for mode in LCH_MODES for colour in (CORAL, GREEN, (30, 60, 250))]


# Alphas no stored image should hold, whose composite alpha is negative or
# NaN: the layer gets no weight, on every kernel, as in the separable modes.
# 11 pixels give each vector kernel whole groups and a scalar tail.
@pytest.mark.parametrize("bg_alpha, fg_alpha", [(-255, 255), (NAN, 255), (51, -255)])
@pytest.mark.parametrize("mode", [mode for mode in tarnwick.MODES if mode != "normal"])
def test_out_of_range_alpha_keeps_the_background_on_every_kernel(mode, bg_alpha, fg_alpha):
    bg = np.tile(np.float32([200, 50, 20, bg_alpha]), (1, 11, 1))
    fg = np.tile(np.float32([30, 100, 220, fg_alpha]), (1, 11, 1))
    for kernel in KERNELS:
        out = _blend(mode)(bg, fg, 1.0, kernel)
        np.testing.assert_allclose(out, bg, rtol=1e-6, equal_nan=True, err_msg=kernel)


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("mode, bg, fg, expected", NAMED_CASES)
def test_named_cases(mode, bg, fg, expected, kernel):
    # Eight copies, so the vector kernels see the pair in full groups.
    bg_image = np.tile(np.array(bg, np.uint8), (1, 8, 1))
    fg_image = np.tile(np.array(fg, np.uint8), (1, 8, 1))
    out = _blend(mode)(bg_image, fg_image, 1.0, kernel).astype(int)
    assert np.abs(out - np.array(expected)).max() <= 1, out[0, 0]


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("mode", ["lch_hue", "lch_chroma"])
def test_greys_have_no_hue(mode, dtype, kernel):
    # A grey's a and b hold a rounding residue rather than 0; still, a grey
    # layer in "lch_hue" leaves the background as it is, and a grey
    # background in "lch_chroma" takes the layer's chroma along +a as a
    # chroma of 0 does. Every byte grey, or float greys in quarter steps.
    levels = np.arange(256.0) if dtype == np.uint8 else np.arange(0, 255.25, 0.25)
    colours = np.array([(255, 127, 80), CORAL, GREEN, (30, 60, 250), (250, 250, 10), (90, 40, 160)], np.float64)
    greys = np.repeat(np.repeat(levels[:, None], 3, axis=1), len(colours), axis=0)
    others = np.tile(colours, (len(levels), 1))
    bg, fg = ((others, greys) if mode == "lch_hue" else (greys, others))
    bg, fg = bg.astype(dtype)[None], fg.astype(dtype)[None]
    out = _blend(mode)(bg, fg, 1.0, kernel).astype(np.float64)
    if mode == "lch_hue":
        expected = bg
    else:
        lightness = rgb_to_lab64(read_unit(bg).astype(np.float64))[..., 0]
        chroma = np.hypot(*np.moveaxis(rgb_to_lab64(read_unit(fg).astype(np.float64))[..., 1:], -1, 0))
        expected = lab_to_rgb64(np.stack([lightness, chroma, np.zeros_like(chroma)], axis=-1)) * 255
    assert np.abs(out - expected).max() <= 1


# ---- layer masks -----------------------------------------------------------------


def _masked_model(mode, bg, fg, weight, opacity, kernel):
    """A masked call in float64 on the 0..255 scale: the mode's own kernel
    result (a float call on opaque copies at opacity 1 returns it unmixed),
    mixed by the ratio rule with the layer's alpha times the weight."""
    bg_unit, fg_unit = bg.astype(np.float64) / 255, fg.astype(np.float64) / 255
    comp = _blend(mode)(bg[..., :3].astype(np.float32), fg[..., :3].astype(np.float32), 1.0, kernel) / 255
    bg_alpha = bg_unit[..., 3] if bg.shape[2] == 4 else 1.0
    fg_alpha = (fg_unit[..., 3] if fg.shape[2] == 4 else 1.0) * weight
    comp_alpha = np.minimum(bg_alpha, fg_alpha) * opacity
    new_alpha = comp_alpha * (1 - bg_alpha) + bg_alpha
    ratio = np.where(new_alpha > 0, comp_alpha / np.where(new_alpha > 0, new_alpha, 1), 0)[..., None]
    return (comp * ratio + (1 - ratio) * bg_unit[..., :3]) * 255


# 39 pixels: groups of eight and four and a scalar tail; transparent pixels
# in both images.
@pytest.mark.parametrize("images", [(np.uint8, 4, np.uint8, 3), (np.float32, 4, np.uint8, 4)], ids=str)
@pytest.mark.parametrize("mask_dtype", [np.uint8, np.float32])
@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("mode", COLOUR_MODES)
def test_mask_weighs_the_layer(mode, kernel, mask_dtype, images):
    bg, fg = _images(*images, 3, 13, seed=8)
    rng = np.random.default_rng(9)
    opacity = 0.8
    blend_into = lambda mask: _tarnwick._blend_into(mode, bg, fg, opacity, kernel, np.empty_like(bg), mask)
    full = np.full(bg.shape[:2], 255, mask_dtype)
    assert blend_into(full).tobytes() == _blend(mode)(bg, fg, opacity, kernel).tobytes()
    assert blend_into(np.zeros(bg.shape[:2], mask_dtype)).tobytes() == bg.tobytes()
    if mask_dtype == np.uint8:
        mask = rng.integers(0, 256, bg.shape[:2]).astype(np.uint8)
        weight = mask / 255.0
    else:
        # Out-of-range and NaN weights are clamped (NaN weighs nothing).
        mask = rng.uniform(-40, 300, bg.shape[:2]).astype(np.float32)
        mask[0, :3] = np.nan
        weight = np.clip(np.nan_to_num(mask / 255.0, nan=0.0), 0, 1)
    out = blend_into(mask)
    expected = _masked_model(mode, bg, fg, weight, opacity, kernel)
    assert np.abs(out[..., :3].astype(np.float64) - expected).max() <= 1
    assert out[..., 3].tobytes() == bg[..., 3].tobytes()


# ---- memory safety ------------------------------------------------------------

GUARDED_COMBINATIONS = [
    (np.uint8, 3, np.uint8, 3),
    (np.uint8, 4, np.float32, 4),
    (np.float32, 3, np.uint8, 4),
    (np.float32, 4, np.float32, 3),
]


@pytest.mark.parametrize("bg_dtype, bg_channels, fg_dtype, fg_channels", GUARDED_COMBINATIONS)
@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("mode", COLOUR_MODES)
def test_only_the_pixels_own_bytes_are_touched(mode, kernel, bg_dtype, bg_channels, fg_dtype, fg_channels):
    check_guarded(_blend(mode), bg_dtype, bg_channels, fg_dtype, fg_channels, kernel)
