"""float64 images, as NumPy and scikit-image make them, and the warning for
0..1 floats given without float_scale."""

import tracemalloc
import warnings

import numpy as np
import pytest

import tarnwick

RNG = np.random.default_rng(64)
UNIT = RNG.random((24, 40, 4))                      # float64 on 0..1
LAYER = RNG.integers(0, 256, (24, 40, 4), dtype=np.uint8)
MASK = RNG.random((24, 40)) * 255                   # a float64 mask


CALLS = {
    "blend": lambda bg, fg, **kw: tarnwick.blend(bg, fg, "soft_light", 0.7, **kw),
    "composite": lambda bg, fg, **kw: tarnwick.composite(bg, fg, "multiply", 0.7, **kw),
    "flatten": lambda bg, fg, mask=None, **kw: tarnwick.flatten(
        bg, [tarnwick.Layer(fg, "screen", 0.7, mask=mask)], **kw),
}


@pytest.mark.parametrize("float_scale", [255.0, 1.0])
@pytest.mark.parametrize("masked", [False, True])
@pytest.mark.parametrize("call", CALLS)
def test_float64_gives_the_float32_result_in_float64(call, masked, float_scale):
    bg64 = UNIT * float_scale
    fg64 = LAYER / 255 * float_scale
    kw = dict(float_scale=float_scale, mask=MASK if masked else None)
    got = CALLS[call](bg64, fg64, **kw)
    assert got.dtype == np.float64 and got.shape == bg64.shape
    kw["mask"] = None if kw["mask"] is None else kw["mask"].astype(np.float32)
    expected = CALLS[call](bg64.astype(np.float32), fg64.astype(np.float32), **kw)
    np.testing.assert_allclose(got, expected, rtol=2e-6, atol=2e-6 * float_scale)


@pytest.mark.parametrize("call", CALLS)
def test_float64_is_converted_without_a_whole_float32_copy(call):
    big = np.zeros((512, 1024, 4))  # 16 MiB; a float32 copy would be 8 MiB more
    layer = np.zeros((512, 1024, 4), np.uint8)
    tracemalloc.start()
    try:
        result = CALLS[call](big, layer)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak - result.nbytes < big.nbytes // 4


@pytest.mark.parametrize("image, float_scale, warns", [
    (UNIT, None, True),                               # 0..1 left at the default scale
    (UNIT.astype(np.float32), None, True),
    (UNIT, 1.0, False),                               # the caller said so
    (UNIT, 255.0, False),                             # ... even when it is the default value
    (np.round(UNIT), None, False),                    # whole numbers: integer data
    (UNIT * 255, None, False),                        # on 0..255
    (np.asfortranarray(UNIT), None, True),            # strided: sampled, not copied
    (np.stack([UNIT] * 3), None, True),               # a batch warns once
])
@pytest.mark.parametrize("call", CALLS)
def test_unit_floats_without_float_scale_warn_once(call, image, float_scale, warns):
    if call == "flatten" and image.ndim == 4:
        image = image[0]
    kw = {} if float_scale is None else {"float_scale": float_scale}
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        CALLS[call](image, LAYER, **kw)
    messages = [str(w.message) for w in caught]
    assert len(messages) == warns
    if warns:
        assert "float_scale=1.0" in messages[0] and "\n" not in messages[0]
        assert caught[0].filename == __file__
