"""tarnwick.composite, tarnwick.flatten and batches of frames: bit identity
with one native call, names, and failed calls that write nothing."""

import numpy as np
import pytest

import _tarnwick
import tarnwick
from reference import random_image


@pytest.fixture(autouse=True)
def small_bands(monkeypatch):
    # Bands of a few granules, so that these small images still split.
    monkeypatch.setattr(tarnwick._bands, "_MIN_BAND", 64)


BLENDS = tarnwick.BLENDS

RNG = np.random.default_rng(16)
# Several bands of 64-pixel multiples plus a tail of 7 pixels.
HEIGHT, WIDTH = 67, 45
KERNELS = ("scalar", "avx2")
LAYOUTS = {  # backdrop, source: (dtype, channels)
    "u8 RGBA/u8 RGBA": ((np.uint8, 4), (np.uint8, 4)),
    "u8 RGB/u8 RGBA": ((np.uint8, 3), (np.uint8, 4)),
    "f32 RGBA/u8 RGB": ((np.float32, 4), (np.uint8, 3)),
}


def images(layout, lead=(), height=HEIGHT, width=WIDTH):
    (bg_type, bg_channels), (fg_type, fg_channels) = LAYOUTS[layout]

    def many(channels, dtype):
        frames = [random_image(RNG, height, width, channels, dtype) for _ in range(int(np.prod(lead)))]
        return np.stack(frames).reshape(lead + frames[0].shape) if lead else frames[0]

    return many(bg_channels, bg_type), many(fg_channels, fg_type)


def one_call(backdrop, source, blend, opacity, operator, premultiplied, kernel, mask=None):
    out = np.empty_like(backdrop)
    flat = None if mask is None else np.ascontiguousarray(mask).reshape(-1)
    n = backdrop.shape[0] * backdrop.shape[1]
    _tarnwick._composite_into(blend, operator, premultiplied, backdrop.reshape(n, 1, -1),
                              source.reshape(n, 1, -1), opacity, kernel, out.reshape(n, 1, -1), flat)
    return out


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("blend, operator, premultiplied, masked", [
    ("normal", "source_over", False, False), ("multiply", "source_atop", True, True),
    (BLENDS[-1], "plus_lighter", False, True), ("screen", "destination_over", True, False),
])
def test_matches_one_native_call_bit_for_bit(layout, kernel, blend, operator, premultiplied, masked):
    bg, fg = images(layout)
    mask = RNG.integers(0, 256, (HEIGHT, WIDTH), np.uint8) if masked else None
    expected = one_call(bg, fg, blend, 0.7, operator, premultiplied, kernel, mask)
    call = dict(blend=blend, opacity=0.7, operator=operator, premultiplied=premultiplied, kernel=kernel,
                mask=mask)
    for threads in (1, 2, 3):
        assert np.array_equal(tarnwick.composite(bg, fg, **call, threads=threads), expected)
        out = np.empty_like(bg)
        assert tarnwick.composite(bg, fg, **call, out=out, threads=threads) is out
        assert np.array_equal(out, expected)
        canvas = bg.copy()
        tarnwick.composite(canvas, fg, **call, out=canvas, threads=threads)
        assert np.array_equal(canvas, expected), threads


@pytest.mark.parametrize("given, expected", [
    (("color-dodge", "source-over"), ("color_dodge", "source_over")),
    (("soft-light", "plus-lighter"), ("soft_light", "plus_lighter")),
    (("linear_light", "destination-atop"), ("linear_light", "destination_atop")),
])
def test_hyphenated_names_are_the_same_names(given, expected):
    assert tarnwick._names.resolve_blend(given[0]) == expected[0]
    assert tarnwick._names.resolve_operator(given[1]) == expected[1]


def test_name_lists():
    assert len(tarnwick.BLENDS) == 26 == len(set(tarnwick.BLENDS))
    assert len(tarnwick.OPERATORS) == 13 and tarnwick.OPERATORS[3] == "source_over"
    assert {"soft_light", "multiply", "normal"} <= set(tarnwick.BLENDS) & set(tarnwick.MODES)


BG, FG = images("u8 RGBA/u8 RGBA", height=6, width=5)
RGB = BG[..., :3].copy()


