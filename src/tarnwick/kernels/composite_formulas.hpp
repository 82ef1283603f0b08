// The blend-function pieces more than one blend function is built from:
// screen, hard light, colour dodge and burn, and the luminosity and
// saturation arithmetic of the whole-pixel functions. Unit values in, each
// channel within 0..1.
#pragma once

#include "blend_common.hpp"

template <typename V> TARNWICK_LANES V screen_channel(V cb, V cs) {
    return fnmadd(cb, cs, cb + cs);
}

template <typename V> TARNWICK_LANES V hard_light_channel(V cb, V cs) {
    const V doubled = cs + cs;
    return select(le(cs, splat<V>(0.5f)), cb * doubled,
                  screen_channel(cb, doubled - splat<V>(1.0f)));
}

// Cb = 0 gives 0, else Cs = 1 gives 1, else min(1, Cb / (1 - Cs)).
template <typename V> TARNWICK_LANES V color_dodge_channel(V cb, V cs) {
    const V zero = splat<V>(0.0f);
    const V one = splat<V>(1.0f);
    const V ratio = pick_min(cb / (one - cs), one);
    return select(eq(cb, zero), zero, select(eq(cs, one), one, ratio));
}

// Cb = 1 gives 1, else Cs = 0 gives 0, else 1 - min(1, (1 - Cb) / Cs).
template <typename V> TARNWICK_LANES V color_burn_channel(V cb, V cs) {
    const V zero = splat<V>(0.0f);
    const V one = splat<V>(1.0f);
    const V ratio = one - pick_min((one - cb) / cs, one);
    return select(eq(cb, one), one, select(eq(cs, zero), zero, ratio));
}

// ---- luminosity and saturation --------------------------------------------

template <typename V> TARNWICK_LANES V lum(const RgbLanes<V> &c) {
    return mul_add(splat<V>(0.3f), c.r, mul_add(splat<V>(0.59f), c.g, splat<V>(0.11f) * c.b));
}

template <typename V> TARNWICK_LANES V sat(const RgbLanes<V> &c) { return max3(c) - min3(c); }

// Brings a colour whose luminosity is within 0..1 back into 0..1 along the
// line to the grey of that luminosity, below 0 first and then above 1. A
// side whose distance from the grey is not positive (only a grey, off by a
// rounding) is left alone: the compositor clamps what remains.
template <typename V> TARNWICK_LANES RgbLanes<V> clip_color(RgbLanes<V> c) {
    const V zero = splat<V>(0.0f);
    const V one = splat<V>(1.0f);
    const V l = lum(c);
    const V n = min3(c);
    const V x = max3(c);
    const auto toward_grey = [&](lane_mask_t<V> apply, V scale) __attribute__((always_inline)) {
        c = {select(apply, mul_add(c.r - l, scale, l), c.r),
             select(apply, mul_add(c.g - l, scale, l), c.g),
             select(apply, mul_add(c.b - l, scale, l), c.b)};
    };
    const V below = l - n;
    toward_grey(mask_and(lt(n, zero), gt(below, zero)), l / below);
    const V above = x - l;
    toward_grey(mask_and(gt(x, one), gt(above, zero)), (one - l) / above);
    return c;
}

template <typename V> TARNWICK_LANES RgbLanes<V> set_lum(const RgbLanes<V> &c, V l) {
    const V d = l - lum(c);
    return clip_color(RgbLanes<V>{c.r + d, c.g + d, c.b + d});
}

// The colour's channels stretched so that its saturation is `s`, its
// minimum at 0; a grey becomes black.
template <typename V> TARNWICK_LANES RgbLanes<V> set_sat(const RgbLanes<V> &c, V s) {
    const V low = min3(c);
    const V range = max3(c) - low;
    const lane_mask_t<V> coloured = gt(range, splat<V>(0.0f));
    const V scale = s / range;
    return {keep_if(coloured, (c.r - low) * scale), keep_if(coloured, (c.g - low) * scale),
            keep_if(coloured, (c.b - low) * scale)};
}
