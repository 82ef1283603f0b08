// HSV and HSL in scalar form (the reference) and in four- and eight-lane
// form. The vector forms are written once over the lane type V and given
// their _ps128 / _ps256 names at the end.
//
// Hue is in turns: 0 red, 1/6 yellow, 2/6 green, 3/6 cyan, 4/6 blue, 5/6
// magenta. Conversions back to RGB clamp saturation, value and lightness to
// [0, 1] first; conversions from RGB take their input as it is.
#pragma once

#include <cmath>

#include "colour_types.hpp"
#include "simd.hpp"
#include "unit_clamp.hpp"

// ---- scalar forms ---------------------------------------------------------

inline float rgb_max3(float r, float g, float b) { return std::fmax(r, std::fmax(g, b)); }
inline float rgb_min3(float r, float g, float b) { return std::fmin(r, std::fmin(g, b)); }

inline hsv_triplet rgb_to_hsv_triplet(rgb_triplet rgb) {
    const float max_channel = rgb_max3(rgb.r, rgb.g, rgb.b);
    const float min_channel = rgb_min3(rgb.r, rgb.g, rgb.b);
    const float chroma = max_channel - min_channel;
    float hue = 0.0f;
    if (chroma != 0.0f) {
        // Independent tests: when channels share the maximum the later one
        // wins (blue over green over red).
        if (max_channel == rgb.r) {
            hue = std::fmod((rgb.g - rgb.b) / chroma, 6.0f);
        }
        if (max_channel == rgb.g) {
            hue = (rgb.b - rgb.r) / chroma + 2.0f;
        }
        if (max_channel == rgb.b) {
            hue = (rgb.r - rgb.g) / chroma + 4.0f;
        }
        hue = hue / 6.0f;
        if (hue < 0.0f) {
            hue += 1.0f;
        }
    }
    const float saturation = max_channel != 0.0f ? chroma / max_channel : 0.0f;
    return hsv_triplet{hue, saturation, max_channel};
}

inline rgb_triplet hsv_to_rgb_triplet(hsv_triplet hsv) {
    float hue = std::fmod(hsv.h, 1.0f);
    if (hue < 0.0f) {
        hue += 1.0f;
    }
    // 6 arises only by rounding; it lands in the last sector, which gives
    // the same colour as 0.
    hue = hue * 6.0f;
    const float saturation = clamp01(hsv.s);
    const float value = clamp01(hsv.v);
    const float chroma = value * saturation;
    const float x_value = chroma * (1.0f - std::fabs(std::fmod(hue, 2.0f) - 1.0f));
    const float match = value - chroma;
    rgb_triplet rgb;
    if (hue < 1.0f) {
        rgb = {chroma, x_value, 0.0f};
    } else if (hue < 2.0f) {
        rgb = {x_value, chroma, 0.0f};
    } else if (hue < 3.0f) {
        rgb = {0.0f, chroma, x_value};
    } else if (hue < 4.0f) {
        rgb = {0.0f, x_value, chroma};
    } else if (hue < 5.0f) {
        rgb = {x_value, 0.0f, chroma};
    } else {
        rgb = {chroma, 0.0f, x_value};
    }
    rgb.r += match;
    rgb.g += match;
    rgb.b += match;
    return rgb;
}

inline hsl_triplet rgb_to_hsl_triplet(rgb_triplet rgb) {
    const float max_channel = rgb_max3(rgb.r, rgb.g, rgb.b);
    const float min_channel = rgb_min3(rgb.r, rgb.g, rgb.b);
    const float lightness = (max_channel + min_channel) * 0.5f;
    const float chroma = max_channel - min_channel;
    // In the unit range a non-zero chroma implies 0 < lightness < 1, so the
    // divisor is positive.
    const float saturation =
        chroma == 0.0f ? 0.0f
                       : chroma / (1.0f - std::fabs(std::fma(2.0f, lightness, -1.0f)));
    return hsl_triplet{rgb_to_hsv_triplet(rgb).h, saturation, lightness};
}

inline rgb_triplet hsl_to_rgb_triplet(hsl_triplet hsl) {
    const float saturation = clamp01(hsl.s);
    const float lightness = clamp01(hsl.l);
    const float chroma = (1.0f - std::fabs(std::fma(2.0f, lightness, -1.0f))) * saturation;
    const float value = std::fma(chroma, 0.5f, lightness);
    const float hsv_saturation = value == 0.0f ? 0.0f : chroma / value;
    return hsv_to_rgb_triplet(hsv_triplet{hsl.h, hsv_saturation, value});
}

// ---- vector forms, written once over the lane type ------------------------