def bad_calls():
    readonly = np.empty_like(BG)
    readonly.flags.writeable = False
    shared = np.empty((6, 5, 4), np.uint8)
    return {
        "unknown blend": (dict(blend="multiplyy"), ValueError, "blend must be one of tarnwick.BLENDS, got 'multiplyy'; closest: 'multiply'"),
        "layer mode": (dict(blend="grain_merge"), ValueError, "'grain_merge' is a layer mode of tarnwick.blend"),
        "layer-only hsv": (dict(blend="hsv_hue"), ValueError, "closest: 'hue'"),
        "operator as blend": (dict(blend="xor"), ValueError, "pass it as operator='xor'"),
        "unknown operator": (dict(operator="source_ovr"), ValueError, "closest: 'source_over'"),
        "blend as operator": (dict(operator="multiply"), ValueError, "pass it as blend='multiply'"),
        "blend type": (dict(blend=None), TypeError, "blend must be a string"),
        "premultiplied": (dict(premultiplied="no"), TypeError, "premultiplied must be True or False"),
        "opaque backdrop": (dict(backdrop=RGB, out=np.zeros_like(RGB), operator="destination-out"),
                            ValueError, "operator 'destination_out' can leave pixels transparent: it needs a 4-channel backdrop"),
        "opacity": (dict(opacity=float("nan")), ValueError, "opacity must be a finite number"),
        "kernel": (dict(kernel="neon"), ValueError, "unknown kernel"),
        "ndim": (dict(backdrop=BG[0]), ValueError, "backdrop must have shape (height, width, 3 or 4)"),
        "dtype": (dict(source=FG.astype(np.int64)), TypeError, "source must be a uint8, uint16, float32 or float64 array, got int64"),
        "channels": (dict(backdrop=BG[..., :2]), ValueError, "backdrop must have 3 or 4 channels, shape (height, width, 3 or 4), got (6, 5, 2)"),
        "mask": (dict(mask=np.zeros((5, 6), np.uint8)), ValueError, "mask must have shape (6, 5)"),
        "out dtype": (dict(out=np.empty((6, 5, 4), np.float32)), ValueError, "the backdrop's dtype and shape"),
        "read-only": (dict(out=readonly), ValueError, "read-only"),
        "overlap": (dict(source=shared, out=shared), ValueError, "out must not overlap the source"),
        "threads": (dict(threads=-2), ValueError, "threads must be 0 or more"),
        "batch": (dict(backdrop=np.stack([BG] * 3), source=np.stack([FG] * 2)), ValueError,
                  "leading dimensions do not broadcast: backdrop (3,), source (2,), opacity ()"),
        "batch opacity": (dict(opacity=[0.5, np.nan]), ValueError, "opacity must be a finite number"),
        "complex opacity": (dict(opacity=np.complex128(0.5 + 0.5j)), TypeError,
                            "opacity must be a real number, not complex128"),
        "percentage": (dict(opacity=80), ValueError, "opacity must be from 0 to 1, got 80; for 80 % pass 0.8"),
        "batch percentage": (dict(opacity=[0.5, 80]), ValueError, "got 80; for 80 % pass 0.8"),
        "batch out": (dict(opacity=[0.5, 1.0], out=np.zeros_like(BG)), ValueError, "of shape (2, 6, 5, 4)"),
    }


@pytest.mark.parametrize("case", bad_calls())
def test_bad_call_raises_and_writes_nothing(case):
    arguments, error, message = bad_calls()[case]
    call = dict(backdrop=BG.copy(), source=FG.copy(), blend="multiply", opacity=0.5,
                out=np.zeros_like(BG))
    call.update(arguments)
    before = {name: np.array(value, copy=True) for name, value in call.items() if isinstance(value, np.ndarray)}
    with pytest.raises(error) as raised:
        tarnwick.composite(**call)
    assert message in str(raised.value) and "\n" not in str(raised.value)
    for name, value in before.items():
        assert np.array_equal(call[name], value, equal_nan=True), name


@pytest.mark.parametrize("mode, family", [
    ("color_dodge", "a blend function"), ("hue", "a blend function"), ("source-over", "an operator"),
])
def test_blend_refuses_the_standard_names(mode, family):
    with pytest.raises(ValueError, match=f"is {family} of tarnwick.composite, not a layer mode"):
        tarnwick.blend(BG, FG, mode)


def blend_call(bg, fg, opacity, **kw):
    return tarnwick.blend(bg, fg, "soft_light", opacity, **kw)


def composite_call(bg, fg, opacity, **kw):
    return tarnwick.composite(bg, fg, "multiply", opacity, operator="source_atop", **kw)


