"""A float64 model of the compositing model, written from its formulas.

Colours and alphas are unit values; a 3-channel image has alpha 1. The
source's alpha is multiplied by the opacity (clamped into 0..1) and the mask
weight (mask / 255, clamped). Then, per pixel,

    Cs' = clamp((1 - ab) * Cs + ab * B(Cb, Cs), 0, 1)
    co  = as * Fa * Cs' + ab * Fb * Cb,    ao = as * Fa + ab * Fb

stored as co / ao (0 where ao = 0), or co when premultiplied. Where nothing
of the source is drawn (as * Fa = 0) and Fb = 1, the backdrop's stored values
are the result as they are.
"""

import numpy as np

BLENDS = (
    "normal", "multiply", "screen", "overlay", "darken", "lighten", "color_dodge", "color_burn",
    "hard_light", "soft_light", "difference", "exclusion", "hue", "saturation", "color",
    "luminosity", "linear_dodge", "linear_burn", "subtract", "divide", "vivid_light",
    "linear_light", "pin_light", "hard_mix", "darker_color", "lighter_color",
)

# (Fa, Fb) as functions of (ab, as).
OPERATORS = {
    "clear": (lambda ab, as_: 0.0, lambda ab, as_: 0.0),
    "copy": (lambda ab, as_: 1.0, lambda ab, as_: 0.0),
    "destination": (lambda ab, as_: 0.0, lambda ab, as_: 1.0),
    "source_over": (lambda ab, as_: 1.0, lambda ab, as_: 1 - as_),
    "destination_over": (lambda ab, as_: 1 - ab, lambda ab, as_: 1.0),
    "source_in": (lambda ab, as_: ab, lambda ab, as_: 0.0),
    "destination_in": (lambda ab, as_: 0.0, lambda ab, as_: as_),
    "source_out": (lambda ab, as_: 1 - ab, lambda ab, as_: 0.0),
    "destination_out": (lambda ab, as_: 0.0, lambda ab, as_: 1 - as_),
    "source_atop": (lambda ab, as_: ab, lambda ab, as_: 1 - as_),
    "destination_atop": (lambda ab, as_: 1 - ab, lambda ab, as_: as_),
    "xor": (lambda ab, as_: 1 - ab, lambda ab, as_: 1 - as_),
    "plus_lighter": (lambda ab, as_: 1.0, lambda ab, as_: 1.0),
}
# Their result can be transparent over an opaque backdrop.
NEED_ALPHA = frozenset({"clear", "copy", "source_in", "source_out", "destination_in",
                        "destination_out", "destination_atop", "xor"})


def _lum(c):
    return 0.3 * c[..., 0] + 0.59 * c[..., 1] + 0.11 * c[..., 2]


def _clip_color(c):
    c = c.copy()
    lum = _lum(c)[..., None]
    low = c.min(axis=-1, keepdims=True)
    high = c.max(axis=-1, keepdims=True)
    with np.errstate(divide="ignore", invalid="ignore"):
        below = np.where(low < 0, lum + (c - lum) * lum / (lum - low), c)
        c = np.where(low < 0, below, c)
        above = lum + (c - lum) * (1 - lum) / (high - lum)
    return np.where(high > 1, above, c)


def _set_lum(c, lum):
    return _clip_color(c + (lum - _lum(c))[..., None])


def _sat(c):
    return c.max(axis=-1) - c.min(axis=-1)


def _set_sat(c, s):
    low = c.min(axis=-1, keepdims=True)
    spread = c.max(axis=-1, keepdims=True) - low
    with np.errstate(divide="ignore", invalid="ignore"):
        stretched = (c - low) * s[..., None] / spread
    return np.where(spread > 0, stretched, 0.0)


def _dodge(cb, cs):
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = np.minimum(1.0, cb / (1 - cs))
    return np.where(cb == 0, 0.0, np.where(cs == 1, 1.0, ratio))


def _burn(cb, cs):
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = 1 - np.minimum(1.0, (1 - cb) / cs)
    return np.where(cb == 1, 1.0, np.where(cs == 0, 0.0, ratio))


def _hard_light(cb, cs):
    return np.where(cs <= 0.5, cb * 2 * cs, _screen(cb, 2 * cs - 1))


def _screen(cb, cs):
    return cb + cs - cb * cs


def _soft_light(cb, cs):
    d = np.where(cb <= 0.25, ((16 * cb - 12) * cb + 4) * cb, np.sqrt(cb))
    return np.where(cs <= 0.5, cb - (1 - 2 * cs) * cb * (1 - cb), cb + (2 * cs - 1) * (d - cb))


def _divide(cb, cs):
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = np.minimum(1.0, cb / cs)
    return np.where(cs == 0, np.where(cb == 0, 0.0, 1.0), ratio)


def _pick(condition, cs, cb):
    return np.where(condition[..., None], cs, cb)


