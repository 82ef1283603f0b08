"""Layer trees in tarnwick.flatten: groups, clipping and hidden layers."""

import re
import weakref

import numpy as np
import pytest

import tarnwick
from reference_tree import on_255, tree_model

Layer, Group = tarnwick.Layer, tarnwick.Group
RNG = np.random.default_rng(26)
H, W = 29, 41


def image(height, width, dtype=np.uint8, channels=4, premultiplied=False):
    top = 65535 if dtype == np.uint16 else 255
    values = RNG.integers(0, top + 1, (height, width, channels)).astype(dtype)
    if channels == 4:
        values[..., 3][RNG.random((height, width)) < 0.15] = 0
        values[..., 3][RNG.random((height, width)) < 0.15] = top
        if premultiplied:
            values[..., :3] = np.minimum(values[..., :3], values[..., 3:])
    return values


def mask(height, width):
    return RNG.integers(0, 256, (height, width), np.uint8)


def trees(dtype, premultiplied):
    def im(height, width, channels=4):
        return image(height, width, dtype, channels, premultiplied)

    return {
        "isolated": [Layer(im(H, W)), Group([Layer(im(12, 20), x=3, y=2),
                                             Layer(im(15, 15), "multiply", 0.8, x=15, y=9)],
                                            "screen", 0.7)],
        "pass-through": [Group([Layer(im(12, 20), "overlay", x=-4, y=3),
                                Layer(im(15, 15), "difference", 0.6, mask(15, 15), x=30, y=20)],
                               opacity=0.5, isolated=False, x=2, y=-1)],
        "nested": [Layer(im(H, W)), Group([
            Layer(im(10, 10), x=1, y=1),
            Group([Layer(im(9, 30), "soft_light", x=-6), Layer(im(9, 9), "hue", x=20, y=4)],
                  opacity=0.6, isolated=False, x=5, y=6),
            Group([Layer(im(8, 8), "screen", 0.9)], "multiply", mask=mask(20, 20), x=10, y=10),
        ], "overlay", 0.8, x=-3, y=4)],
        "clipping run": [Layer(im(H, W)), Layer(im(20, 25), "multiply", 0.9, mask(20, 25), x=8, y=5),
                         Layer(im(30, 12), "screen", 0.7, x=-2, clip=True),
                         Layer(im(10, 40), "normal", 0.5, mask(10, 40), y=12, clip=True),
                         Layer(im(9, 9), "difference", x=30, y=15)],
        "clip onto a group": [Group([Layer(im(10, 10)), Layer(im(10, 10), x=12, y=12)], "lighten"),
                              Layer(im(H, W), "color", clip=True),
                              Layer(im(H, W), visible=False, clip=True)],
        "operators": [Layer(im(H, W)), Group([Layer(im(20, 20), x=4, y=4)],
                                             operator="destination_in", x=2),
                      Layer(im(10, 10), operator="xor", x=20, y=3)],
        "hidden": [Layer(im(H, W)), Layer(im(H, W), "screen", visible=False),
                   Group([Layer(im(5, 5))], visible=False), Layer(im(7, 7), x=3, clip=True),
                   Group([Layer(im(5, 5), visible=False), Layer(im(6, 6), "multiply")], x=9)],
        "isolated normal layers": [Group([Layer(im(12, 20), opacity=0.6, x=3, y=2),
                                          Layer(im(15, 15), mask=mask(15, 15), x=15, y=9)])],
        "3-channel canvas": [Group([Layer(im(12, 12, 3), "screen"), Layer(im(8, 8), x=6, y=6)],
                                   "multiply", 0.75, x=20, y=10)],
    }


CASES = list(trees(np.uint8, False))


def largest_error(got, want, premultiplied):
    """Differences on 0..255; a straight colour counts by the alpha that shows
    it (a colour under alpha 1/255 is all but invisible, and rounding at each
    level of the tree moves it most)."""
    got = on_255(got)
    error = np.abs(got - want)
    if got.shape[2] == 4 and not premultiplied:
        error[..., :3] *= np.maximum(got[..., 3:], want[..., 3:]) / 255.0
    return error.max()


