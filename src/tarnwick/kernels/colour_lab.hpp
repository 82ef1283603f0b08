// sRGB transfer curve, linear light, CIE XYZ (D65 white) and CIE L*a*b*, in
// scalar form (the reference, with powf and cbrtf) and in four- and
// eight-lane form. The vector forms replace both powers of the transfer
// curve by polynomials and take the exponent split, the scale table and the
// cube root in vector registers: no lane leaves them.
#pragma once

#include <cfloat>
#include <cmath>
#include <utility>

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

inline rgb_triplet srgb_to_linear_triplet(rgb_triplet rgb) {
    return rgb_triplet{srgb_to_linear_unit(rgb.r), srgb_to_linear_unit(rgb.g),
                       srgb_to_linear_unit(rgb.b)};
}

// srgb_to_linear_unit(b / 255.0f) for every byte b, computed by that very
// function: a byte image's decode is one lookup, with exactly
// the scalar curve's values. noinline keeps the compiler from folding the
// power at build time, where it could round differently from the library.
struct srgb_byte_table {
    alignas(64) float linear[256];
};

__attribute__((noinline)) inline srgb_byte_table make_srgb_byte_table() {
    srgb_byte_table table{};
    for (int byte = 0; byte < 256; ++byte) {
        table.linear[byte] = srgb_to_linear_unit(static_cast<float>(byte) / 255.0f);
    }
    return table;
}

// Built on first use, not at load: the whole library is compiled for AVX2,
// and at load the module's processor check has not run yet.
inline const float *srgb_byte_table_linear() {
    static const srgb_byte_table table = make_srgb_byte_table();
    return table.linear;
}

