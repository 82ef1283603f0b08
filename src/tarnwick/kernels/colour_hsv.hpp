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

template <typename V>
inline void rgb_to_hsv_ps(V r, V g, V b, V *h, V *s, V *v) {
    const V zero = splat<V>(0.0f);
    const V max_c = lane_max(r, lane_max(g, b));
    const V min_c = lane_min(r, lane_min(g, b));
    const V chroma = max_c - min_c;
    // The channel holding the maximum (blue over green over red, as the
    // scalar tests run) picks one numerator and one offset, so one division
    // serves every lane. Lanes of zero chroma divide by zero here, and lanes
    // whose maximum is no channel (NaN), are discarded below.
    const V is_red = eq(max_c, r);
    const V is_green = eq(max_c, g);
    const V is_blue = eq(max_c, b);
    const V numerator = select(is_blue, r - g, select(is_green, b - r, g - b));
    const V quotient = numerator / chroma;
    // The red sector's quotient lies in [-1, 1]: modulo 6 adds 6 below 0.
    const V red_hue = select(lt(quotient, zero), quotient + splat<V>(6.0f), quotient);
    const V hue = select(is_blue, quotient + splat<V>(4.0f),
                         select(is_green, quotient + splat<V>(2.0f), red_hue));
    const V has_hue =
        mask_and(neq(chroma, zero), mask_or(is_red, mask_or(is_green, is_blue)));
    *h = keep_if(has_hue, hue * splat<V>(1.0f / 6.0f));
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
    // The sector, 0..5 (a hue of 6, which arises only by rounding, joins
    // sector 5, as hue >= 5 does), picks each channel's term by one bit of
    // a per-channel pattern moved to the sign bit that select reads. NaN
    // converts to the integer minimum, a shift count past 31 clears the
    // pattern, and every channel keeps 0, as no sector test would hold.
    // Sectors 0..5: (c, x, 0) (x, c, 0) (0, c, x) (0, x, c) (x, 0, c) (c, 0, x).
    using I = ivec_t<V>;
    const I sector = lane_min_i32(truncate_to_i32(hue), splat_i32<I>(5));
    const I shift = lane_sub(splat_i32<I>(31), sector);
    auto term = [&](int chroma_sectors, int x_sectors) {
        const V takes_chroma = bits_float(shift_left_by(splat_i32<I>(chroma_sectors), shift));
        const V takes_x = bits_float(shift_left_by(splat_i32<I>(x_sectors), shift));
        return select(takes_chroma, chroma, select(takes_x, x_value, zero));
    };
    const V rp = term(0b100001, 0b010010);
    const V gp = term(0b000110, 0b001001);
    const V bp = term(0b011000, 0b100100);
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
