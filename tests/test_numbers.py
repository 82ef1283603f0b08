"""uint16 images, floats on 0..1 and compositing in linear light."""

import numpy as np
import pytest

import tarnwick
from reference import KERNELS
from reference_colour import linear_to_srgb64, srgb_to_linear64
from reference_composite import composite_model

AVAILABLE = [k for k in KERNELS if tarnwick.kernel_available(k)]
RNG = np.random.default_rng(18)
H, W = 23, 37  # odd sizes: vector tails on every row run
STEP = {np.uint8: 255.0, np.uint16: 65535.0}


def image(dtype, channels, rng=RNG):
    shape = (H, W, channels)
    if dtype == np.float32:
        return rng.uniform(0, 255, shape).astype(np.float32)
    top = np.iinfo(dtype).max
    picture = rng.integers(0, top + 1, shape).astype(dtype)
    if channels == 4:
        picture[..., 3] = np.maximum(picture[..., 3], top // 255)  # layer model: no 0/0 ratio
    return picture


def on_255(picture):
    """Any image as float64 on 0..255."""
    scale = 255.0 / STEP[picture.dtype.type] if picture.dtype != np.float32 else 1.0
    return picture.astype(np.float64) * scale


def layer_model(mode, bg, fg, opacity):
    """The layer modes' float64 rule: colour mixed by min(alphas) * opacity
    over the backdrop's alpha, which the result keeps."""
    b, f = on_255(bg) / 255, on_255(fg) / 255
    ab = b[..., 3:] if bg.shape[2] == 4 else np.ones(bg.shape[:2] + (1,))
    af = f[..., 3:] if fg.shape[2] == 4 else 1.0
    out = b.copy()
    if mode == "normal":
        af = af * opacity
        denom = ab * (1 - af) + af
        out[..., :3] = (f[..., :3] * af + b[..., :3] * ab * (1 - af)) / denom
        if bg.shape[2] == 4:
            out[..., 3:] = denom
    else:
        mixed = {"multiply": b[..., :3] * f[..., :3],
                 "screen": 1 - (1 - b[..., :3]) * (1 - f[..., :3])}[mode]
        comp_a = np.minimum(ab, af) * opacity
        ratio = comp_a / (comp_a * (1 - ab) + ab)
        out[..., :3] = mixed * ratio + (1 - ratio) * b[..., :3]
    return out * 255


CASES = [  # (call, mode, bg type, bg channels, fg type, fg channels)
    ("blend", "normal", np.uint16, 4, np.uint16, 4),
    ("blend", "multiply", np.uint16, 3, np.uint8, 4),
    ("blend", "screen", np.uint8, 4, np.uint16, 3),
    ("composite", "multiply", np.uint16, 4, np.float32, 4),
    ("composite", "soft_light", np.uint16, 3, np.uint16, 4),
    ("composite", "normal", np.uint16, 4, np.uint16, 4),
    ("composite", "hue", np.uint16, 4, np.uint16, 3),
]


@pytest.mark.parametrize("kernel", AVAILABLE)
@pytest.mark.parametrize("case", CASES, ids=lambda c: "-".join(str(getattr(x, "__name__", x)) for x in c))
def test_uint16_is_within_a_step_of_the_float64_model(case, kernel):
    call, mode, bt, bc, ft, fc = case
    bg, fg = image(bt, bc), image(ft, fc)
    if call == "blend":
        got = tarnwick.blend(bg, fg, mode, 0.7, kernel=kernel)
        expected = layer_model(mode, bg, fg, 0.7)
    else:
        got = tarnwick.composite(bg, fg, mode, 0.7, kernel=kernel)
        expected = composite_model(mode, "source_over", False, on_255(bg), on_255(fg), 0.7)[0]
    assert got.dtype == bt and got.shape == bg.shape
    steps = np.abs(got.astype(np.float64) - expected * STEP[bt] / 255)
    assert steps.max() <= 1.0


def _through_255(picture, scale):
    """The layer modes' reading of an image: float32 on 0..255, or uint8."""
    if picture.dtype == np.uint16:
        return picture * np.float32(255 / 65535)
    if picture.dtype == np.float32 and scale != 255:
        return picture * np.float32(255 / scale)
    return picture


def _back_from_255(result, dtype, scale):
    if dtype == np.uint16:
        return np.rint(np.clip(result * np.float32(65535 / 255), 0, 65535)).astype(np.uint16)
    if dtype == np.float32 and scale == 1:
        return result / np.float32(255)
    return result * np.float32(scale / 255) if dtype == np.float32 else result


@pytest.mark.parametrize("kernel", AVAILABLE)
@pytest.mark.parametrize("mode", ["multiply", "normal", "soft_light", "hsv_hue", "lch_color"])
@pytest.mark.parametrize("numbers", [
    (np.uint16, 4, np.uint16, 4, 255.0), (np.uint16, 3, np.uint8, 4, 255.0),
    (np.uint8, 4, np.uint16, 3, 255.0), (np.float32, 3, np.float32, 3, 1.0),
    (np.float32, 4, np.uint16, 4, 7.0),
], ids=str)
def test_layer_modes_read_uint16_and_float_scales_as_float32_on_0_to_255(numbers, mode, kernel):
    bt, bc, ft, fc, scale = numbers
    bg = image(bt, bc) if bt != np.float32 else image(bt, bc) * np.float32(scale / 255)
    fg = image(ft, fc)
    mask = RNG.integers(0, 256, (H, W), dtype=np.uint8)
    region = np.zeros((H, W + 5, bc), bt)
    region[:, 2:W + 2] = bg  # rows apart: the region's pieces are gathered
    expected = _back_from_255(tarnwick.blend(_through_255(bg, scale), _through_255(fg, scale),
                                             mode, 0.7, kernel=kernel, mask=mask), bt, scale)
    for below in (bg, region[:, 2:W + 2]):
        got = tarnwick.blend(below, fg, mode, 0.7, kernel=kernel, mask=mask, float_scale=scale)
        assert got.dtype == bt and np.array_equal(got, expected)
    # Unmasked, with and without `out`: the calls that skip the full checks.
    expected = _back_from_255(tarnwick.blend(_through_255(bg, scale), _through_255(fg, scale),
                                             mode, 0.7, kernel=kernel), bt, scale)
    for out in (None, np.empty_like(bg)):
        got = tarnwick.blend(bg, fg, mode, 0.7, kernel=kernel, float_scale=scale, out=out)
        assert got.dtype == bt and np.array_equal(got, expected)


@pytest.mark.parametrize("scale", [1e-40, 1e41, 1e-300, 1e300])
def test_float_scales_too_far_out_for_float32_factors_still_blend(scale):
    bg, fg = image(np.float32, 4), image(np.float32, 3)
    plain = tarnwick.blend(bg, fg, "multiply", 0.5, float_scale=scale)
    into = tarnwick.blend(bg, fg, "multiply", 0.5, float_scale=scale, out=np.empty_like(bg))
    assert np.array_equal(plain, into, equal_nan=True)


def _unit_calls(scale, bg, fg, mask):
    layers = [tarnwick.Layer(fg, "multiply", 0.6), tarnwick.Layer(fg, "overlay", 0.5, mask)]
    return {
        "blend": tarnwick.blend(bg, fg, "soft_light", 0.8, mask=mask, float_scale=scale),
        "blend hsv_hue masked": tarnwick.blend(bg, fg, "hsv_hue", 0.8, mask=mask, float_scale=scale),
        "composite": tarnwick.composite(bg, fg, "color_burn", 0.8, operator="source_atop",
                                        float_scale=scale),
        "flatten": tarnwick.flatten(bg, layers, float_scale=scale),
    }


@pytest.mark.parametrize("fg_type", [np.float32, np.uint8])
def test_floats_on_0_to_1_are_the_255_results_divided(fg_type):
    bg, fg = image(np.float32, 4), image(fg_type, 4)
    mask = RNG.integers(0, 256, (H, W), dtype=np.uint8)
    unit_fg = fg / np.float32(255) if fg_type == np.float32 else fg
    ones = _unit_calls(1.0, bg / np.float32(255), unit_fg, mask)
    for name, on255 in _unit_calls(255.0, bg, fg, mask).items():
        np.testing.assert_allclose(ones[name], on255 / 255, rtol=1e-6, atol=1e-7, err_msg=name)
    # Nothing blended, nothing moved.
    unit = bg / np.float32(255)
    assert np.array_equal(tarnwick.blend(unit, fg, "multiply", 0.0, float_scale=1.0), unit)


@pytest.mark.parametrize("channels", [3, 4])
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
def test_linear_light_is_within_a_step_of_the_float64_model(dtype, channels):
    bg, fg = image(dtype, channels), image(np.uint8, 4)
    got = tarnwick.composite(bg, fg, "multiply", 0.8, space="linear")

    def decoded(picture):
        linear = on_255(picture)
        linear[..., :3] = srgb_to_linear64(linear[..., :3] / 255) * 255
        return linear

    expected = composite_model("multiply", "source_over", False, decoded(bg), decoded(fg), 0.8)[0]
    expected[..., :3] = linear_to_srgb64(expected[..., :3] / 255) * 255
    # One uint8 step, whatever the stored type.
    assert np.abs(on_255(got) - expected).max() <= 1.0


@pytest.mark.parametrize("blend", ["normal", "multiply", "soft_light", "hue"])
@pytest.mark.parametrize("channels", [(3, 4), (4, 3), (4, 4)])
def test_linear_light_stores_the_same_bytes_on_every_kernel(channels, blend):
    bg, fg = (image(np.uint8, c) for c in channels)
    mask = RNG.integers(0, 256, (H, W), dtype=np.uint8)
    results = [tarnwick.composite(bg, fg, blend, 0.8, mask=mask, kernel=k, space="linear")
               for k in AVAILABLE]
    assert all(r.tobytes() == results[0].tobytes() for r in results)


def test_a_half_black_fade_over_white_is_the_linear_mid_grey():
    white, black = np.full((1, 1, 4), 255, np.uint8), np.array([[[0, 0, 0, 255]]], np.uint8)
    assert tarnwick.composite(white, black, opacity=0.5, space="linear").tolist() == [[[188, 188, 188, 255]]]
    assert tarnwick.composite(white, black, opacity=0.5).tolist() == [[[128, 128, 128, 255]]]
    stack = tarnwick.flatten(white.astype(np.uint16) * 257, [tarnwick.Layer(black, opacity=0.5)],
                             space="linear")
    assert abs(int(stack[0, 0, 0]) - 188 * 257) < 257


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
def test_decoding_and_encoding_give_back_every_stored_value(dtype):
    # A transparent layer composites nothing: each colour goes through the
    # table, linear light and the encode, and must come back as it was.
    codes = np.arange(np.iinfo(dtype).max + 1, dtype=dtype).reshape(-1, 256)
    picture = np.stack([codes, codes[:, ::-1], np.roll(codes, 1), np.full_like(codes, 77)], axis=-1)
    clear = np.zeros_like(picture)
    assert np.array_equal(tarnwick.composite(picture, clear, space="linear"), picture)


@pytest.mark.parametrize("kwargs", [dict(), dict(space="linear"), dict(float_scale=1.0)])
def test_bands_and_threads_give_the_same_bits(kwargs):
    rng = np.random.default_rng(7)
    height, width = 301, 257  # several pieces of converted pixels, an odd tail
    bg = rng.integers(0, 65536, (height, width, 4)).astype(np.uint16)
    fg = rng.uniform(0, 1 if kwargs.get("float_scale") else 255, (height, width, 4)).astype(np.float32)
    mask = rng.integers(0, 256, (height, width), dtype=np.uint8)
    layers = [tarnwick.Layer(fg, "screen", 0.7, mask), tarnwick.Layer(fg, "hard_mix")]

    def calls(threads):
        yield tarnwick.composite(bg, fg, "overlay", 0.7, mask=mask, threads=threads, **kwargs)
        yield tarnwick.flatten(bg, layers, threads=threads, **kwargs)
        if "space" not in kwargs:
            yield tarnwick.blend(bg, fg, "hsl_color", 0.7, mask=mask, threads=threads, **kwargs)

    one = list(calls(1))
    one_by_one = tarnwick.composite(bg, fg, "screen", 0.7, mask=mask, **kwargs)
    tarnwick.composite(one_by_one, fg, "hard_mix", out=one_by_one, **kwargs)
    assert np.array_equal(one[1], one_by_one)
    for threads in (2, 3):
        assert all(np.array_equal(a, b) for a, b in zip(one, calls(threads)))


@pytest.mark.parametrize("call, kwargs, error, text", [
    ("blend", dict(float_scale=0.0), ValueError, "float_scale must be a positive finite number"),
    ("blend", dict(float_scale="1"), TypeError, "float_scale must be a positive real number"),
    ("composite", dict(space="lab"), ValueError, "space must be 'srgb' or 'linear'"),
    ("composite", dict(space="linear", premultiplied=True), ValueError, "straight colours"),
    ("flatten", dict(float_scale=float("nan")), ValueError, "float_scale"),
    ("blend", dict(foreground=np.zeros((H, W, 3), np.int16)), TypeError,
     "foreground must be a uint8, uint16, float32 or float64 array, got int16"),
])
def test_bad_numbers_raise_before_any_write(call, kwargs, error, text):
    bg = image(np.uint16, 4)
    out, before = np.zeros_like(bg), np.zeros_like(bg)
    fg = kwargs.pop("foreground", image(np.uint16, 4))
    with pytest.raises(error, match=text):
        if call == "flatten":
            tarnwick.flatten(bg, [tarnwick.Layer(fg)], out=out, **kwargs)
        else:
            getattr(tarnwick, call)(bg, fg, out=out, **kwargs)
    assert np.array_equal(out, before)


@pytest.mark.parametrize("call, kwargs", [
    ("blend", dict(float_scale=1.0)), ("composite", dict(space="linear")),
    ("flatten", dict(space="linear", float_scale=1.0)),
])
def test_dask_calls_match_one_call(call, kwargs):
    dask_array = pytest.importorskip("dask.array")
    import tarnwick.dask

    bg = image(np.uint16, 4)
    fg = image(np.float32, 4) / np.float32(255 if kwargs.get("float_scale") else 1)
    lazy_bg = dask_array.from_array(bg, chunks=(8, W, 4))
    if call == "flatten":
        layers = [tarnwick.Layer(fg, "overlay", 0.6)]
        lazy = tarnwick.dask.flatten(lazy_bg, layers, kernel="scalar", **kwargs)
        eager = tarnwick.flatten(bg, layers, kernel="scalar", **kwargs)
    else:
        mode = "multiply"
        lazy = getattr(tarnwick.dask, call)(lazy_bg, fg, mode, 0.6, kernel="scalar", **kwargs)
        eager = getattr(tarnwick, call)(bg, fg, mode, 0.6, kernel="scalar", **kwargs)
    assert np.array_equal(lazy.compute(scheduler="synchronous"), eager)