BLEND_FUNCTIONS = {
    "normal": lambda cb, cs: cs,
    "multiply": lambda cb, cs: cb * cs,
    "screen": _screen,
    "overlay": lambda cb, cs: _hard_light(cs, cb),
    "darken": np.minimum,
    "lighten": np.maximum,
    "color_dodge": _dodge,
    "color_burn": _burn,
    "hard_light": _hard_light,
    "soft_light": _soft_light,
    "difference": lambda cb, cs: np.abs(cb - cs),
    "exclusion": lambda cb, cs: cb + cs - 2 * cb * cs,
    "hue": lambda cb, cs: _set_lum(_set_sat(cs, _sat(cb)), _lum(cb)),
    "saturation": lambda cb, cs: _set_lum(_set_sat(cb, _sat(cs)), _lum(cb)),
    "color": lambda cb, cs: _set_lum(cs, _lum(cb)),
    "luminosity": lambda cb, cs: _set_lum(cb, _lum(cs)),
    "linear_dodge": lambda cb, cs: np.minimum(1.0, cb + cs),
    "linear_burn": lambda cb, cs: np.maximum(0.0, cb + cs - 1),
    "subtract": lambda cb, cs: np.maximum(0.0, cb - cs),
    "divide": _divide,
    "vivid_light": lambda cb, cs: np.where(cs <= 0.5, _burn(cb, 2 * cs), _dodge(cb, 2 * cs - 1)),
    "linear_light": lambda cb, cs: np.clip(cb + 2 * cs - 1, 0.0, 1.0),
    "pin_light": lambda cb, cs: np.where(cs <= 0.5, np.minimum(cb, 2 * cs), np.maximum(cb, 2 * cs - 1)),
    "hard_mix": lambda cb, cs: np.where(cb + cs >= 1, 1.0, 0.0),
    "darker_color": lambda cb, cs: _pick(_lum(cs) < _lum(cb), cs, cb),
    "lighter_color": lambda cb, cs: _pick(_lum(cs) > _lum(cb), cs, cb),
}

# Where a blend function jumps: the quantity that is 0 there, of straight
# unit colours. Pixels within THRESHOLD_BAND of a jump may land on either
# side in float32 and are left out of comparisons with this model.
THRESHOLD_BAND = 1e-5
JUMPS = {
    "hard_mix": lambda cb, cs: cb + cs - 1,
    "darker_color": lambda cb, cs: np.repeat((_lum(cs) - _lum(cb))[..., None], 3, axis=-1),
    "lighter_color": lambda cb, cs: np.repeat((_lum(cs) - _lum(cb))[..., None], 3, axis=-1),
}


def _units(image):
    unit = np.asarray(image, np.float64) / 255.0
    if image.dtype != np.uint8:
        unit = np.clip(np.nan_to_num(unit, nan=0.0), 0.0, 1.0)
    colour = unit[..., :3]
    alpha = unit[..., 3] if image.shape[-1] == 4 else np.ones(image.shape[:-1])
    return colour, alpha


def _straight(colour, alpha):
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(alpha[..., None] > 0, colour / alpha[..., None], 0.0)


def composite_model(blend, operator, premultiplied, backdrop, source, opacity=1.0, mask=None):
    """Returns (expected, near_jump): the stored result on the 0..255 scale as
    float64 (the backdrop's channel count), and a per-pixel bool array of the
    pixels whose colour sits within THRESHOLD_BAND of a jump of `blend`."""
    cb, ab = _units(backdrop)
    cs, as_own = _units(source)
    weight = np.ones_like(ab)
    if mask is not None:
        weight = np.clip(np.nan_to_num(np.asarray(mask, np.float64).reshape(ab.shape) / 255.0), 0, 1)
    as_ = as_own * min(max(float(np.float32(opacity)), 0.0), 1.0) * weight
    if premultiplied:
        cb = np.minimum(cb, ab[..., None])
        cs = np.minimum(cs, as_own[..., None])
        cb, cs = _straight(cb, ab), _straight(cs, as_own)
    mixed = BLEND_FUNCTIONS[blend](cb, cs)
    cs_mixed = np.clip((1 - ab[..., None]) * cs + ab[..., None] * mixed, 0.0, 1.0)
    fa_of, fb_of = OPERATORS[operator]
    fa = np.broadcast_to(fa_of(ab, as_), ab.shape)
    fb = np.broadcast_to(fb_of(ab, as_), ab.shape)
    co = (as_ * fa)[..., None] * cs_mixed + (ab * fb)[..., None] * cb
    ao = as_ * fa + ab * fb
    if operator == "plus_lighter":
        co, ao = np.minimum(co, 1.0), np.minimum(ao, 1.0)
    colour = co if premultiplied else _straight(co, ao)
    channels = backdrop.shape[-1]
    result = np.concatenate([colour, ao[..., None]], axis=-1)[..., :channels] * 255.0
    keep = (as_ * fa == 0) & (fb == 1)
    result = np.where(keep[..., None], np.asarray(backdrop, np.float64), result)
    near_jump = np.zeros(ab.shape, bool)
    if blend in JUMPS:
        near_jump = (np.abs(JUMPS[blend](cb, cs)) < THRESHOLD_BAND).any(axis=-1) & ~keep
    return result, near_jump


def stored(result, dtype):
    """The model's result as an image of `dtype` would hold it."""
    if np.dtype(dtype) == np.uint8:
        return np.clip(np.round(result), 0, 255).astype(np.uint8)
    return result.astype(np.float32)
