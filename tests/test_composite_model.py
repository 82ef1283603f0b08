"""The native compositing model, called through `_tarnwick._composite_into`.

The scalar kernel is checked against the float64 model of reference_composite;
the four- and eight-lane kernels against the scalar kernel, bit for bit.
"""

import itertools

import numpy as np
import pytest

import _tarnwick
from guarded import check_guarded
from reference import CHANNELS, DTYPES, KERNELS, random_image
from reference_composite import BLENDS, NEED_ALPHA, OPERATORS, composite_model, stored

LAYOUTS = list(itertools.product(DTYPES, CHANNELS, DTYPES, CHANNELS))


def layer(rng, height, width, channels, dtype, premultiplied=False):
    """A random image whose alphas include 0 and 255; premultiplied, its
    colours are mostly at or below alpha (a few above, to be clamped)."""
    image = random_image(rng, height, width, channels, dtype)
    if channels == 4:
        alpha = image[..., 3]
        alpha[rng.random(alpha.shape) < 0.2] = 0
        alpha[rng.random(alpha.shape) < 0.2] = 255
        if premultiplied:
            below = rng.random(image.shape[:2]) < 0.9
            image[below, :3] = (image[below, :3] * (alpha[below, None] / 255.0)).astype(image.dtype)
    return image


def composite(blend, operator, backdrop, source, opacity=1.0, kernel="scalar", mask=None,
              premultiplied=False, out=None):
    out = np.empty_like(backdrop) if out is None else out
    result = _tarnwick._composite_into(blend, operator, premultiplied, backdrop, source, opacity,
                                       kernel, out, mask)
    assert result is out
    return out


def operators_for(channels):
    return [op for op in OPERATORS if channels == 4 or op not in NEED_ALPHA]


@pytest.mark.parametrize("blend", BLENDS)
def test_scalar_kernel_follows_the_float64_model(blend):
    rng = np.random.default_rng(sum(map(ord, blend)))
    for (bg_dtype, bg_channels, fg_dtype, fg_channels), premultiplied in itertools.product(
            LAYOUTS, (False, True)):
        backdrop = layer(rng, 9, 13, bg_channels, bg_dtype, premultiplied)
        source = layer(rng, 9, 13, fg_channels, fg_dtype, premultiplied)
        mask = [None, rng.integers(0, 256, (9, 13), dtype=np.uint8),
                rng.uniform(-20, 275, (9, 13)).astype(np.float32)][rng.integers(3)]
        # Opacity 1 with no mask or a uint8 one takes the integer path on uint8 RGBA.
        for operator, opacity in itertools.product(operators_for(bg_channels), (1.0, 0.6)):
            got = composite(blend, operator, backdrop, source, opacity, mask=mask,
                            premultiplied=premultiplied)
            want, near_jump = composite_model(blend, operator, premultiplied, backdrop, source,
                                              opacity, mask)
            tolerance = 1 if bg_dtype == np.uint8 else 1e-3
            error = np.abs(got.astype(np.float64) - stored(want, bg_dtype).astype(np.float64))
            error[near_jump] = 0
            where = np.unravel_index(np.argmax(error), error.shape)
            assert error.max() <= tolerance, (
                f"{operator}, premultiplied={premultiplied}, {backdrop.dtype}x{bg_channels} under "
                f"{source.dtype}x{fg_channels}: {got[where[:2]]} vs {want[where[:2]]} at {where}")


@pytest.mark.parametrize("kernel", [k for k in KERNELS if k != "scalar" and _tarnwick.kernel_available(k)])
@pytest.mark.parametrize("blend", BLENDS)
def test_vector_kernels_store_the_scalar_kernels_bits(blend, kernel):
    rng = np.random.default_rng(sum(map(ord, blend + kernel)))
    # 37 pixels: eight-lane groups, a four-lane group and a single pixel.
    for (bg_dtype, bg_channels, fg_dtype, fg_channels), premultiplied in itertools.product(
            LAYOUTS, (False, True)):
        backdrop = layer(rng, 1, 37, bg_channels, bg_dtype, premultiplied)
        source = layer(rng, 1, 37, fg_channels, fg_dtype, premultiplied)
        if bg_dtype == fg_dtype == np.uint8:
            # Pixels at the jumps: Cb + Cs = 1, equal channels, 0.5.
            source[0, :12, :3] = 255 - backdrop[0, :12, :3]
            source[0, 12:16, :3] = backdrop[0, 12:16, :3]
            source[0, 16:20, :3] = 128
        mask = [None, rng.integers(0, 256, 37, dtype=np.uint8),
                rng.uniform(0, 255, 37).astype(np.float32)][rng.integers(3)]
        for operator, opacity in itertools.product(operators_for(bg_channels), (0.8, 1.0)):
            args = (blend, operator, backdrop, source, opacity)
            want = composite(*args, "scalar", mask, premultiplied)
            got = composite(*args, kernel, mask, premultiplied)
            assert got.tobytes() == want.tobytes(), (operator, opacity, premultiplied,
                                                     backdrop.dtype, bg_channels, source.dtype,
                                                     fg_channels)


