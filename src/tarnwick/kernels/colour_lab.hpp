// sRGB transfer curve, linear light, CIE XYZ (D65 white) and CIE L*a*b*, in
// scalar form (the reference, with powf and cbrtf) and in four- and
// eight-lane form. The vector forms replace both powers of the transfer
// curve by polynomials; cube roots, exponent splits and scalings stay
// per-lane library calls through small arrays on the stack.
#pragma once

#include <cmath>
#include <cstring>

#include "colour_hsv.hpp"
#include "colour_types.hpp"
#include "simd.hpp"
#include "unit_clamp.hpp"

inline constexpr float k_srgb_decode_threshold = 0.04045f;
inline constexpr float k_srgb_encode_threshold = 0.0031308f;
inline constexpr float k_srgb_linear_slope = 12.92f;
inline constexpr float k_srgb_offset = 0.055f;
inline constexpr float k_srgb_scale = 1.055f;
inline constexpr float k_srgb_decode_exponent = 2.4f;
inline constexpr float k_srgb_encode_exponent = 0.41666666f;  // 1 / 2.4
inline constexpr float k_white_x = 0.95047f;
inline constexpr float k_white_z = 1.08883f;
inline constexpr float k_lab_epsilon = 0.008856452f;  // 216 / 24389
inline constexpr float k_lab_kappa = 903.2963f;       // 24389 / 27

// 2^(5r/12) for r = 0..11, rounded to single precision.
alignas(16) inline constexpr float k_pow_5_12_scale_table[12] = {
    1.0f,       1.3348398f, 1.7817974f, 2.3784142f, 3.174802f,  4.2378526f,
    5.656854f,  7.5509944f, 10.079369f, 13.454343f, 17.959393f, 23.972914f,
};

// ---- scalar forms ---------------------------------------------------------

inline float srgb_to_linear_unit(float value) {
    if (value <= k_srgb_decode_threshold) {
        return value / k_srgb_linear_slope;
    }
    return std::pow((value + k_srgb_offset) / k_srgb_scale, k_srgb_decode_exponent);
}

inline float linear_to_srgb_unit(float value) {
    value = clamp01(value);
    if (value <= k_srgb_encode_threshold) {
        return value * k_srgb_linear_slope;
    }
    return std::fma(std::pow(value, k_srgb_encode_exponent), k_srgb_scale, -k_srgb_offset);
}

inline float xyz_to_lab_component(float value) {
    if (value > k_lab_epsilon) {
        return std::cbrt(value);
    }
    return std::fma(value, k_lab_kappa, 16.0f) / 116.0f;
}

inline float lab_to_xyz_component(float value) {
    const float value_cubed = (value * value) * value;
    if (value_cubed > k_lab_epsilon) {
        return value_cubed;
    }
    return std::fma(value, 116.0f, -16.0f) / k_lab_kappa;
}

inline lab_triplet rgb_to_lab_triplet(rgb_triplet rgb) {
    const float red = srgb_to_linear_unit(rgb.r);
    const float green = srgb_to_linear_unit(rgb.g);
    const float blue = srgb_to_linear_unit(rgb.b);
    const float x =
        std::fma(blue, 0.1804375f, std::fma(red, 0.4124564f, green * 0.3575761f)) / k_white_x;
    const float y = std::fma(blue, 0.072175f, std::fma(red, 0.2126729f, green * 0.7151522f));
    const float z =
        std::fma(blue, 0.9503041f, std::fma(red, 0.0193339f, green * 0.119192f)) / k_white_z;
    const float fx = xyz_to_lab_component(x);
    const float fy = xyz_to_lab_component(y);
    const float fz = xyz_to_lab_component(z);
    return lab_triplet{std::fma(fy, 116.0f, -16.0f), (fx - fy) * 500.0f, (fy - fz) * 200.0f};
}

