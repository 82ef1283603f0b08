"""A per-pixel NumPy stand-in for the native _composite_into, used only while
the module lacks it: a few blend functions, every operator. Being per pixel,
its results do not depend on how the image is cut into runs."""

import numpy as np

BLEND = {
    "normal": lambda b, s: s,
    "multiply": lambda b, s: b * s,
    "screen": lambda b, s: b + s - b * s,
    "darken": np.minimum,
    "lighten": np.maximum,
    "difference": lambda b, s: np.abs(b - s),
}
FACTORS = {
    "clear": lambda ab, as_: (0 * ab, 0 * ab), "copy": lambda ab, as_: (1 + 0 * ab, 0 * ab),
    "destination": lambda ab, as_: (0 * ab, 1 + 0 * ab),
    "source_over": lambda ab, as_: (1 + 0 * ab, 1 - as_),
    "destination_over": lambda ab, as_: (1 - ab, 1 + 0 * ab),
    "source_in": lambda ab, as_: (ab, 0 * ab), "destination_in": lambda ab, as_: (0 * ab, as_),
    "source_out": lambda ab, as_: (1 - ab, 0 * ab), "destination_out": lambda ab, as_: (0 * ab, 1 - as_),
    "source_atop": lambda ab, as_: (ab, 1 - as_), "destination_atop": lambda ab, as_: (1 - ab, as_),
    "xor": lambda ab, as_: (1 - ab, 1 - as_), "plus_lighter": lambda ab, as_: (1 + 0 * ab, 1 + 0 * ab),
}


def _unit(image):
    values = image.astype(np.float64) / 255
    alpha = values[..., 3:4] if image.shape[-1] == 4 else np.ones(values.shape[:-1] + (1,))
    return values[..., :3], np.clip(alpha, 0, 1)


def composite_into(blend, operator, premultiplied, backdrop, source, opacity, kernel, out, mask):
    cb, ab = _unit(backdrop)
    cs, as_ = _unit(source)
    if premultiplied:
        cb = np.where(ab > 0, np.minimum(cb, ab) / np.where(ab > 0, ab, 1), 0)
        cs = np.where(as_ > 0, np.minimum(cs, as_) / np.where(as_ > 0, as_, 1), 0)
    weight = np.float64(max(opacity, 0.0))
    if mask is not None:
        m = np.nan_to_num(mask.astype(np.float64).reshape(as_.shape), nan=0.0)
        weight = weight * np.clip(m / 255, 0, 1)
    as_ = np.clip(as_ * weight, 0, 1)
    mixed = np.clip((1 - ab) * cs + ab * BLEND[blend](cb, cs), 0, 1)
    fa, fb = FACTORS[operator](ab, as_)
    co = as_ * fa * mixed + ab * fb * cb
    ao = as_ * fa + ab * fb
    if operator == "plus_lighter":
        co, ao = np.minimum(co, 1), np.minimum(ao, 1)
    colour = co if premultiplied else np.where(ao > 0, co / np.where(ao > 0, ao, 1), 0)
    result = np.concatenate([colour, ao], axis=-1)[..., : out.shape[-1]] * 255
    if out.dtype == np.uint8:
        result = np.clip(np.rint(result), 0, 255)
    out[...] = result
    return out


def install():
    """Puts the stand-in in place when the module lacks the native entry;
    returns whether the native one is there."""
    import _tarnwick

    if hasattr(_tarnwick, "_composite_into"):
        return True
    _tarnwick._composite_into = composite_into
    return False
