"""NumPy model of the separable modes and of the ratio compositor.

Each formula is written in float32 NumPy arithmetic (one rounding per
operation) with fused steps through `fma32`. Besides the scalar rule, the
model knows which loop handles which pixel or channel value for a given
kernel, image shapes and buffer alignment, and how each of those loops reads,
computes and stores, so the vector paths can be checked exactly.
"""

import numpy as np

from reference import F32, fma32, read_unit, write_unit
from reference_vector import INV255, vector_read, vector_write

K256 = np.array(0x3F808081, np.uint32).view(np.float32)[()]  # nearest to 256/255

ZERO, HALF, ONE, TWO = F32(0), F32(0.5), F32(1), F32(2)

# Modes whose compositor clamps the mixed value into [0, 1].
CLIPPED = frozenset({"addition", "subtract"})


def min_one(x):
    return np.where(x > ONE, ONE, x)


def clamp01(x):
    """The scalar clamp: NaN passes through."""
    return np.where(x < ZERO, ZERO, np.where(x > ONE, ONE, x))


def clamp01_vector(x):
    """The vector clamp, maximum first: NaN becomes 0."""
    return np.where(np.isnan(x), ZERO, np.clip(x, ZERO, ONE))


def _burn(a, b):
    value = ONE - np.fmin((ONE - a) / b, ONE)
    return np.where(b == ZERO, np.where(a == ONE, ONE, ZERO), value)


def _dodge(a, b):
    d = ONE - b
    return np.where(d <= ZERO, np.where(a <= ZERO, ZERO, ONE), min_one(a / d))


def _hard_light(a, b):
    t = fma32(-(b - HALF), TWO, ONE)
    high = min_one(fma32(-(ONE - a), t, ONE))
    low = min_one((b + b) * a)
    return np.where(b > HALF, high, low)


def _soft_light(a, b):
    s = fma32(-(ONE - a), ONE - b, ONE)
    return fma32((ONE - a) * a, b, s * a)


def _vivid_light(a, b):
    d = b + b
    burned = np.where(d == ZERO, np.where(a == ONE, ONE, ZERO), ONE - np.fmin((ONE - a) / d, ONE))
    e = (b - HALF) + (b - HALF)
    dodged = np.where(e == ONE, ONE, np.fmin(a / (ONE - e), ONE))
    return np.where(b < HALF, burned, dodged)


# The scalar kernels: the reference formulas (a background, b foreground).
SCALAR = {
    "addition": lambda a, b: a + b,
    "burn": _burn,
    "darken_only": np.fmin,
    "difference": lambda a, b: np.abs(a - b),
    "divide": lambda a, b: min_one((a * K256) / (b + INV255)),
    "dodge": _dodge,
    "exclusion": lambda a, b: fma32(-(a + a), b, a + b),
    "grain_extract": lambda a, b: clamp01((a - b) + HALF),
    "grain_merge": lambda a, b: clamp01((a + b) - HALF),
    "hard_light": _hard_light,
    "lighten_only": np.fmax,
    "linear_burn": lambda a, b: np.fmax((a + b) - ONE, ZERO),
    "multiply": lambda a, b: a * b,
    "overlay": lambda a, b: np.where(
        a < HALF, (a + a) * b, fma32(-((ONE - a) + (ONE - a)), ONE - b, ONE)
    ),
    "pin_light": lambda a, b: np.where(b < HALF, np.fmin(a, b + b), np.fmax((b + b) - ONE, a)),
    "screen": lambda a, b: fma32(-(ONE - a), ONE - b, ONE),
    "soft_light": _soft_light,
    "subtract": lambda a, b: a - b,
    "vivid_light": _vivid_light,
}

# The four-lane and eight-lane kernels where they round differently.
VECTOR = dict(SCALAR)
VECTOR.update(
    {
        "exclusion": lambda a, b: fma32(-(a * b), TWO, a + b),
        "linear_burn": lambda a, b: np.maximum((a + F32(-1)) + b, ZERO),
        "overlay": lambda a, b: np.where(
            a < HALF, (a + a) * b, fma32(-((ONE - b) * (ONE - a)), TWO, ONE)
        ),
        "soft_light": lambda a, b: fma32(a, fma32(-(ONE - a), ONE - b, ONE), (a * (ONE - a)) * b),
        "grain_extract": lambda a, b: clamp01_vector((a - b) + HALF),
        "grain_merge": lambda a, b: clamp01_vector((a + b) - HALF),
    }
)

