"""Models of the colour-model modes.

Two kinds, for two purposes:

- float32 models of the scalar HSV and HSL kernels and of the compositor,
  rounding where the native code rounds (built on reference.py), so the
  scalar path can be checked bit for bit;
- independent float64 models (Python's colorsys for HSV and HSL, the sRGB,
  XYZ and Lab formulas with exact powers and cube roots for LCH) that the
  kernels are measured against within a tolerance.
"""

import colorsys

import numpy as np

from reference import F32, alpha_of, f32, fma32, read_unit, write_unit
from reference_separable import ratio_of
from tarnwick._names import families

COLOUR_MODES = families()["colour-model"]
LCH_MODES = tuple(mode for mode in COLOUR_MODES if mode.startswith("lch_"))
HSV_MODES = tuple(mode for mode in COLOUR_MODES if mode not in LCH_MODES)

# use_l, use_c, use_h
LCH_FLAGS = {
    "lch_lightness": (True, False, False),
    "lch_hue": (False, False, True),
    "lch_color": (False, True, True),
    "lch_chroma": (False, True, False),
}


# ---- float32 models of the scalar kernels --------------------------------


def _clamp01(x):
    """Below 0 gives 0, above 1 gives 1; NaN passes through."""
    return np.where(x < 0, F32(0), np.where(x > 1, F32(1), x)).astype(np.float32)


def rgb_to_hsv32(r, g, b):
    with np.errstate(all="ignore"):
        mx = np.fmax(r, np.fmax(g, b))
        mn = np.fmin(r, np.fmin(g, b))
        chroma = mx - mn
        nonzero = chroma != 0
        hue = np.zeros_like(r)
        hue = np.where(nonzero & (mx == r), np.fmod((g - b) / chroma, F32(6)), hue)
        hue = np.where(nonzero & (mx == g), (b - r) / chroma + F32(2), hue)
        hue = np.where(nonzero & (mx == b), (r - g) / chroma + F32(4), hue)
        hue = (hue / F32(6)).astype(np.float32)
        hue = np.where(hue < 0, hue + F32(1), hue)
        sat = np.where(mx != 0, chroma / mx, F32(0))
    return hue.astype(np.float32), sat.astype(np.float32), mx


def hsv_to_rgb32(h, s, v):
    with np.errstate(all="ignore"):
        hue = np.fmod(h, F32(1))
        hue = np.where(hue < 0, hue + F32(1), hue).astype(np.float32) * F32(6)
        s = _clamp01(s)
        v = _clamp01(v)
        chroma = v * s
        x = chroma * (F32(1) - np.abs(np.fmod(hue, F32(2)) - F32(1)))
        m = v - chroma
        zero = np.zeros_like(chroma)
        sectors = [hue < 1, hue < 2, hue < 3, hue < 4, hue < 5]
        r = np.select(sectors, [chroma, x, zero, zero, x], chroma)
        g = np.select(sectors, [x, chroma, chroma, x, zero], zero)
        b = np.select(sectors, [zero, zero, x, chroma, chroma], x)
    return r + m, g + m, b + m


def rgb_to_hsl32(r, g, b):
    with np.errstate(all="ignore"):
        mx = np.fmax(r, np.fmax(g, b))
        mn = np.fmin(r, np.fmin(g, b))
        lightness = (mx + mn) * F32(0.5)
        chroma = mx - mn
        sat = np.where(chroma == 0, F32(0), chroma / (F32(1) - np.abs(fma32(2, lightness, -1))))
    return rgb_to_hsv32(r, g, b)[0], sat.astype(np.float32), lightness


def hsl_to_rgb32(h, s, lightness):
    with np.errstate(all="ignore"):
        s = _clamp01(s)
        lightness = _clamp01(lightness)
        chroma = (F32(1) - np.abs(fma32(2, lightness, -1))) * s
        value = fma32(chroma, 0.5, lightness)
        hsv_s = np.where(value == 0, F32(0), chroma / value).astype(np.float32)
    return hsv_to_rgb32(h, hsv_s, value)


def hsv_kernel32(mode, bg, fg):
    """The scalar kernel of an HSV or HSL mode on (..., 3) float32 arrays."""
    bg = [bg[..., k] for k in range(3)]
    fg = [fg[..., k] for k in range(3)]
    if mode == "hsl_color":
        fh, fs, _ = rgb_to_hsl32(*fg)
        _, _, bl = rgb_to_hsl32(*bg)
        out = hsl_to_rgb32(fh, fs, bl)
    else:
        bh, bs, bv = rgb_to_hsv32(*bg)
        fh, fs, fv = rgb_to_hsv32(*fg)
        if mode == "hsv_hue":
            out = hsv_to_rgb32(np.where(fs != 0, fh, bh), bs, bv)
        elif mode == "hsv_saturation":
            out = hsv_to_rgb32(bh, fs, bv)
        else:
            out = hsv_to_rgb32(bh, bs, fv)
    return np.stack(out, axis=-1).astype(np.float32)