// value - 6 * floor(value / 6) in [0, 6], one fused step after a true division.
template <typename V>
inline V mod6_ps(V value) {
    const V six = splat<V>(6.0f);
    return fnmadd(lane_floor(value / six), six, value);
}

template <typename V>
inline void rgb_to_hsv_ps(V r, V g, V b, V *h, V *s, V *v) {
    const V zero = splat<V>(0.0f);
    const V max_c = lane_max(r, lane_max(g, b));
    const V min_c = lane_min(r, lane_min(g, b));
    const V chroma = max_c - min_c;
    const V chroma_nonzero = neq(chroma, zero);
    // Lanes of zero chroma divide by zero here and are discarded below.
    const V red_hue = mod6_ps((g - b) / chroma);
    const V green_hue = (b - r) / chroma + splat<V>(2.0f);
    const V blue_hue = (r - g) / chroma + splat<V>(4.0f);
    V hue = zero;
    hue = select(mask_and(eq(max_c, r), chroma_nonzero), red_hue, hue);
    hue = select(mask_and(eq(max_c, g), chroma_nonzero), green_hue, hue);
    hue = select(mask_and(eq(max_c, b), chroma_nonzero), blue_hue, hue);
    *h = hue / splat<V>(6.0f);
    *s = keep_if(neq_ordered(max_c, zero), chroma / max_c);
    *v = max_c;
}

template <typename V>
inline void hsv_to_rgb_ps(V h, V s, V v, V *r, V *g, V *b) {
    const V zero = splat<V>(0.0f);
    const V one = splat<V>(1.0f);
    const V hue = (h - lane_floor(h)) * splat<V>(6.0f);
    const V saturation = clamp_unit(s);
    const V value = clamp_unit(v);
    const V chroma = saturation * value;
    const V hue_mod2 = fnmadd(lane_floor(hue * splat<V>(0.5f)), splat<V>(2.0f), hue);
    const V x_value = (one - lane_abs(hue_mod2 - one)) * chroma;
    const V match = value - chroma;
    const V two = splat<V>(2.0f);
    const V three = splat<V>(3.0f);
    const V four = splat<V>(4.0f);
    const V five = splat<V>(5.0f);
    const V h1 = lt(hue, one);
    const V h2 = mask_and(ge(hue, one), lt(hue, two));
    const V h3 = mask_and(ge(hue, two), lt(hue, three));
    const V h4 = mask_and(ge(hue, three), lt(hue, four));
    const V h5 = mask_and(ge(hue, four), lt(hue, five));
    const V h6 = ge(hue, five);
    // Sectors 1..6: (c, x, 0) (x, c, 0) (0, c, x) (0, x, c) (x, 0, c) (c, 0, x).
    V rp = zero;
    V gp = zero;
    V bp = zero;
    rp = select(h1, chroma, rp);
    gp = select(h1, x_value, gp);
    rp = select(h2, x_value, rp);
    gp = select(h2, chroma, gp);
    gp = select(h3, chroma, gp);
    bp = select(h3, x_value, bp);
    gp = select(h4, x_value, gp);
    bp = select(h4, chroma, bp);
    rp = select(h5, x_value, rp);
    bp = select(h5, chroma, bp);
    rp = select(h6, chroma, rp);
    bp = select(h6, x_value, bp);
    *r = rp + match;
    *g = gp + match;
    *b = bp + match;
}

template <typename V>
inline void rgb_to_hsl_ps(V r, V g, V b, V *h, V *s, V *l) {
    const V zero = splat<V>(0.0f);
    const V one = splat<V>(1.0f);
    const V max_c = lane_max(r, lane_max(g, b));
    const V min_c = lane_min(r, lane_min(g, b));
    const V chroma = max_c - min_c;
    const V lightness = (max_c + min_c) * splat<V>(0.5f);
    V hue;
    V unused_s;
    V unused_v;
    rgb_to_hsv_ps(r, g, b, &hue, &unused_s, &unused_v);
    const V denom = one - lane_abs((lightness + lightness) - one);
    *h = hue;
    *s = keep_if(neq_ordered(chroma, zero), chroma / denom);
    *l = lightness;
}

template <typename V>
inline void hsl_to_rgb_ps(V h, V s, V l, V *r, V *g, V *b) {
    const V one = splat<V>(1.0f);
    const V saturation = clamp_unit(s);
    const V lightness = clamp_unit(l);
    const V chroma = (one - lane_abs((lightness + lightness) - one)) * saturation;
    const V value = mul_add(chroma, splat<V>(0.5f), lightness);
    const V hsv_s = keep_if(neq_ordered(value, splat<V>(0.0f)), chroma / value);
    hsv_to_rgb_ps(h, hsv_s, value, r, g, b);
}