@pytest.mark.parametrize("kernel", [k for k in KERNELS if k != "scalar" and _tarnwick.kernel_available(k)])
@pytest.mark.parametrize("premultiplied", [False, True])
@pytest.mark.parametrize("channels", itertools.product(CHANNELS, CHANNELS))
def test_uint16_vector_kernels_store_the_scalar_kernels_values(channels, premultiplied, kernel):
    rng = np.random.default_rng(16)
    backdrop, source = (rng.integers(0, 65536, (1, 37, c)).astype(np.uint16) for c in channels)
    for image in (backdrop, source):
        if image.shape[2] == 4:
            image[0, ::5, 3] = 0
            image[0, 1::5, 3] = 65535
    mask = rng.uniform(0, 255, 37).astype(np.float32)
    for blend, operator in itertools.product(("normal", "multiply", "color_dodge", "hue"),
                                             operators_for(channels[0])):
        args = (blend, operator, backdrop, source, 0.8)
        want = composite(*args, "scalar", mask, premultiplied)
        assert composite(*args, kernel, mask, premultiplied).tobytes() == want.tobytes(), (
            blend, operator)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("kernel", KERNELS)
def test_a_layer_over_a_transparent_backdrop_is_the_layer(kernel, dtype):
    rng = np.random.default_rng(3)
    source = layer(rng, 5, 21, 4, dtype)
    backdrop = np.zeros_like(source)
    visible = source[..., 3] > 0
    for blend in BLENDS:
        got = composite(blend, "source_over", backdrop, source, kernel=kernel)
        # Bytes exactly; floats, which went through /255 and *255, to a rounding.
        np.testing.assert_allclose(got[..., 3], source[..., 3], rtol=1e-6, err_msg=blend)
        np.testing.assert_allclose(got[visible], source[visible], rtol=1e-6, err_msg=blend)


# The layer modes of the same formula, over an opaque backdrop.
LAYER_MODES = {"multiply": "multiply", "screen": "screen", "darken": "darken_only",
               "lighten": "lighten_only", "difference": "difference", "exclusion": "exclusion"}


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("blend", LAYER_MODES)
def test_over_an_opaque_backdrop_the_layer_modes_agree(blend, kernel):
    rng = np.random.default_rng(sum(map(ord, blend)))
    for dtype, channels in itertools.product(DTYPES, CHANNELS):
        backdrop = random_image(rng, 7, 11, channels, dtype)
        if channels == 4:
            backdrop[..., 3] = 255
        source = layer(rng, 7, 11, 4, dtype)
        got = composite(blend, "source_over", backdrop, source, 0.7, kernel)
        want = getattr(_tarnwick, LAYER_MODES[blend])(backdrop, source, 0.7, kernel)
        np.testing.assert_allclose(got.astype(np.float64), want.astype(np.float64), rtol=0,
                                   atol=1 if dtype == np.uint8 else 1e-3)


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("dtype", DTYPES)
def test_nothing_drawn_leaves_the_backdrop_bit_for_bit(dtype, kernel):
    """A mask of 0 or an opacity of 0 under every operator that then keeps
    the backdrop: its bytes, colour under zero alpha and NaN included."""
    rng = np.random.default_rng(5)
    backdrop = random_image(rng, 3, 19, 4, dtype)
    backdrop[0, :5, 3] = 0
    if dtype == np.float32:
        backdrop[1, 0, 0] = np.nan
    source = layer(rng, 3, 19, 4, dtype)
    keeps = ("destination", "source_over", "destination_over", "destination_out", "source_atop",
             "xor", "plus_lighter")
    for blend, operator, premultiplied in itertools.product(("normal", "hue", "hard_mix"), keeps,
                                                            (False, True)):
        for opacity, mask in ((1.0, np.zeros((3, 19), np.uint8)), (0.0, None), (-np.inf, None)):
            got = composite(blend, operator, backdrop, source, opacity, kernel, mask, premultiplied)
            assert got.tobytes() == backdrop.tobytes(), (blend, operator, premultiplied, opacity)