// Out-of-gamut colours are clipped channel by channel in linear light.
inline rgb_triplet lab_to_rgb_triplet(lab_triplet lab) {
    const float fy = (lab.l + 16.0f) / 116.0f;
    const float fx = lab.a / 500.0f + fy;
    const float fz = fy - lab.b / 200.0f;
    const float x = lab_to_xyz_component(fx) * k_white_x;
    const float y = lab_to_xyz_component(fy);
    const float z = lab_to_xyz_component(fz) * k_white_z;
    const float red = std::fma(z, -0.4985314f, std::fma(x, 3.2404542f, y * -1.5371385f));
    const float green = std::fma(z, 0.041556f, std::fma(x, -0.969266f, y * 1.8760108f));
    const float blue = std::fma(z, 1.0572252f, std::fma(x, 0.0556434f, y * -0.2040259f));
    return rgb_triplet{linear_to_srgb_unit(red), linear_to_srgb_unit(green),
                       linear_to_srgb_unit(blue)};
}

// ---- vector forms, written once over the lane type ------------------------

// x^2.4 on [0, 1]; within 1.8e-5 of the exact power on 0.0905..1, the only
// inputs the decode sends here.
template <typename V>
inline V pow_2_4_approx_ps(V value) {
    const V x = clamp_unit_lanes(value);
    V result = splat<V>(0.19793557f);
    result = mul_add(result, x, splat<V>(-0.826185f));
    result = mul_add(result, x, splat<V>(1.4707482f));
    result = mul_add(result, x, splat<V>(-1.531952f));
    result = mul_add(result, x, splat<V>(1.3616148f));
    result = mul_add(result, x, splat<V>(0.3341598f));
    result = mul_add(result, x, splat<V>(-0.0063627036f));
    result = mul_add(result, x, splat<V>(0.00005884863f));
    return clamp_unit_lanes(result);
}

// Inputs above 1 give at most 1, unlike the scalar form.
template <typename V>
inline V srgb_to_linear_ps(V value) {
    const V linear = value / splat<V>(k_srgb_linear_slope);
    const V pow_input = (value + splat<V>(k_srgb_offset)) / splat<V>(k_srgb_scale);
    const V pow_mask = gt(value, splat<V>(k_srgb_decode_threshold));
    return select(pow_mask, pow_2_4_approx_ps(pow_input), linear);
}

// mantissa^(5/12) on [0.5, 1), within 1.8e-5.
template <typename V>
inline V pow_5_12_mantissa_poly_ps(V mantissa) {
    V result = splat<V>(-0.12658665f);
    result = mul_add(result, mantissa, splat<V>(0.52286386f));
    result = mul_add(result, mantissa, splat<V>(-0.940634f));
    result = mul_add(result, mantissa, splat<V>(1.2349191f));
    result = mul_add(result, mantissa, splat<V>(0.30942416f));
    return result;
}

// 2^(5 * remainder / 12) * 2^(5 * quotient); remainder must be 0..11.
inline float pow_5_12_scale(int remainder, int quotient) {
    return std::ldexp(k_pow_5_12_scale_table[remainder], 5 * quotient);
}

// exponent = 12 * quotient + remainder with 0 <= remainder < 12 (the
// quotient rounds toward minus infinity, not toward zero).
inline void split_exponent_by_12(int exponent, int *quotient, int *remainder) {
    *quotient = exponent / 12;
    *remainder = exponent - 12 * *quotient;
    if (*remainder < 0) {
        *remainder += 12;
        *quotient -= 1;
    }
}

