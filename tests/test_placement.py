"""Layers placed at offsets, regions of a larger canvas, and colour layers."""

import numpy as np
import pytest

import tarnwick

RNG = np.random.default_rng(25)
H, W = 23, 37  # odd sizes: rows that are no whole number of vector steps


def _image(height, width, channels=4, dtype=np.uint8):
    if dtype == np.float32:
        return (RNG.random((height, width, channels)) * 255).astype(np.float32)
    top = 65535 if dtype == np.uint16 else 255
    return RNG.integers(0, top + 1, (height, width, channels)).astype(dtype)


def _padded(layer, x, y, height, width):
    """The layer on a transparent canvas of the backdrop's size."""
    rgba = layer if layer.shape[2] == 4 else np.concatenate(
        [layer, np.full(layer.shape[:2] + (1,), 255 if layer.dtype == np.uint8 else 255.0,
                        layer.dtype)], axis=2)
    padded = np.zeros((height, width, 4), layer.dtype)
    top, left = max(y, 0), max(x, 0)
    bottom, right = min(y + layer.shape[0], height), min(x + layer.shape[1], width)
    if bottom > top and right > left:
        padded[top:bottom, left:right] = rgba[top - y:bottom - y, left - x:right - x]
    return padded


# Inside, each edge, each corner, no overlap, and a layer larger than the backdrop.
PLACES = {
    "inside": (5, 4, 9, 11), "left": (-4, 6, 9, 11), "right": (30, 6, 9, 11),
    "top": (12, -5, 9, 11), "bottom": (12, 18, 9, 11), "top left": (-3, -2, 9, 11),
    "top right": (31, -4, 9, 11), "bottom left": (-5, 20, 9, 11),
    "bottom right": (33, 19, 9, 11), "none": (40, -30, 9, 11), "larger": (-6, -3, 31, 45),
}


@pytest.mark.parametrize("place", PLACES.values(), ids=PLACES.keys())
@pytest.mark.parametrize("premultiplied", [False, True])
def test_offset_equals_the_call_on_the_padded_layer(place, premultiplied):
    x, y, height, width = place
    backdrop = _image(H, W)
    layer = _image(height, width)
    mask = RNG.integers(0, 256, (height, width), np.uint8)
    if premultiplied:
        layer[..., :3] = np.minimum(layer[..., :3], layer[..., 3:])
    for operator in tarnwick.OPERATORS:
        for blend in ("normal", "multiply", "hue"):
            got = tarnwick.composite(backdrop, layer, blend, 0.8, operator=operator,
                                     premultiplied=premultiplied, mask=mask, x=x, y=y)
            padded_mask = _padded(np.repeat(mask[..., None], 4, axis=2), x, y, H, W)[..., 0]
            want = tarnwick.composite(backdrop, _padded(layer, x, y, H, W), blend, 0.8,
                                      operator=operator, premultiplied=premultiplied,
                                      mask=padded_mask)
            assert got.tobytes() == want.tobytes(), (operator, blend)


@pytest.mark.parametrize("dtype", [np.uint16, np.float32])
@pytest.mark.parametrize("operator", ["source_over", "source_in", "xor"])
def test_offset_in_other_types(dtype, operator):
    backdrop, layer = _image(H, W, 4, dtype), _image(15, 12, 4, dtype)
    got = tarnwick.composite(backdrop, layer, "screen", operator=operator, x=-3, y=14)
    want = tarnwick.composite(backdrop, _padded(layer, -3, 14, H, W), "screen", operator=operator)
    assert got.tobytes() == want.tobytes()


@pytest.mark.parametrize("place", PLACES.values(), ids=PLACES.keys())
def test_a_placed_layer_mode_changes_only_its_overlap(place):
    x, y, height, width = place
    background, layer = _image(H, W, 3), _image(height, width)
    got = tarnwick.blend(background, layer, "soft_light", 0.7, x=x, y=y)
    want = background.copy()
    padded = _padded(layer, x, y, H, W)
    covered = np.zeros((H, W), bool)
    covered[max(y, 0):y + height, max(x, 0):x + width] = True
    if covered.any():
        rows, cols = np.nonzero(covered)
        box = np.s_[rows.min():rows.max() + 1, cols.min():cols.max() + 1]
        want[box] = tarnwick.blend(background[box], padded[box], "soft_light", 0.7)
    assert got.tobytes() == want.tobytes()


@pytest.mark.parametrize("call", ["blend", "composite"])
@pytest.mark.parametrize("threads", [1, 3])
@pytest.mark.parametrize("masked", [False, True])
@pytest.mark.parametrize("dtype", [np.uint8, np.float32, np.uint16])
def test_a_region_of_a_canvas_as_out_writes_only_its_pixels(call, threads, masked, dtype,
                                                            monkeypatch):
    monkeypatch.setattr(tarnwick._bands, "_MIN_BAND", 64)  # several bands on a small image
    canvas = _image(60, 80, 4, dtype)
    layer = _image(40, 50, 4, dtype)
    mask = RNG.integers(0, 256, (40, 50), np.uint8) if masked else None
    function = getattr(tarnwick, call)
    region = np.s_[7:47, 13:63]
    want = function(np.ascontiguousarray(canvas[region]), layer, "multiply", 0.6, mask=mask)
    for in_place in (True, False):
        target = canvas.copy()
        source = target if in_place else canvas
        function(source[region], layer, "multiply", 0.6, mask=mask, out=target[region],
                 threads=threads)
        assert target[region].tobytes() == want.tobytes()
        outside = target.copy()
        outside[region] = canvas[region]
        assert outside.tobytes() == canvas.tobytes()  # the border is untouched