@pytest.mark.parametrize("call", [blend_call, composite_call], ids=["blend", "composite"])
@pytest.mark.parametrize("bg_lead, fg_lead, opacity, mask_shape", [
    ((4,), (), 0.6, None),
    ((), (3,), [0.2, 0.5, 1.0], (HEIGHT, WIDTH, 1)),
    ((2, 1), (3,), 0.8, (3, HEIGHT, WIDTH)),
    ((5,), (5,), [[0.3], [0.9]], (HEIGHT, WIDTH)),
])
def test_batch_is_one_call_per_frame(call, bg_lead, fg_lead, opacity, mask_shape):
    bg, _ = images("u8 RGBA/u8 RGBA", bg_lead)
    _, fg = images("f32 RGBA/u8 RGB", fg_lead)
    mask = None if mask_shape is None else RNG.integers(0, 256, mask_shape, np.uint8)
    image_dims = 0 if mask is None else (3 if mask_shape[-1] == 1 else 2)
    lead = np.broadcast_shapes(bg_lead, fg_lead, np.shape(opacity), () if mask is None else mask_shape[:-image_dims])
    frames = np.empty(lead + bg.shape[-3:], bg.dtype)
    for index in np.ndindex(*lead):
        pick = lambda a, dims: np.broadcast_to(a, lead + a.shape[a.ndim - dims:])[index]  # noqa: E731
        frames[index] = call(pick(bg, 3), pick(fg, 3), float(pick(np.asarray(opacity), 0)),
                             mask=None if mask is None else pick(mask, image_dims))
    for threads in (1, 2, 5):
        assert np.array_equal(call(bg, fg, opacity, mask=mask, threads=threads), frames)
    if bg.shape == frames.shape:
        call(bg, fg, opacity, mask=mask, out=bg, threads=2)
        assert np.array_equal(bg, frames)


def layer_stack(canvas_channels):
    images_ = [random_image(RNG, HEIGHT, WIDTH, c, t) for c, t in
               ((4, np.uint8), (3, np.float32), (4, np.uint8), (4, np.float32), (3, np.uint8))]
    mask = RNG.integers(0, 256, (HEIGHT, WIDTH), np.uint8)
    operator = "source_atop" if canvas_channels == 4 else "source_over"
    return [
        tarnwick.Layer(images_[0], "multiply", 0.8),
        tarnwick.Layer(images_[1], "screen", 0.5, mask=mask, operator=operator),
        tarnwick.Layer.layer_mode(images_[2], "soft_light", 0.7),
        tarnwick.Layer.layer_mode(images_[3], "hsv_hue", 0.9, mask=mask),
        tarnwick.Layer(images_[4], BLENDS[-1], 0.4, mask=mask[..., None].astype(np.float32)),
    ]


MASKED_CALLS = {  # name: (call(bg, fg, mask), mask shape)
    "blend": (lambda bg, fg, m: tarnwick.blend(bg, fg, "soft_light", 0.8, mask=m), (HEIGHT, WIDTH)),
    "composite": (lambda bg, fg, m: tarnwick.composite(bg, fg, "multiply", 0.8, mask=m), (HEIGHT, WIDTH, 1)),
    "composite frames": (lambda bg, fg, m: tarnwick.composite(bg, fg, "multiply", [0.8, 0.5], mask=m),
                         (2, HEIGHT, WIDTH)),
    "blend frames": (lambda bg, fg, m: tarnwick.blend(bg, fg, "screen", [0.8, 0.5], mask=m), (2, HEIGHT, WIDTH)),
    "flatten": (lambda bg, fg, m: tarnwick.flatten(bg, [tarnwick.Layer(fg, "multiply", 0.8, mask=m)]),
                (HEIGHT, WIDTH)),
    "flatten layer model": (lambda bg, fg, m: tarnwick.flatten(
        bg, [tarnwick.Layer.layer_mode(fg, "soft_light", 0.8, mask=m)]), (HEIGHT, WIDTH)),
}


@pytest.mark.parametrize("call", MASKED_CALLS)
def test_hidden_mask_entries_weigh_zero(call):
    function, shape = MASKED_CALLS[call]
    bg, fg = images("u8 RGBA/u8 RGBA")
    data = np.full(shape, 255, np.uint8)
    hidden = RNG.random(shape) < 0.5
    hidden.flat[:64] = True
    got = function(bg, fg, np.ma.masked_array(data, mask=hidden))
    assert np.array_equal(got, function(bg, fg, np.where(hidden, 0, data).astype(np.uint8)))