// value^(5/12) = mantissa^(5/12) * 2^(5 * quotient) * 2^(5 * remainder / 12)
// for value = mantissa * 2^(12 * quotient + remainder); clamped to [0, 1].
template <typename V>
inline V pow_1_over_2_4_approx_ps(V value) {
    constexpr int n = static_cast<int>(sizeof(V) / sizeof(float));
    float lanes[n];
    float mantissas[n];
    float scales[n];
    std::memcpy(lanes, &value, sizeof lanes);
    for (int i = 0; i < n; ++i) {
        int exponent = 0;
        mantissas[i] = std::frexp(lanes[i], &exponent);
        int quotient = 0;
        int remainder = 0;
        split_exponent_by_12(exponent, &quotient, &remainder);
        scales[i] = lanes[i] > 0.0f ? pow_5_12_scale(remainder, quotient) : 0.0f;
    }
    V mantissa;
    V scale;
    std::memcpy(&mantissa, mantissas, sizeof mantissa);
    std::memcpy(&scale, scales, sizeof scale);
    return clamp_unit_lanes(pow_5_12_mantissa_poly_ps(mantissa) * scale);
}

// Within 1.9e-5 of the exact curve; the result is in [0, 1].
template <typename V>
inline V linear_to_srgb_ps(V value) {
    const V clamped = clamp_unit_lanes(value);
    const V linear = clamped * splat<V>(k_srgb_linear_slope);
    const V pow_mask = gt(clamped, splat<V>(k_srgb_encode_threshold));
    const V pow_part = mul_add(pow_1_over_2_4_approx_ps(clamped), splat<V>(k_srgb_scale),
                               splat<V>(-k_srgb_offset));
    return clamp_unit_lanes(select(pow_mask, pow_part, linear));
}

// The cube roots are the scalar form's own cbrtf calls, taken only in the
// lanes that use them.
template <typename V>
inline V xyz_to_lab_component_ps(V value) {
    constexpr int n = static_cast<int>(sizeof(V) / sizeof(float));
    const V linear =
        mul_add(value, splat<V>(k_lab_kappa), splat<V>(16.0f)) / splat<V>(116.0f);
    const V cbrt_mask = gt(value, splat<V>(k_lab_epsilon));
    float lanes[n];
    float converted[n];
    std::memcpy(lanes, &value, sizeof lanes);
    for (int i = 0; i < n; ++i) {
        converted[i] = lanes[i] > k_lab_epsilon ? std::cbrt(lanes[i]) : 0.0f;
    }
    V roots;
    std::memcpy(&roots, converted, sizeof roots);
    return select(cbrt_mask, roots, linear);
}

template <typename V>
inline V lab_to_xyz_component_ps(V value) {
    const V value_cubed = (value * value) * value;
    const V linear = mul_add(value, splat<V>(116.0f), splat<V>(-16.0f)) / splat<V>(k_lab_kappa);
    return select(gt(value_cubed, splat<V>(k_lab_epsilon)), value_cubed, linear);
}

// The matrix rows are summed blue, green, red (the scalar form sums green,
// red, blue).
template <typename V>
inline void rgb_to_lab_ps(V r, V g, V b, V *l, V *a, V *lab_b) {
    const V red = srgb_to_linear_ps(r);
    const V green = srgb_to_linear_ps(g);
    const V blue = srgb_to_linear_ps(b);
    const V x = mul_add(red, splat<V>(0.4124564f),
                        mul_add(green, splat<V>(0.3575761f), blue * splat<V>(0.1804375f))) /
                splat<V>(k_white_x);
    const V y = mul_add(red, splat<V>(0.2126729f),
                        mul_add(green, splat<V>(0.7151522f), blue * splat<V>(0.072175f)));
    const V z = mul_add(red, splat<V>(0.0193339f),
                        mul_add(green, splat<V>(0.119192f), blue * splat<V>(0.9503041f))) /
                splat<V>(k_white_z);
    const V fx = xyz_to_lab_component_ps(x);
    const V fy = xyz_to_lab_component_ps(y);
    const V fz = xyz_to_lab_component_ps(z);
    *l = mul_add(fy, splat<V>(116.0f), splat<V>(-16.0f));
    *a = (fx - fy) * splat<V>(500.0f);
    *lab_b = (fy - fz) * splat<V>(200.0f);
}