@pytest.mark.parametrize("premultiplied", [False, True])
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
@pytest.mark.parametrize("case", CASES)
def test_trees_follow_the_float64_model(case, dtype, premultiplied):
    layers = trees(dtype, premultiplied)[case]
    channels = 3 if case == "3-channel canvas" else 4
    canvas = image(H, W, dtype, channels, premultiplied)
    got = tarnwick.flatten(canvas, layers, premultiplied=premultiplied)
    want = tree_model(canvas, layers, premultiplied)
    assert largest_error(got, want, premultiplied) <= 1.0


@pytest.mark.parametrize("isolated, group_opacity", [(False, 1.0), (False, 0.4), (True, 1.0)])
def test_one_group_is_the_flat_list_where_the_rules_make_them_equal(isolated, group_opacity):
    canvas = image(H, W, channels=3)  # opaque
    modes = ["normal"] * 3 if isolated else ["multiply", "screen", "hue"]
    parts = [(image(12, 20), modes[0], 0.8, None, -4, 3), (image(30, 9), modes[1], 1.0, mask(30, 9), 10, -2),
             (image(9, 9), modes[2], 0.5, None, 35, 25)]
    group = Group([Layer(im, m, o, k, x=x, y=y) for im, m, o, k, x, y in parts],
                  opacity=group_opacity, isolated=isolated)
    flat = [Layer(im, m, o * group_opacity, k, x=x, y=y) for im, m, o, k, x, y in parts]
    assert tarnwick.flatten(canvas, [group]).tobytes() == tarnwick.flatten(canvas, flat).tobytes()


@pytest.mark.parametrize("dtype", [np.uint8, np.float32])
def test_a_tree_is_bit_identical_on_any_thread_count(dtype, monkeypatch):
    monkeypatch.setattr(tarnwick._flatten, "_BAND_BYTES", 2048)  # several bands
    monkeypatch.setattr(tarnwick._bands, "_MIN_BAND", 64)
    canvas = image(90, 70, dtype)
    layers = [Layer(image(60, 50, dtype), "multiply", x=5, y=8),
              Layer(image(70, 70, dtype), "screen", 0.7, clip=True),
              Group([Layer(image(80, 40, dtype), "overlay"), Layer.layer_mode(image(30, 30, dtype), "hsl_color")],
                    "soft_light", 0.9, x=20, y=5),
              Group([Layer(image(90, 70, dtype), "difference", 0.5)], isolated=False)]
    results = {tarnwick.flatten(canvas, layers, threads=n).tobytes() for n in (1, 2, 3)}
    assert len(results) == 1


def test_scratch_images_cover_a_groups_extent_and_one_lives_per_level(monkeypatch):
    from tarnwick import _tree

    alive, sizes, most = [], [], []
    real = _tree._scratch

    def spy(shape, dtype):
        picture = real(shape, dtype)
        alive.append(weakref.ref(picture))
        sizes.append(shape[:2])
        most.append(sum(ref() is not None for ref in alive))
        return picture

    monkeypatch.setattr(_tree, "_scratch", spy)
    deep = Group([Layer(image(10, 12), "multiply", x=3, y=2)], "screen")
    tree = [Group([Layer(image(20, 30), "multiply", x=100, y=50), deep], "overlay", x=7, y=9),
            Group([Layer(image(15, 15), "screen", x=-5, y=-5)], "multiply")]
    tarnwick.flatten(image(400, 300), tree)
    assert sizes == [(68, 127), (10, 12), (10, 10)]  # bounding boxes, cut to the canvas
    assert most == [1, 2, 1]