def one_call_per_layer(canvas, layers, kernel, premultiplied=False):
    canvas = canvas.copy()
    for layer in layers:
        if layer.model == "layer":
            tarnwick.blend(canvas, layer.image, layer.blend, layer.opacity, kernel=kernel, out=canvas,
                           mask=layer.mask)
        else:
            tarnwick.composite(canvas, layer.image, layer.blend, layer.opacity, operator=layer.operator,
                               premultiplied=premultiplied, kernel=kernel, out=canvas, mask=layer.mask)
    return canvas


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("canvas_type, channels", [(np.uint8, 4), (np.float32, 3)])
def test_flatten_is_one_call_per_layer(monkeypatch, kernel, canvas_type, channels):
    monkeypatch.setattr(tarnwick._flatten, "_BAND_BYTES", 2048)  # several bands at this size
    canvas = random_image(RNG, HEIGHT, WIDTH, channels, canvas_type)
    if channels == 4:
        canvas[:20] = 0  # transparent rows
    layers = layer_stack(channels)
    standard = [layer for layer in layers if layer.model == "standard"]
    for stack, premultiplied in ((layers, False), (layers[:3], False), (layers[3:], False), ([], False),
                                 (standard, True)):
        expected = one_call_per_layer(canvas, stack, kernel, premultiplied)
        call = dict(kernel=kernel, premultiplied=premultiplied)
        for threads in (1, 2, 3):
            assert np.array_equal(tarnwick.flatten(canvas, stack, **call, threads=threads), expected)
            into = canvas.copy()
            assert tarnwick.flatten(into, stack, **call, out=into, threads=threads) is into
            assert np.array_equal(into, expected)


class Posing:
    """Reports one shape and dtype, converts to another array."""

    def __init__(self, array, shape, dtype=np.uint8):
        self.array, self.shape, self.dtype = array, shape, np.dtype(dtype)

    def __array__(self, dtype=None, copy=None):
        return self.array


def flatten_faults():
    canvas = np.zeros((6, 5, 4), np.uint8)
    good = tarnwick.Layer(FG)
    return {
        # What is composited is checked, not what an object reports.
        "posing dtype": ([good, tarnwick.Layer(Posing(FG.astype(np.float16), FG.shape))], TypeError,
                         "layers[1].image must be a uint8, uint16, float32 or float64 array, not float16"),
        "posing mask": ([good, tarnwick.Layer(FG, mask=Posing(np.zeros((5, 6), np.uint8), (6, 5)))],
                        ValueError, "layers[1].mask must have shape (6, 5) or (6, 5, 1) like the canvas"),
        "posing layer mask": ([good, tarnwick.Layer.layer_mode(FG, mask=Posing(np.zeros(30, np.uint8), (6, 5)))],
                              ValueError, "layers[1].mask must have shape (6, 5) or (6, 5, 1) like the canvas"),
        "mask": ([good, tarnwick.Layer(FG, mask=np.zeros((6, 6), np.uint8))], ValueError,
                 "layers[1].mask must have shape (6, 5) or (6, 5, 1) like the canvas, got (6, 6)"),
        "dtype": ([tarnwick.Layer(FG.astype(np.int32))], TypeError, "layers[0].image must be a uint8, uint16, float32 or float64"),
        "blend": ([good, good, tarnwick.Layer(FG, "grain_merge")], ValueError, "layers[2].blend 'grain_merge' is a layer mode"),
        "layer mode": ([tarnwick.Layer.layer_mode(FG, "color_dodge")], ValueError, "layers[0].blend: 'color_dodge' is a blend function"),
        "operator": ([tarnwick.Layer(FG, "multiply", operator="xor", model="layer")], ValueError,
                     "layers[0].operator applies to the standard model only"),
        "opacity": ([tarnwick.Layer(FG, opacity="1")], TypeError, "layers[0].opacity must be a real number"),
        "complex opacity": ([good, tarnwick.Layer(FG, opacity=np.complex128(0.5 + 0.5j))], TypeError,
                            "layers[1].opacity must be a real number, not complex128"),
        "percentage": ([good, tarnwick.Layer.layer_mode(FG, opacity=80)], ValueError,
                       "layers[1].opacity must be from 0 to 1, got 80; for 80 % pass 0.8"),
        "model": ([tarnwick.Layer(FG, model="editor")], ValueError, "layers[0].model must be 'standard' or 'layer'"),
        "not a layer": ([good, FG], TypeError, "layers[1] must be a tarnwick.Layer, not ndarray"),
        "premultiplied": ([good, tarnwick.Layer.layer_mode(FG)], ValueError,
                          "layers[1].model: the layer modes take straight colours, not premultiplied=True"),
        "out": ([tarnwick.Layer(canvas)], ValueError, "out must not overlap the layers[0].image"),
        "canvas": ([good], ValueError, "canvas must have shape (height, width, 3 or 4)"),
    }, canvas