@pytest.mark.parametrize("kernel", KERNELS)
def test_out_of_range_inputs_read_as_clamped(kernel):
    """Float values beyond 0..255 (NaN as 0), opacities beyond 0..1 and mask
    values beyond 0..255 act as their nearest ends. Under "copy" nothing of
    the backdrop is kept as stored, so its junk must be read clamped too."""
    rng = np.random.default_rng(11)
    junk = np.array([np.nan, np.inf, -np.inf, -3.0, 300.0, 255.0, 0.0], np.float32)
    backdrop = rng.choice(junk, (3, 11, 4)).astype(np.float32)
    source = rng.choice(junk, (3, 11, 4)).astype(np.float32)
    mask = rng.choice(junk, (3, 11)).astype(np.float32)

    def clean(values):
        return np.clip(np.nan_to_num(values, nan=0.0, posinf=255.0, neginf=0.0), 0, 255)

    for blend, premultiplied in itertools.product(("multiply", "color_dodge", "hue"), (False, True)):
        got = composite(blend, "copy", backdrop, source, 2.5, kernel, mask, premultiplied)
        want = composite(blend, "copy", clean(backdrop), clean(source), 1.0, kernel, clean(mask),
                         premultiplied)
        assert got.tobytes() == want.tobytes(), (blend, premultiplied)
    # An alpha below the smallest normal float is no alpha: colour 0, not the
    # NaN or full channel its infinite reciprocal would give.
    faint = np.array([[[0, 0, 0, 1e-38]] * 9], np.float32)
    for premultiplied in (False, True):
        got = composite("multiply", "copy", np.full_like(faint, 100), faint, 1.0, kernel,
                        premultiplied=premultiplied)
        assert (got[..., :3] == 0).all(), premultiplied


def test_bad_arguments_raise_and_leave_out_untouched():
    rng = np.random.default_rng(0)
    rgba = random_image(rng, 4, 5, 4, np.uint8)
    rgb = random_image(rng, 4, 5, 3, np.uint8)
    out = np.full_like(rgba, 7)
    cases = [
        (("color-dodge", "source_over", False, rgba, rgba, 1.0, "auto", out, None), ValueError,
         "unknown blend function"),
        (("normal", "over", False, rgba, rgba, 1.0, "auto", out, None), ValueError, "unknown operator"),
        ((1, "source_over", False, rgba, rgba, 1.0, "auto", out, None), TypeError, "blend must be a str"),
        (("normal", "source_over", False, rgba, rgba, 1.0, "auto", out[:, :4], None), ValueError, "out must be"),
        (("normal", "source_over", False, rgba, rgba, 1.0, "auto", out, np.ones(19, np.uint8)),
         ValueError, "one value per pixel"),
        (("normal", "source_over", False, rgba, rgba, 1.0, "auto", out, np.ones(20, np.int16)),
         TypeError, "uint8 or float32"),
        (("normal", "source_over", False, rgba, rgba[:3], 1.0, "auto", out, None), ValueError, "match"),
        (("normal", "source_over", False, rgba, rgba, float("nan"), "auto", out, None), ValueError, "finite"),
        (("normal", "source_over", False, rgba, rgba.astype(np.uint16), 1.0, "auto", out, None),
         TypeError, "both be uint16 or neither"),
        (("normal", "source_over", False, *[rgba.astype(np.uint16)] * 2, 1.0, "auto", out, None),
         ValueError, "out must be an aligned, writeable uint16 array"),
        (("normal", "source_over", True, rgba, rgba, 1.0, "auto", out, None, 255.0, True),
         TypeError, "straight uint8 images only"),
    ]
    for args, error, message in cases:
        with pytest.raises(error, match=message):
            _tarnwick._composite_into(*args)
        assert (out == 7).all(), message
    rgb_out = np.full_like(rgb, 7)
    for operator in sorted(NEED_ALPHA):
        with pytest.raises(ValueError, match=f"operator '{operator}' needs a 4-channel backdrop"):
            _tarnwick._composite_into("multiply", operator, False, rgb, rgba, 1.0, "auto", rgb_out, None)
        assert (rgb_out == 7).all()


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("blend, premultiplied", [("normal", True), ("soft_light", False), ("hue", True)])
@pytest.mark.parametrize("layout", LAYOUTS[::3] + [(np.uint16, 4, np.uint16, 3), (np.uint16, 3, np.uint16, 4)])
def test_guarded_memory(layout, blend, premultiplied, kernel):
    """Reads and writes stay within the pixels, the mask's included."""
    bg_dtype, bg_channels, fg_dtype, fg_channels = layout

    def call(bg, fg, opacity, kernel):
        mask = np.full(bg.shape[:2], 200, np.uint8)
        return composite(blend, "source_atop", bg, fg, opacity, kernel, mask, premultiplied)

    check_guarded(call, bg_dtype, bg_channels, fg_dtype, fg_channels, kernel, pixel_counts=range(1, 18))