def rgb_mode_reference(background, foreground, opacity, kernel):
    """The scalar compositor: `kernel(bg, fg)` maps (..., 3) unit colours to
    the kernel's unit result; the background's alpha is kept."""
    if f32(opacity) <= 0:
        return background.copy()
    bg = read_unit(background)
    fg = read_unit(foreground)
    bg_alpha = alpha_of(bg, background.shape[2])
    fg_alpha = alpha_of(fg, foreground.shape[2])
    with np.errstate(all="ignore"):
        ratio = ratio_of(bg_alpha, fg_alpha, f32(opacity)).astype(np.float32)[..., None]
        comp = kernel(bg[..., :3], fg[..., :3])
        mixed = fma32(ratio, comp, (F32(1) - ratio) * bg[..., :3])
    # Pixels that take nothing from the layer, and the alpha channel, keep
    # the background's stored values.
    out = background.copy()
    out[..., :3] = np.where(ratio != 0, write_unit(mixed, background.dtype), background[..., :3])
    return out


# ---- independent float64 models ------------------------------------------


def hsv_kernel64(mode, bg, fg):
    """An HSV or HSL mode through colorsys, pixel by pixel, in float64."""
    bg = np.asarray(bg, np.float64).reshape(-1, 3)
    fg = np.asarray(fg, np.float64).reshape(-1, 3)
    out = np.empty_like(bg)
    for i, (b, f) in enumerate(zip(bg, fg)):
        if mode == "hsl_color":
            fh, _, fs = colorsys.rgb_to_hls(*f)
            _, bl, _ = colorsys.rgb_to_hls(*b)
            out[i] = colorsys.hls_to_rgb(fh, bl, fs)
            continue
        bh, bs, bv = colorsys.rgb_to_hsv(*b)
        fh, fs, fv = colorsys.rgb_to_hsv(*f)
        if mode == "hsv_hue":
            out[i] = colorsys.hsv_to_rgb(fh if fs != 0 else bh, bs, bv)
        elif mode == "hsv_saturation":
            out[i] = colorsys.hsv_to_rgb(bh, fs, bv)
        else:
            out[i] = colorsys.hsv_to_rgb(bh, bs, fv)
    return out


_RGB_TO_XYZ = np.array(
    [[0.4124564, 0.3575761, 0.1804375], [0.2126729, 0.7151522, 0.072175], [0.0193339, 0.119192, 0.9503041]]
)
_XYZ_TO_RGB = np.array(
    [[3.2404542, -1.5371385, -0.4985314], [-0.969266, 1.8760108, 0.041556], [0.0556434, -0.2040259, 1.0572252]]
)
_WHITE = np.array([0.95047, 1.0, 1.08883])
_EPSILON = 216 / 24389
_KAPPA = 24389 / 27


def srgb_to_linear64(v):
    v = np.asarray(v, np.float64)
    return np.where(v <= 0.04045, v / 12.92, ((np.maximum(v, 0.04045) + 0.055) / 1.055) ** 2.4)


def linear_to_srgb64(v):
    v = np.clip(np.asarray(v, np.float64), 0, 1)
    return np.where(v <= 0.0031308, v * 12.92, 1.055 * v ** (1 / 2.4) - 0.055)


def rgb_to_lab64(rgb):
    xyz = srgb_to_linear64(rgb) @ _RGB_TO_XYZ.T / _WHITE
    f = np.where(xyz > _EPSILON, np.cbrt(xyz), (xyz * _KAPPA + 16) / 116)
    return np.stack([116 * f[..., 1] - 16, 500 * (f[..., 0] - f[..., 1]), 200 * (f[..., 1] - f[..., 2])], axis=-1)


def lab_to_rgb64(lab):
    fy = (lab[..., 0] + 16) / 116
    f = np.stack([lab[..., 1] / 500 + fy, fy, fy - lab[..., 2] / 200], axis=-1)
    cubed = f**3
    xyz = np.where(cubed > _EPSILON, cubed, (116 * f - 16) / _KAPPA) * _WHITE
    return linear_to_srgb64(xyz @ _XYZ_TO_RGB.T)


# A chroma at or below this counts as none (a grey has no hue).
LCH_GREY_CHROMA = 0.01


def lch_kernel64(mode, bg, fg):
    """An LCH mode in float64 on (..., 3) unit colours."""
    use_l, use_c, use_h = LCH_FLAGS[mode]
    bg_lab = rgb_to_lab64(bg)
    fg_lab = rgb_to_lab64(fg)
    bg_chroma = np.hypot(bg_lab[..., 1], bg_lab[..., 2])[..., None]
    fg_chroma = np.hypot(fg_lab[..., 1], fg_lab[..., 2])[..., None]
    out = bg_lab.copy()
    if use_l:
        out[..., 0] = fg_lab[..., 0]
    with np.errstate(all="ignore"):
        if use_c and use_h:
            out[..., 1:] = fg_lab[..., 1:]
        elif use_c:
            axis = np.concatenate([fg_chroma, np.zeros_like(fg_chroma)], axis=-1)
            out[..., 1:] = np.where(bg_chroma > LCH_GREY_CHROMA, bg_lab[..., 1:] * (fg_chroma / bg_chroma), axis)
        elif use_h:
            out[..., 1:] = np.where(fg_chroma > LCH_GREY_CHROMA, fg_lab[..., 1:] * (bg_chroma / fg_chroma), bg_lab[..., 1:])
    return lab_to_rgb64(out)


def colour_kernel64(mode, bg, fg):
    if mode in LCH_FLAGS:
        return lch_kernel64(mode, np.asarray(bg, np.float64), np.asarray(fg, np.float64))
    return hsv_kernel64(mode, bg, fg).reshape(np.shape(bg))