# The byte-input kernels, on the raw byte values (as int64) and 1/255.
BYTE = {
    "addition": lambda A, B: (A + B).astype(np.float32) * INV255,
    "darken_only": lambda A, B: np.minimum(A, B).astype(np.float32) * INV255,
    "difference": lambda A, B: np.abs(A - B).astype(np.float32) * INV255,
    "lighten_only": lambda A, B: np.maximum(A, B).astype(np.float32) * INV255,
    "linear_burn": lambda A, B: np.maximum((A + B - 255).astype(np.float32) * INV255, ZERO),
    "multiply": lambda A, B: (INV255 * INV255) * (A * B).astype(np.float32),
    "screen": lambda A, B: fma32(-(INV255 * INV255), ((255 - B) * (255 - A)).astype(np.float32), ONE),
}


def ratio_of(in_a, layer_a, opacity):
    with np.errstate(all="ignore"):
        comp_alpha = np.fmin(in_a, layer_a) * opacity
        new_alpha = fma32(comp_alpha, ONE - in_a, in_a)
        return np.where(new_alpha > ZERO, comp_alpha / new_alpha, ZERO)


def mix(comp, ratio, in_c, clip, vector):
    out = fma32(comp, ratio, (ONE - ratio) * in_c)
    if clip:
        out = clamp01_vector(out) if vector else clamp01(out)
    return out


def _alpha(unit, channels):
    return unit[..., 3] if channels == 4 else np.ones(unit.shape[:-1], np.float32)


def _per_pixel(background, foreground, opacity, mode, vector):
    """Every pixel through the scalar loop, or every pixel through the
    per-pixel vector loops."""
    read = vector_read if vector else read_unit
    bg, fg = read(background), read(foreground)
    bg_channels = background.shape[2]
    in_a = _alpha(bg, bg_channels)
    ratio = ratio_of(in_a, _alpha(fg, foreground.shape[2]), opacity)[..., None]
    with np.errstate(all="ignore"):
        if vector and mode in BYTE and background.dtype == foreground.dtype == np.uint8:
            comp = BYTE[mode](background[..., :3].astype(np.int64), foreground[..., :3].astype(np.int64))
        else:
            comp = (VECTOR if vector else SCALAR)[mode](bg[..., :3], fg[..., :3])
        colour = mix(comp, ratio, bg[..., :3], mode in CLIPPED, vector)
    write = vector_write if vector else write_unit
    out = np.empty_like(background)
    out[..., :3] = write(colour, background.dtype)
    if bg_channels == 4:
        out[..., 3] = write(in_a, background.dtype)
    return out


def _flat(background, foreground, opacity, mode, byte_loop):
    """Every channel value through a flat vector loop."""
    in_c, layer_c = vector_read(background), vector_read(foreground)
    with np.errstate(all="ignore"):
        if byte_loop and mode in BYTE:
            comp = BYTE[mode](background.astype(np.int64), foreground.astype(np.int64))
        else:
            comp = VECTOR[mode](in_c, layer_c)
        out = mix(comp, ratio_of(ONE, ONE, opacity), in_c, mode in CLIPPED, True)
    return vector_write(out, background.dtype)


def flat_values(background, foreground, kernel, aligned):
    """How many channel values the flat vector loops take, and whether it is
    the byte loop; 0 when the image goes to the per-pixel loops."""
    if background.shape[2] != 3 or foreground.shape[2] != 3 or kernel == "scalar":
        return 0, False
    elements = background.size
    u8 = (background.dtype == np.uint8, foreground.dtype == np.uint8)
    if u8 == (True, True):
        return (elements // 16 * 16 if aligned else 0), True
    if u8 == (False, False):
        step = 8 if kernel == "avx2" and elements >= 8 else 4
        return elements // step * step, False
    return (elements // 16 * 16 if kernel == "avx2" else 0), False


def ratio_reference(background, foreground, opacity, mode, kernel="scalar", aligned=True):
    """The output of `mode` under `kernel`; `aligned` says whether both
    input data pointers are 16-byte aligned (the byte flat loops need that)."""
    opacity = F32(opacity)
    if opacity <= 0:
        return background.copy()
    scalar = _per_pixel(background, foreground, opacity, mode, vector=False)
    flat, byte_loop = flat_values(background, foreground, kernel, aligned)
    if flat:
        out = scalar.reshape(-1).copy()
        out[:flat] = _flat(background, foreground, opacity, mode, byte_loop).reshape(-1)[:flat]
        return out.reshape(background.shape)
    if kernel == "scalar":
        return scalar
    # Eight-lane and four-lane steps give identical values; together they
    # take every whole group of four pixels, the scalar loop the rest.
    vector = _per_pixel(background, foreground, opacity, mode, vector=True)
    pixels = background.shape[0] * background.shape[1]
    out = scalar.reshape(pixels, -1).copy()
    grouped = pixels // 4 * 4
    out[:grouped] = vector.reshape(pixels, -1)[:grouped]
    return out.reshape(background.shape)