@pytest.mark.parametrize("case", flatten_faults()[0])
def test_flatten_errors_name_the_layer_and_write_nothing(case):
    faults, canvas = flatten_faults()
    layers, error, message = faults[case]
    target = canvas[0] if case == "canvas" else canvas
    out = canvas if case == "out" else np.full_like(canvas, 7)
    before = out.copy()
    with pytest.raises(error) as raised:
        tarnwick.flatten(target, layers, out=out, premultiplied=case == "premultiplied")
    assert message in str(raised.value)
    assert np.array_equal(out, before)


# Operators that leave the backdrop pixel as it is where the source draws nothing.
KEEP_WHERE_EMPTY = ("source_over", "destination_over", "destination_out", "source_atop", "xor", "plus_lighter")


@pytest.mark.parametrize("premultiplied", [False, True])
@pytest.mark.parametrize("opacity", [1.0, 0.6, 0.0])
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.float32])
def test_kept_backdrop_pixels_are_copied_as_stored(dtype, opacity, premultiplied):
    """Where the operator keeps the backdrop, its stored values come back as
    they are (colour under alpha 0, premultiplied colour above alpha);
    everywhere else the backdrop reads as its clean equivalent."""
    unit = 257 if dtype == np.uint16 else 1
    grid = np.array(np.meshgrid([0, 100, 255], [0, 100, 255], [0, 128, 255], indexing="ij")).reshape(3, -1)
    backdrop_alpha, source_alpha, mask = grid
    backdrop = np.stack([np.full_like(backdrop_alpha, 200), np.full_like(backdrop_alpha, 10),
                         np.full_like(backdrop_alpha, 150), backdrop_alpha], -1)[None].astype(dtype) * dtype(unit)
    source = np.stack([np.full_like(source_alpha, 60)] * 3 + [source_alpha], -1)[None].astype(dtype) * dtype(unit)
    mask = mask[None].astype(np.uint8)
    alpha = backdrop[..., 3:]
    clean = np.minimum(backdrop, alpha) if premultiplied else np.where(alpha > 0, backdrop, 0).astype(dtype)
    empty = (source_alpha == 0) | (mask[0] == 0) | (opacity == 0)
    full = (source_alpha == 255) & (mask[0] == 255) & (opacity == 1)
    for operator in tarnwick.OPERATORS:
        kept = np.full_like(empty, operator == "destination")
        kept |= empty if operator in KEEP_WHERE_EMPTY else full if operator == "destination_in" else False
        call = dict(operator=operator, premultiplied=premultiplied, mask=mask)
        got = tarnwick.composite(backdrop, source, "multiply", opacity, **call)
        want = np.where(kept[None, :, None], backdrop, tarnwick.composite(clean, source, "multiply", opacity, **call))
        assert got.tobytes() == want.tobytes(), operator


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("values", ["uint8", "uint16", "float32 whole", "float32"])
def test_a_layer_over_a_transparent_backdrop_is_the_layer(values, kernel):
    """uint8 and uint16 exactly; float32 within one ulp for whole numbers,
    within a relative 2**-21 for any value."""
    rng = np.random.default_rng(21)
    top = 65535 if values == "uint16" else 255
    layer = rng.integers(0, top + 1, (16, 64, 4)).astype(values.split()[0])
    if values == "float32":
        layer = rng.uniform(0, 255, layer.shape).astype(np.float32)
    layer[0, :8, 3] = 0
    want = np.where(layer[..., 3:] > 0, layer, 0)
    for blend in ("normal", "multiply", "hue"):
        got = tarnwick.composite(np.zeros_like(layer), layer, blend, kernel=kernel)
        if values == "float32 whole":
            assert np.abs(got.view(np.int32) - want.view(np.int32)).max() <= 1, blend
        elif values == "float32":
            np.testing.assert_allclose(got, want, rtol=2.0**-21, atol=0, err_msg=blend)
        else:
            assert got.tobytes() == want.tobytes(), blend