// The matrix rows are summed z, y, x (the scalar form sums y, x, z).
template <typename V>
inline void lab_to_rgb_ps(V l, V a, V lab_b, V *r, V *g, V *b) {
    const V fy = (l + splat<V>(16.0f)) / splat<V>(116.0f);
    const V fx = a / splat<V>(500.0f) + fy;
    const V fz = fy - lab_b / splat<V>(200.0f);
    const V x = lab_to_xyz_component_ps(fx) * splat<V>(k_white_x);
    const V y = lab_to_xyz_component_ps(fy);
    const V z = lab_to_xyz_component_ps(fz) * splat<V>(k_white_z);
    const V red = mul_add(x, splat<V>(3.2404542f),
                          mul_add(y, splat<V>(-1.5371385f), z * splat<V>(-0.4985314f)));
    const V green = mul_add(x, splat<V>(-0.969266f),
                            mul_add(y, splat<V>(1.8760108f), z * splat<V>(0.041556f)));
    const V blue = mul_add(x, splat<V>(0.0556434f),
                           mul_add(y, splat<V>(-0.2040259f), z * splat<V>(1.0572252f)));
    *r = linear_to_srgb_ps(red);
    *g = linear_to_srgb_ps(green);
    *b = linear_to_srgb_ps(blue);
}

// ---- the four- and eight-lane names ----------------------------------------

inline __m128 pow_2_4_approx_ps128(__m128 value) { return pow_2_4_approx_ps(value); }
inline __m256 pow_2_4_approx_ps256(__m256 value) { return pow_2_4_approx_ps(value); }
inline __m128 srgb_to_linear_ps128(__m128 value) { return srgb_to_linear_ps(value); }
inline __m256 srgb_to_linear_ps256(__m256 value) { return srgb_to_linear_ps(value); }
inline __m128 pow_5_12_mantissa_poly_ps128(__m128 mantissa) {
    return pow_5_12_mantissa_poly_ps(mantissa);
}
inline __m256 pow_5_12_mantissa_poly_ps256(__m256 mantissa) {
    return pow_5_12_mantissa_poly_ps(mantissa);
}
inline __m128 pow_1_over_2_4_approx_ps128(__m128 value) { return pow_1_over_2_4_approx_ps(value); }
inline __m256 pow_1_over_2_4_approx_ps256(__m256 value) { return pow_1_over_2_4_approx_ps(value); }
inline __m128 linear_to_srgb_ps128(__m128 value) { return linear_to_srgb_ps(value); }
inline __m256 linear_to_srgb_ps256(__m256 value) { return linear_to_srgb_ps(value); }
inline __m128 xyz_to_lab_component_ps128(__m128 value) { return xyz_to_lab_component_ps(value); }
inline __m256 xyz_to_lab_component_ps256(__m256 value) { return xyz_to_lab_component_ps(value); }
inline __m128 lab_to_xyz_component_ps128(__m128 value) { return lab_to_xyz_component_ps(value); }
inline __m256 lab_to_xyz_component_ps256(__m256 value) { return lab_to_xyz_component_ps(value); }

inline void rgb_to_lab_ps128(__m128 r, __m128 g, __m128 b, __m128 *l, __m128 *a, __m128 *lab_b) {
    rgb_to_lab_ps(r, g, b, l, a, lab_b);
}
inline void rgb_to_lab_ps256(__m256 r, __m256 g, __m256 b, __m256 *l, __m256 *a, __m256 *lab_b) {
    rgb_to_lab_ps(r, g, b, l, a, lab_b);
}
inline void lab_to_rgb_ps128(__m128 l, __m128 a, __m128 lab_b, __m128 *r, __m128 *g, __m128 *b) {
    lab_to_rgb_ps(l, a, lab_b, r, g, b);
}
inline void lab_to_rgb_ps256(__m256 l, __m256 a, __m256 lab_b, __m256 *r, __m256 *g, __m256 *b) {
    lab_to_rgb_ps(l, a, lab_b, r, g, b);
}