BAD = {
    "no base": ([Layer(image(4, 4), clip=True)], ValueError,
                "layers[0] clips to the layer below it, but it has none"),
    "no base in its group": ([Layer(image(4, 4)), Group([Layer(image(4, 4), clip=True)])], ValueError,
                             "layers[1].layers[0] clips to the layer below it, but it has none"),
    "pass-through blend": ([Group([], "multiply", isolated=False)], ValueError,
                           "layers[0].blend of a pass-through group (isolated=False) is not used"),
    "pass-through mask": ([Group([], isolated=False, mask=mask(4, 4))], ValueError,
                          "layers[0].mask of a pass-through group"),
    "clipped operator": ([Layer(image(4, 4)), Layer(image(4, 4), operator="xor", clip=True)], ValueError,
                         "layers[1].operator: a clipped layer is composited onto its base with source_atop"),
    "clip to pass-through": ([Group([Layer(image(4, 4))], isolated=False), Layer(image(4, 4), clip=True)],
                             ValueError, "layers[1] clips to layers[0], a pass-through group"),
    "deep mask": ([Group([Layer(image(4, 4)), Group([Layer(image(4, 4), mask=mask(3, 3))])])], ValueError,
                  "layers[0].layers[1].layers[0].mask must have shape (4, 4)"),
    "not a layer": ([Group([Layer(image(4, 4)), image(4, 4)])], TypeError,
                    "layers[0].layers[1] must be a tarnwick.Layer or tarnwick.Group, not ndarray"),
    "layers not a list": ([Group(image(4, 4))], TypeError,
                          "layers[0].layers must be a sequence of tarnwick.Layer and tarnwick.Group"),
    "group opacity": ([Group([], opacity=2)], ValueError, "layers[0].opacity must be from 0 to 1"),
    "group blend": ([Group([], "soft-lite")], ValueError, "layers[0].blend must be one of tarnwick.BLENDS"),
    "group flag": ([Group([], isolated="yes")], TypeError, "layers[0].isolated must be True or False"),
    "layer flag": ([Layer(image(4, 4), visible=1)], TypeError, "layers[0].visible must be True or False"),
    "group mask": ([Group([], mask=np.zeros((4, 4, 2), np.uint8))], ValueError, "layers[0].mask must have shape"),
    "too deep": (None, ValueError, "is nested more than 64 groups deep"),
    "3-channel canvas": ([Group([Layer(image(4, 4))], operator="source_in")], ValueError,
                         "layers[0].operator 'source_in' can leave pixels transparent"),
}


@pytest.mark.parametrize("case", BAD)
def test_bad_trees_raise_one_line_errors_and_write_nothing(case):
    layers, error, message = BAD[case]
    if layers is None:
        layers = [Layer(image(4, 4))]
        for _ in range(70):
            layers = [Group(layers)]
    canvas = image(6, 6, channels=3 if case == "3-channel canvas" else 4)
    out = canvas.copy()
    with pytest.raises(error) as raised:
        tarnwick.flatten(canvas, [*layers, Layer(image(6, 6), "multiply")], out=out)
    assert message in str(raised.value) and "\n" not in str(raised.value)
    assert out.tobytes() == canvas.tobytes()


@pytest.mark.parametrize("extra, message", [
    (Layer(image(6, 6), visible=False), None),
    (Group([Layer(image(6, 6))]), "layers[1] is a group: tarnwick.dask.flatten takes a flat list"),
    (Layer(image(6, 6), clip=True), "layers[1] is a clipped layer"),
])
def test_dask_flatten_skips_hidden_layers_and_refuses_trees(extra, message):
    dask_flatten = pytest.importorskip("tarnwick.dask").flatten
    canvas, first = image(6, 6), Layer(image(6, 6), "multiply")
    if message is None:
        got = np.asarray(dask_flatten(canvas, [first, extra]))
        assert got.tobytes() == tarnwick.flatten(canvas, [first]).tobytes()
    else:
        with pytest.raises(TypeError, match=re.escape(message)):
            dask_flatten(canvas, [first, extra])
