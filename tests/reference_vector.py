"""NumPy model of the four- and eight-lane paths, and how close they must
stay to the scalar rule.

The vector loops read by multiplying with the float nearest 1/255, fuse a
different product into the colour numerator than the scalar rule, and pack
bytes rounding to nearest with ties to even. Two 3-channel byte images take an
integer path with the opacity quantised to a byte.
"""

import numpy as np

from reference import F32, alpha_of, f32, fma32, normal_reference

INV255 = np.array([0x3B808081], np.uint32).view(np.float32)[0]


def vector_read(array):
    """Stored values to unit values as the pointer-based vector loads do."""
    with np.errstate(all="ignore"):
        return np.asarray(array).astype(np.float32) * INV255


def vector_write(values, dtype):
    """Unit values to stored values as the vector stores do: bytes clamp in
    float (NaN gives 0) and round to nearest, ties to even."""
    with np.errstate(all="ignore"):
        scaled = np.asarray(values, np.float32) * F32(255)
    if np.dtype(dtype) == np.float32:
        return scaled
    return np.rint(np.where(np.isnan(scaled), 0, np.clip(scaled, 0, 255))).astype(np.uint8)


def byte_opacity(opacity):
    """The opacity of the byte path: lroundf(opacity * 255), clamped."""
    scaled = float(f32(opacity) * F32(255))
    return int(min(max(np.floor(abs(scaled) + 0.5) * np.sign(scaled), 0), 255))


def normal_byte_path(background, foreground, opacity):
    alpha = byte_opacity(opacity)
    s = background.astype(np.uint32) * (255 - alpha) + foreground.astype(np.uint32) * alpha
    t = s + 128
    return ((t + (t >> 8)) >> 8).astype(np.uint8)


def normal_float_path(background, foreground, opacity):
    bg_channels, fg_channels = background.shape[2], foreground.shape[2]
    bg = vector_read(background)
    fg = vector_read(foreground)
    in_a = alpha_of(bg, bg_channels)
    layer_a = alpha_of(fg, fg_channels)
    with np.errstate(all="ignore"):
        layer_opacity = layer_a * f32(opacity)
        inv_layer_opacity = F32(1) - layer_opacity
        denom = fma32(inv_layer_opacity, in_a, layer_opacity)
        in_a_scaled = inv_layer_opacity * in_a
        colour = [
            np.where(denom > 0, fma32(bg[..., c], in_a_scaled, fg[..., c] * layer_opacity) / denom, F32(0))
            for c in range(3)
        ]
    out = np.empty(background.shape, background.dtype)
    out[..., :3] = vector_write(np.stack(colour, axis=-1), background.dtype)
    if bg_channels == 4:
        out[..., 3] = vector_write(denom, background.dtype)
    return out


def uses_byte_path(background, foreground, opacity):
    return (
        background.dtype == np.uint8
        and foreground.dtype == np.uint8
        and background.shape[2] == 3
        and foreground.shape[2] == 3
        and not np.isnan(opacity)
    )


def normal_vector_reference(background, foreground, opacity, kernel):
    """What "normal" returns under `kernel`: whole groups of four pixels (of
    eight and then four under "avx2", which cover the same pixels) follow the
    vector model, the last 0 to 3 pixels and everything under "scalar" the
    scalar rule. Images are flattened in row-major pixel order."""
    expected = normal_reference(background, foreground, opacity)
    opacity32 = f32(opacity)
    if kernel == "scalar" or opacity32 <= 0 or (opacity32 >= 1 and foreground.shape[2] == 3):
        return expected
    height, width = background.shape[:2]
    pixels = height * width
    grouped = pixels - pixels % 4
    flat = expected.reshape(pixels, -1)
    bg = background.reshape(1, pixels, -1)[:, :grouped]
    fg = foreground.reshape(1, pixels, -1)[:, :grouped]
    if uses_byte_path(background, foreground, opacity):
        flat[:grouped] = normal_byte_path(bg, fg, opacity)[0]
    else:
        flat[:grouped] = normal_float_path(bg, fg, opacity)[0]
    return flat.reshape(background.shape)


def full_scale_ulps(actual, expected, scale=255.0):
    """|actual - expected| in units in the last place of max(scale, |expected|).

    Results built from values on the 0..255 scale carry absolute rounding
    errors of that scale's size; a result near 0 that comes from cancellation
    can be many of its own ulps off while being a fraction of one ulp of 255."""
    actual = np.asarray(actual, np.float32).astype(np.float64)
    expected = np.asarray(expected, np.float32).astype(np.float64)
    magnitude = np.maximum(np.abs(expected), scale).astype(np.float32)
    with np.errstate(invalid="ignore"):
        distance = np.abs(actual - expected) / np.spacing(magnitude)
    same = (actual == expected) | (np.isnan(actual) & np.isnan(expected))
    return np.where(same, 0.0, distance)


def assert_paths_agree(actual, expected, uint8_steps=1, float_ulps=6):
    """Vector against scalar: within `uint8_steps` for bytes, within
    `float_ulps` full-scale ulps for float32 (scale it by the opacity when
    the opacity extrapolates beyond 1)."""
    assert actual.shape == expected.shape and actual.dtype == expected.dtype
    if actual.dtype == np.uint8:
        diff = np.abs(actual.astype(np.int16) - expected.astype(np.int16))
        assert diff.max(initial=0) <= uint8_steps, f"max difference {diff.max()} steps"
    else:
        ulps = full_scale_ulps(actual, expected)
        assert ulps.max(initial=0) <= float_ulps, f"max difference {ulps.max():.2f} full-scale ulps"