inline lab_triplet linear_to_lab_triplet(rgb_triplet linear) {
    const float red = linear.r;
    const float green = linear.g;
    const float blue = linear.b;
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

inline lab_triplet rgb_to_lab_triplet(rgb_triplet rgb) {
    return linear_to_lab_triplet(srgb_to_linear_triplet(rgb));
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

// The degree-7 polynomial for x^2.4, Horner from the highest coefficient.
template <typename V>
inline V pow_2_4_poly(V x) {
    V result = splat<V>(0.19793557f);
    result = mul_add(result, x, splat<V>(-0.826185f));
    result = mul_add(result, x, splat<V>(1.4707482f));
    result = mul_add(result, x, splat<V>(-1.531952f));
    result = mul_add(result, x, splat<V>(1.3616148f));
    result = mul_add(result, x, splat<V>(0.3341598f));
    result = mul_add(result, x, splat<V>(-0.0063627036f));
    result = mul_add(result, x, splat<V>(0.00005884863f));
    return result;
}

// x^2.4 on [0, 1]; within 1.8e-5 of the exact power on 0.0905..1, the only
// inputs the decode sends here.
template <typename V>
inline V pow_2_4_approx_ps(V value) {
    return clamp_unit(pow_2_4_poly(clamp_unit(value)));
}

// Inputs above 1 give at most 1, unlike the scalar form.
template <typename V>
inline V srgb_to_linear_ps(V value) {
    const V one = splat<V>(1.0f);
    const V pow_mask = gt(value, splat<V>(k_srgb_decode_threshold));
    // One division serves both segments: each lane divides what its own
    // segment divides, (value + 0.055) / 1.055 or value / 12.92.
    const V quotient = select(pow_mask, value + splat<V>(k_srgb_offset), value) /
                       select(pow_mask, splat<V>(k_srgb_scale), splat<V>(k_srgb_linear_slope));
    // pow_2_4_approx_ps where the power is taken; its two clamps at 0 have
    // nothing to do there, since those lanes hold more than 0.0905 and the
    // polynomial is positive on 0.0905..1.
    return select(pow_mask, lane_min(pow_2_4_poly(lane_min(quotient, one)), one), quotient);
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

// One lane's scale and exponent split, the reference that the vector split
// below reproduces bit for bit.
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

// value / divisor, correctly rounded as the division is, by a product with
// the rounded reciprocal and one fused correction: checked against the
// division for every float quotient in [1e-30, 1e30] in magnitude with the
// divisors used here (116 and kappa); it differs only where the quotient is
// subnormal or the value infinite.
template <typename V>
inline V divide_by_constant(V value, float divisor) {
    const V reciprocal = splat<V>(1.0f / divisor);
    const V estimate = value * reciprocal;
    return mul_add(fnmadd(estimate, splat<V>(divisor), value), reciprocal, estimate);
}

// 1 / value within about 2^-22 relative: the approximate reciprocal and one
// Newton step.
inline __m128 approx_reciprocal(__m128 v) { return _mm_rcp_ps(v); }
inline __m256 approx_reciprocal(__m256 v) { return _mm256_rcp_ps(v); }
template <typename V>
inline V refined_reciprocal(V value) {
    const V start = approx_reciprocal(value);
    return mul_add(fnmadd(value, start, splat<V>(1.0f)), start, start);
}

// ---- bit-level lane helpers -------------------------------------------------


inline __m128i bit_and(__m128i a, __m128i b) { return _mm_and_si128(a, b); }
inline __m256i bit_and(__m256i a, __m256i b) { return _mm256_and_si256(a, b); }
inline __m128i bit_or(__m128i a, __m128i b) { return _mm_or_si128(a, b); }
inline __m256i bit_or(__m256i a, __m256i b) { return _mm256_or_si256(a, b); }
template <int n> inline __m128i shift_left(__m128i v) { return _mm_slli_epi32(v, n); }
template <int n> inline __m256i shift_left(__m256i v) { return _mm256_slli_epi32(v, n); }
template <int n> inline __m128i shift_right(__m128i v) { return _mm_srli_epi32(v, n); }
template <int n> inline __m256i shift_right(__m256i v) { return _mm256_srli_epi32(v, n); }

// entries[index & 3] in every lane (entries holds 4 floats).
inline __m128 lookup4(const float *entries, __m128i index) {
    return _mm_permutevar_ps(_mm_loadu_ps(entries), index);
}
inline __m256 lookup4(const float *entries, __m256i index) {
    return _mm256_permutevar_ps(_mm256_broadcast_ps(reinterpret_cast<const __m128 *>(entries)),
                                index);
}

// entries[index] in every lane for index 0..11 (entries holds 12 floats):
// the group of four or eight by the index's high bits, moved to the sign
// bit that select reads.
inline __m128 lookup12(const float *entries, __m128i index) {
    const __m128 low = lookup4(entries, index);
    const __m128 mid = lookup4(entries + 4, index);
    const __m128 high = lookup4(entries + 8, index);
    return select(bits_float(shift_left<28>(index)), high,
                  select(bits_float(shift_left<29>(index)), mid, low));
}
inline __m256 lookup12(const float *entries, __m256i index) {
    const __m256 low = _mm256_permutevar8x32_ps(_mm256_loadu_ps(entries), index);
    const __m256 high = _mm256_permutevar8x32_ps(
        _mm256_castps128_ps256(_mm_loadu_ps(entries + 8)), index);
    return select(bits_float(shift_left<28>(index)), high, low);
}

// value * 2^power for normal values whose result stays normal: the power is
// added to the exponent bits, which is exact (as ldexpf is there).
template <typename V>
inline V scale_by_power_of_2(V value, ivec_t<V> power) {
    return bits_float(lane_add(float_bits(value), shift_left<23>(power)));
}

// ---- the 5/12 power: exponent split and scale ------------------------------

// frexpf of every lane, and the split of its exponent by 12 with the scale
// that goes with it: value = mantissa * 2^(12 * quotient + remainder),
// 0 <= remainder < 12, and scale = pow_5_12_scale(remainder, quotient) where
// the value is above 0, else 0. Every field equals, bit for bit, what the
// library's frexpf, split_exponent_by_12 and ldexpf give lane by lane, for
// every float of magnitude below 2^103 (the encode gives it [0, 1]). Beyond
// that, and for infinities and NaN, the fields differ from the library's,
// but the clamped power is still right (1, or 0 for NaN).
template <typename V>
struct exponent_split_12 {
    V mantissa;
    ivec_t<V> quotient;
    ivec_t<V> remainder;
    V scale;
};

template <typename V>
inline exponent_split_12<V> split_for_5_12_power_ps(V value) {
    using I = ivec_t<V>;
    const V zero = splat<V>(0.0f);
    // Scaling by 2^25 (exact below 2^103) makes subnormals normal, so one
    // reading of the exponent bits serves every nonzero value.
    const I bits = float_bits(value * splat<V>(0x1p25f));
    const I biased = shift_right<23>(bit_and(bits, splat_i32<I>(0x7F800000)));
    // frexpf gives 0 with exponent 0.
    const V nonzero = neq(value, zero);
    const I exponent = bit_and(float_bits(nonzero), lane_sub(biased, splat_i32<I>(126 + 25)));
    const I mantissa_bits = bit_or(bit_and(bits, splat_i32<I>(static_cast<int32_t>(0x807FFFFFu))),
                                   splat_i32<I>(0x3F000000));
    const V mantissa = select(nonzero, bits_float(mantissa_bits), value);
    // floor(exponent / 12) for exponents from -156 on: (n * 2731) >> 15 is
    // floor(n / 12) for 0 <= n < 8192.
    const I quotient =
        lane_sub(shift_right<15>(lane_mul(lane_add(exponent, splat_i32<I>(156)), splat_i32<I>(2731))),
                 splat_i32<I>(13));
    const I remainder = lane_sub(exponent, lane_mul(quotient, splat_i32<I>(12)));
    // entry * 2^(5 * quotient), by adding 5 * quotient to the exponent bits:
    // exact, since the product stays normal.
    const V entry = lookup12(k_pow_5_12_scale_table, remainder);
    const V scale = keep_if(
        gt(value, zero),
        bits_float(lane_add(float_bits(entry), lane_mul(quotient, splat_i32<I>(5 << 23)))));
    return exponent_split_12<V>{mantissa, quotient, remainder, scale};
}

// value^(5/12) = mantissa^(5/12) * 2^(5 * quotient) * 2^(5 * remainder / 12)
// for value = mantissa * 2^(12 * quotient + remainder); clamped to [0, 1].
template <typename V>
inline V pow_1_over_2_4_approx_ps(V value) {
    const exponent_split_12<V> split = split_for_5_12_power_ps(value);
    return clamp_unit(pow_5_12_mantissa_poly_ps(split.mantissa) * split.scale);
}

// Within 1.9e-5 of the exact curve; the result is in [0, 1] without a
// further clamp: the linear segment gives at most 0.0031308 * 12.92, and
// the power, itself clamped to [0, 1] and above 0.09 past the threshold,
// gives 0.04 .. 1.055 - 0.055 (0.99999994 in single precision).
template <typename V>
inline V linear_to_srgb_ps(V value) {
    const V clamped = clamp_unit(value);
    const V linear = clamped * splat<V>(k_srgb_linear_slope);
    const V pow_mask = gt(clamped, splat<V>(k_srgb_encode_threshold));
    const V pow_part = mul_add(pow_1_over_2_4_approx_ps(clamped), splat<V>(k_srgb_scale),
                               splat<V>(-k_srgb_offset));
    return select(pow_mask, pow_part, linear);
}

// 2^(j / 3) for j = 0..2 (the fourth entry is never used).
alignas(16) inline constexpr float k_cube_root_of_2_powers[4] = {1.0f, 1.2599211f, 1.587401f, 1.0f};

// Cube root of positive normal lanes, within one unit in the last place of
// the exact root (other lanes get an unspecified finite or NaN value and
// raise nothing). value = m * 2^(3k + j) with m in [1, 2) and j in 0..2;
// cbrt(value) = cbrt(m * 2^j) * 2^k. A cubic gives cbrt(m) within 7.3e-5,
// times 2^(j/3) a start y for the root of a = m * 2^j in [1, 8); one Newton
// step, y - (y^3 - a) / (3 y^2), leaves about 5e-9 of its own, and its
// residual, fused from the rounded y^2, adds at most a third of an ulp:
// 0.80 ulp in all (0.59 with y^2's rounding error added back, for 3% more
// time in an LCH kernel). The step is left as its parts so that a caller
// can share the division.
template <typename V>
struct cube_root_step {
    V start;
    V residual;
    V divisor;
    ivec_t<V> power;  // the root is (start - residual / divisor) * 2^power
};

template <typename V>
inline cube_root_step<V> cube_root_parts(V value) {
    using I = ivec_t<V>;
    const I bits = float_bits(value);
    // With n = biased exponent + 2 = e + 129: (n * 43691) >> 17 is
    // floor(n / 3) = k + 43 for 0 <= n < 2^17, and j = n - 3 (k + 43).
    const I n = lane_add(shift_right<23>(bits), splat_i32<I>(2));
    const I k43 = shift_right<17>(lane_mul(n, splat_i32<I>(43691)));
    const I j = lane_sub(n, lane_mul(k43, splat_i32<I>(3)));
    const I m_bits = bit_or(bit_and(bits, splat_i32<I>(0x007FFFFF)), splat_i32<I>(0x3F800000));
    const V m = bits_float(m_bits);
    const V a = bits_float(lane_add(m_bits, shift_left<23>(j)));
    V poly = splat<V>(0.023104919f);
    poly = mul_add(poly, m, splat<V>(-0.16296907f));
    poly = mul_add(poly, m, splat<V>(0.58711284f));
    poly = mul_add(poly, m, splat<V>(0.55282438f));
    const V y = poly * lookup4(k_cube_root_of_2_powers, j);
    const V y2 = y * y;
    const V residual = mul_add(y2, y, -a);
    return cube_root_step<V>{y, residual, y2 * splat<V>(3.0f),
                             lane_sub(k43, splat_i32<I>(43))};
}

template <typename V>
inline V cube_root_finish(const cube_root_step<V> &step, V quotient) {
    return scale_by_power_of_2(step.start - quotient, step.power);
}

// The Newton step's quotient: the residual is about 2.4e-5 of the root at
// most, so the reciprocal's error after one refinement (about 2^-22)
// vanishes in the root's rounding; this adds no measurable error to the
// root, and takes no division.
template <typename V>
inline V cube_root_quotient(const cube_root_step<V> &step) {
    return step.residual * refined_reciprocal(step.divisor);
}

template <typename V>
inline V cbrt_positive_ps(V value) {
    const cube_root_step<V> step = cube_root_parts(value);
    return cube_root_finish(step, cube_root_quotient(step));
}

// Above epsilon the vector cube root (within one unit in the last place of
// the exact root, as the library's cbrtf is), else the linear segment.
template <typename V>
inline V xyz_to_lab_component_ps(V value) {
    const V cbrt_mask = gt(value, splat<V>(k_lab_epsilon));
    const V linear = divide_by_constant(mul_add(value, splat<V>(k_lab_kappa), splat<V>(16.0f)),
                                        116.0f);
    return select(cbrt_mask, cbrt_positive_ps(value), linear);
}

template <typename V>
inline V lab_to_xyz_component_ps(V value) {
    const V value_cubed = (value * value) * value;
    const V linear =
        divide_by_constant(mul_add(value, splat<V>(116.0f), splat<V>(-16.0f)), k_lab_kappa);
    return select(gt(value_cubed, splat<V>(k_lab_epsilon)), value_cubed, linear);
}

// The matrix rows are summed blue, green, red (the scalar form sums green,
// red, blue).
template <typename V>
inline void linear_to_lab_ps(V red, V green, V blue, V *l, V *a, V *lab_b) {
    // The white point's divisions are folded into the rows.
    const V x = mul_add(red, splat<V>(0.4124564f / k_white_x),
                        mul_add(green, splat<V>(0.3575761f / k_white_x),
                                blue * splat<V>(0.1804375f / k_white_x)));
    const V y = mul_add(red, splat<V>(0.2126729f),
                        mul_add(green, splat<V>(0.7151522f), blue * splat<V>(0.072175f)));
    const V z = mul_add(red, splat<V>(0.0193339f / k_white_z),
                        mul_add(green, splat<V>(0.119192f / k_white_z),
                                blue * splat<V>(0.9503041f / k_white_z)));
    const V fx = xyz_to_lab_component_ps(x);
    const V fy = xyz_to_lab_component_ps(y);
    const V fz = xyz_to_lab_component_ps(z);
    *l = mul_add(fy, splat<V>(116.0f), splat<V>(-16.0f));
    *a = (fx - fy) * splat<V>(500.0f);
    *lab_b = (fy - fz) * splat<V>(200.0f);
}

template <typename V>
inline void rgb_to_lab_ps(V r, V g, V b, V *l, V *a, V *lab_b) {
    linear_to_lab_ps(srgb_to_linear_ps(r), srgb_to_linear_ps(g), srgb_to_linear_ps(b), l, a, lab_b);
}

// The matrix rows are summed z, y, x (the scalar form sums y, x, z).
template <typename V>
inline void lab_to_rgb_ps(V l, V a, V lab_b, V *r, V *g, V *b) {
    const V fy = (l + splat<V>(16.0f)) * splat<V>(1.0f / 116.0f);
    const V fx = mul_add(a, splat<V>(1.0f / 500.0f), fy);
    const V fz = fnmadd(lab_b, splat<V>(1.0f / 200.0f), fy);
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