@pytest.mark.parametrize("colour", [(200, 30, 90, 128), [10, 250, 40], np.array([1, 2, 3, 200]),
                                    np.full((1, 1, 4), 77, np.uint8)])
@pytest.mark.parametrize("call", ["blend", "composite"])
def test_a_colour_layer_equals_a_full_layer_of_it(colour, call):
    backdrop = _image(H, W)
    mask = RNG.integers(0, 256, (H, W), np.uint8)
    full = np.broadcast_to(np.asarray(colour, np.uint8).reshape(-1), (H, W, np.size(colour)))
    function = getattr(tarnwick, call)
    got = function(backdrop, colour, "overlay", 0.9, mask=mask)
    assert got.tobytes() == function(backdrop, full.copy(), "overlay", 0.9, mask=mask).tobytes()


@pytest.mark.parametrize("arguments, error, message", [
    (dict(x=1.5), TypeError, "x must be an integer, not float"),
    (dict(y=True), TypeError, "y must be an integer, not bool"),
    (dict(source=(1, 2)), ValueError, "source as a colour must have 3 or 4 values, got 2"),
    (dict(source=(1, 2, 300)), ValueError, "whole numbers 0..255, got 300"),
    (dict(source=(1, 2, 0.5)), ValueError, "whole numbers 0..255, got 0.5"),
    (dict(out="flipped"), ValueError, "non-contiguous"),
    (dict(mask=np.zeros((H, W), np.uint8), source=np.zeros((5, 6, 4), np.uint8)), ValueError,
     r"mask must have shape \(5, 6\)"),
])
def test_bad_placement_raises_and_writes_nothing(arguments, error, message):
    canvas = _image(H, W)
    before = canvas.tobytes()
    call = dict(source=_image(H, W), out=canvas)
    call.update(arguments)
    if isinstance(call["out"], str):
        call["out"] = canvas[::-1]
    with pytest.raises(error, match=message):
        tarnwick.composite(canvas, **call)
    assert canvas.tobytes() == before


@pytest.mark.parametrize("threads", [1, 3])
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.float32])
def test_flatten_of_placed_and_colour_layers_equals_one_call_each(threads, dtype, monkeypatch):
    monkeypatch.setattr(tarnwick._flatten, "_BAND_BYTES", 2048)  # several bands
    big = _image(50, 70, 4, dtype)
    region = np.s_[4:44, 9:61]
    top = 255 if dtype == np.uint8 else 65535 if dtype == np.uint16 else 255.0
    mask = RNG.integers(0, 256, (40, 52), np.uint8)
    stack = [
        (tarnwick.Layer(_image(13, 21, 4, dtype), "multiply", 0.8, x=-5, y=30), {}),
        (tarnwick.Layer(_image(9, 9, 3, dtype), operator="source_in", x=20, y=3), {}),
        (tarnwick.Layer((top, 0, top, top // 2), "screen", mask=mask), {}),
        (tarnwick.Layer.layer_mode(_image(12, 60, 4, dtype), "overlay", 0.7, x=3, y=-4), {}),
        (tarnwick.Layer.layer_mode(_image(40, 52, 4, dtype), "hsl_color", 0.5), {}),
    ]
    want = np.ascontiguousarray(big[region])
    for layer, _ in stack:
        image = layer.image
        if layer.model == "layer":
            tarnwick.blend(want, image, layer.blend, layer.opacity, mask=layer.mask, out=want,
                           x=layer.x, y=layer.y)
        else:
            tarnwick.composite(want, image, layer.blend, layer.opacity, operator=layer.operator,
                               mask=layer.mask, out=want, x=layer.x, y=layer.y)
    canvas = big.copy()
    view = canvas[region]
    tarnwick.flatten(view, [layer for layer, _ in stack], out=view, threads=threads)
    assert view.tobytes() == want.tobytes()
    canvas[region] = big[region]
    assert canvas.tobytes() == big.tobytes()


@pytest.mark.parametrize("premultiplied", [False, True])
def test_a_stack_of_small_plain_layers_equals_one_call_each(premultiplied):
    canvas = _image(40, 50)
    tiles = [tarnwick.Layer(_image(7, 9, 3 + i % 2), tarnwick.BLENDS[i % 26], 0.3 + 0.1 * (i % 7),
                            operator=("source_over", "xor", "destination_over")[i % 3],
                            x=int(RNG.integers(-8, 52)), y=int(RNG.integers(-8, 42)))
             for i in range(60)]
    want = canvas.copy()
    for tile in tiles:
        tarnwick.composite(want, tile.image, tile.blend, tile.opacity, operator=tile.operator,
                           premultiplied=premultiplied, out=want, x=tile.x, y=tile.y)
    got = canvas.copy()
    tarnwick.flatten(got, tiles, out=got, premultiplied=premultiplied)
    assert got.tobytes() == want.tobytes()
    # A layer the one-call path refuses gets the general path's error, nothing written.
    for bad, message in ((tarnwick.Layer(tiles[0].image, opacity=80), "opacity must be from 0 to 1"),
                         (tarnwick.Layer(got[:5, :5]), "out must not overlap the layers")):
        with pytest.raises(ValueError, match=message):
            tarnwick.flatten(got, [*tiles, bad], out=got)
        assert got.tobytes() == want.tobytes()
