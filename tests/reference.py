"""Independent NumPy model of the blend rules, used as the tests' oracle.

Every step the native code rounds to single precision is a float32 NumPy
operation here (IEEE float32 arithmetic rounds each operation once); every
fused multiply-add is computed in float64 (the product of two float32 values
is exact there) and rounded to float32 once.
"""

import numpy as np

F32 = np.float32
DTYPES = (np.uint8, np.float32)
CHANNELS = (3, 4)
KERNELS = ("scalar", "sse42", "avx2")


def f32(value):
    return np.asarray(value, dtype=np.float64).astype(np.float32)


def fma32(a, b, c):
    """a * b + c with a single rounding to float32."""
    a, b, c = (np.asarray(x, dtype=np.float64) for x in (a, b, c))
    with np.errstate(all="ignore"):
        return (a * b + c).astype(np.float32)


def read_unit(array):
    """Stored 0..255 values to unit values: a float32 division by 255."""
    with np.errstate(all="ignore"):
        return np.asarray(array).astype(np.float32) / F32(255)


def write_unit(values, dtype):
    """Unit values to stored values as the scalar writers do."""
    values = np.asarray(values, dtype=np.float32)
    with np.errstate(all="ignore"):
        scaled = values * F32(255)
    if np.dtype(dtype) == np.float32:
        return scaled
    clamped = np.where(np.isnan(scaled), 0.0, np.clip(scaled.astype(np.float64), 0.0, 255.0))
    return np.floor(clamped + 0.5).astype(np.uint8)  # halves away from zero


def alpha_of(unit, channels):
    return unit[..., 3] if channels == 4 else np.ones(unit.shape[:-1], np.float32)


def random_image(rng, height, width, channels, dtype, low=0.0, high=255.0):
    """A random image; float32 images get non-integral values in [low, high]."""
    if np.dtype(dtype) == np.uint8:
        return rng.integers(0, 256, size=(height, width, channels), dtype=np.uint8)
    if np.dtype(dtype) == np.uint16:
        return rng.integers(0, 65536, size=(height, width, channels)).astype(np.uint16)
    return rng.uniform(low, high, size=(height, width, channels)).astype(np.float32)


def convert_image(image, dtype, channels):
    """What the module returns for an opaque 3-channel layer copied into
    an output of `dtype` and `channels`."""
    height, width = image.shape[:2]
    out = np.empty((height, width, channels), dtype=dtype)
    if image.dtype == np.dtype(dtype):
        out[..., :3] = image[..., :3]
    else:
        out[..., :3] = write_unit(read_unit(image[..., :3]), dtype)
    if channels == 4:
        out[..., 3] = write_unit(np.ones((height, width), np.float32), dtype)
    return out


def normal_reference(background, foreground, opacity=1.0):
    """The "over" rule of "normal", including its two shortcut copies."""
    bg_channels, fg_channels = background.shape[2], foreground.shape[2]
    opacity = f32(opacity)
    if opacity <= 0:
        return background.copy()
    if opacity >= 1 and fg_channels == 3:
        return convert_image(foreground, background.dtype, bg_channels)
    bg = read_unit(background)
    fg = read_unit(foreground)
    in_a = alpha_of(bg, bg_channels)
    layer_a = alpha_of(fg, fg_channels)
    with np.errstate(all="ignore"):
        layer_opacity = layer_a * opacity
        inv_layer_opacity = F32(1) - layer_opacity
        denom = fma32(in_a, inv_layer_opacity, layer_opacity)
        colour = []
        for c in range(3):
            background_term = (bg[..., c] * in_a) * inv_layer_opacity
            numerator = fma32(fg[..., c], layer_opacity, background_term)
            colour.append(np.where(denom > 0, numerator / denom, F32(0)))
    out = np.empty(background.shape, dtype=background.dtype)
    out[..., :3] = write_unit(np.stack(colour, axis=-1), background.dtype)
    if bg_channels == 4:
        out[..., 3] = write_unit(denom, background.dtype)
    return out


def ulp_distance(a, b):
    """Distance in float32 units in the last place (NaN equal to NaN)."""
    a = np.asarray(a, np.float32)
    b = np.asarray(b, np.float32)

    def ordered(x):
        bits = x.view(np.int32).astype(np.int64)
        return np.where(bits < 0, -(bits & 0x7FFFFFFF), bits)

    both_nan = np.isnan(a) & np.isnan(b)
    return np.where(both_nan, 0, np.abs(ordered(a) - ordered(b)))


def assert_close_to(actual, expected, uint8_steps=1, float_ulps=4):
    """Within `uint8_steps` for byte images, `float_ulps` for float32 ones."""
    assert actual.shape == expected.shape and actual.dtype == expected.dtype
    if actual.dtype == np.uint8:
        diff = np.abs(actual.astype(np.int16) - expected.astype(np.int16))
        assert diff.max(initial=0) <= uint8_steps, f"max difference {diff.max()} steps"
    else:
        dist = ulp_distance(actual, expected)
        assert dist.max(initial=0) <= float_ulps, f"max difference {dist.max()} ulp"
