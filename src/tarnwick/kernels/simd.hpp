// Lane-width-generic arithmetic: one overload set for a single float, four
// lanes (__m128) and eight lanes (__m256), so a formula is written once as a
// template over the lane type V and instantiated for each width.
//
// Masks are `bool` for float and all-ones/all-zeros lanes for vectors;
// `select` picks by them. Every comparison is ordered (false for NaN) except
// `neq`, which is true for NaN (`neq_ordered` is its ordered form).
#pragma once

#include <immintrin.h>

#include <cmath>
#include <cstdint>
#include <utility>

#include "unit_clamp.hpp"

// Lanes of a float vector: 4 for __m128, 8 for __m256 (1 for float).
template <typename V> inline constexpr int lane_count = static_cast<int>(sizeof(V) / sizeof(float));

// The 32-bit integer vector of the same width as a float vector (overloads
// rather than a traits class: the vector types carry attributes that class
// template arguments would drop).
__m128i integer_vector_of(__m128);
__m256i integer_vector_of(__m256);
template <typename V> using ivec_t = decltype(integer_vector_of(std::declval<V>()));

// ---- broadcast and conversion -------------------------------------------

template <typename V> inline V splat(float value);
template <> inline float splat<float>(float value) { return value; }
template <> inline __m128 splat<__m128>(float value) { return _mm_set1_ps(value); }
template <> inline __m256 splat<__m256>(float value) { return _mm256_set1_ps(value); }

template <typename I> inline I splat_i32(int32_t value);
template <> inline __m128i splat_i32<__m128i>(int32_t value) { return _mm_set1_epi32(value); }
template <> inline __m256i splat_i32<__m256i>(int32_t value) { return _mm256_set1_epi32(value); }

inline __m128 to_float(__m128i v) { return _mm_cvtepi32_ps(v); }
inline __m256 to_float(__m256i v) { return _mm256_cvtepi32_ps(v); }

// ---- fused multiply-add ---------------------------------------------------

// a * b + c and c - a * b, one rounding each, per width; `mul_add` and
// `fnmadd` spell them once for every lane type.
inline __m128 mul_add_ps128(__m128 a, __m128 b, __m128 c) { return _mm_fmadd_ps(a, b, c); }
inline __m256 mul_add_ps256(__m256 a, __m256 b, __m256 c) { return _mm256_fmadd_ps(a, b, c); }
inline __m128 fnmadd_ps128(__m128 a, __m128 b, __m128 c) { return _mm_fnmadd_ps(a, b, c); }
inline __m256 fnmadd_ps256(__m256 a, __m256 b, __m256 c) { return _mm256_fnmadd_ps(a, b, c); }

inline float mul_add(float a, float b, float c) { return std::fma(a, b, c); }
inline __m128 mul_add(__m128 a, __m128 b, __m128 c) { return mul_add_ps128(a, b, c); }
inline __m256 mul_add(__m256 a, __m256 b, __m256 c) { return mul_add_ps256(a, b, c); }

inline float fnmadd(float a, float b, float c) { return std::fma(-a, b, c); }
inline __m128 fnmadd(__m128 a, __m128 b, __m128 c) { return fnmadd_ps128(a, b, c); }
inline __m256 fnmadd(__m256 a, __m256 b, __m256 c) { return fnmadd_ps256(a, b, c); }

// ---- minimum, maximum, absolute value -----------------------------------
// For floats these are the C library's fminf/fmaxf (a NaN operand yields the
// other one); the vector forms return the second operand when either lane is
// NaN. The two agree on every ordinary number.

inline float lane_min(float a, float b) { return std::fmin(a, b); }
inline __m128 lane_min(__m128 a, __m128 b) { return _mm_min_ps(a, b); }
inline __m256 lane_min(__m256 a, __m256 b) { return _mm256_min_ps(a, b); }

inline float lane_max(float a, float b) { return std::fmax(a, b); }
inline __m128 lane_max(__m128 a, __m128 b) { return _mm_max_ps(a, b); }
inline __m256 lane_max(__m256 a, __m256 b) { return _mm256_max_ps(a, b); }

inline float lane_abs(float a) { return std::fabs(a); }
inline __m128 lane_abs(__m128 a) { return _mm_andnot_ps(_mm_set1_ps(-0.0f), a); }
inline __m256 lane_abs(__m256 a) { return _mm256_andnot_ps(_mm256_set1_ps(-0.0f), a); }

inline float lane_floor(float a) { return std::floor(a); }
inline __m128 lane_floor(__m128 a) { return _mm_floor_ps(a); }
inline __m256 lane_floor(__m256 a) { return _mm256_floor_ps(a); }

inline float lane_sqrt(float a) { return std::sqrt(a); }
inline __m128 lane_sqrt(__m128 a) { return _mm_sqrt_ps(a); }
inline __m256 lane_sqrt(__m256 a) { return _mm256_sqrt_ps(a); }

// Into [0, 1]. The scalar clamp keeps NaN; the vector one takes the maximum
// first, which yields its second operand (0) for a NaN lane.
inline __m128 clamp01_ps128(__m128 value) {
    return _mm_min_ps(_mm_max_ps(value, _mm_setzero_ps()), _mm_set1_ps(1.0f));
}
inline __m256 clamp01_ps(__m256 value) {
    return _mm256_min_ps(_mm256_max_ps(value, _mm256_setzero_ps()), _mm256_set1_ps(1.0f));
}
inline float clamp_unit(float value) { return clamp01(value); }
inline __m128 clamp_unit(__m128 value) { return clamp01_ps128(value); }
inline __m256 clamp_unit(__m256 value) { return clamp01_ps(value); }

// ---- comparisons and selection -------------------------------------------

inline bool lt(float a, float b) { return a < b; }
inline bool le(float a, float b) { return a <= b; }
inline bool gt(float a, float b) { return a > b; }
inline bool ge(float a, float b) { return a >= b; }
inline bool eq(float a, float b) { return a == b; }
inline bool neq(float a, float b) { return a != b; }

inline __m128 lt(__m128 a, __m128 b) { return _mm_cmp_ps(a, b, _CMP_LT_OQ); }
inline __m128 le(__m128 a, __m128 b) { return _mm_cmp_ps(a, b, _CMP_LE_OQ); }
inline __m128 gt(__m128 a, __m128 b) { return _mm_cmp_ps(a, b, _CMP_GT_OQ); }
inline __m128 ge(__m128 a, __m128 b) { return _mm_cmp_ps(a, b, _CMP_GE_OQ); }
inline __m128 eq(__m128 a, __m128 b) { return _mm_cmp_ps(a, b, _CMP_EQ_OQ); }
inline __m128 neq(__m128 a, __m128 b) { return _mm_cmp_ps(a, b, _CMP_NEQ_UQ); }

inline __m256 lt(__m256 a, __m256 b) { return _mm256_cmp_ps(a, b, _CMP_LT_OQ); }
inline __m256 le(__m256 a, __m256 b) { return _mm256_cmp_ps(a, b, _CMP_LE_OQ); }
inline __m256 gt(__m256 a, __m256 b) { return _mm256_cmp_ps(a, b, _CMP_GT_OQ); }
inline __m256 ge(__m256 a, __m256 b) { return _mm256_cmp_ps(a, b, _CMP_GE_OQ); }
inline __m256 eq(__m256 a, __m256 b) { return _mm256_cmp_ps(a, b, _CMP_EQ_OQ); }
inline __m256 neq(__m256 a, __m256 b) { return _mm256_cmp_ps(a, b, _CMP_NEQ_UQ); }

// Not-equal as an ordered comparison: false when either operand is NaN.
inline bool neq_ordered(float a, float b) { return a < b || a > b; }
inline __m128 neq_ordered(__m128 a, __m128 b) { return _mm_cmp_ps(a, b, _CMP_NEQ_OQ); }
inline __m256 neq_ordered(__m256 a, __m256 b) { return _mm256_cmp_ps(a, b, _CMP_NEQ_OQ); }

inline bool mask_and(bool a, bool b) { return a && b; }
inline __m128 mask_and(__m128 a, __m128 b) { return _mm_and_ps(a, b); }
inline __m256 mask_and(__m256 a, __m256 b) { return _mm256_and_ps(a, b); }

inline bool mask_or(bool a, bool b) { return a || b; }
inline __m128 mask_or(__m128 a, __m128 b) { return _mm_or_ps(a, b); }
inline __m256 mask_or(__m256 a, __m256 b) { return _mm256_or_ps(a, b); }

// `if_true` where the mask holds, else `if_false`.
inline float select(bool mask, float if_true, float if_false) { return mask ? if_true : if_false; }
inline __m128 select(__m128 mask, __m128 if_true, __m128 if_false) {
    return _mm_blendv_ps(if_false, if_true, mask);
}
inline __m256 select(__m256 mask, __m256 if_true, __m256 if_false) {
    return _mm256_blendv_ps(if_false, if_true, mask);
}

// `value` where the mask holds, else 0.
inline float keep_if(bool mask, float value) { return mask ? value : 0.0f; }
inline __m128 keep_if(__m128 mask, __m128 value) { return _mm_and_ps(mask, value); }
inline __m256 keep_if(__m256 mask, __m256 value) { return _mm256_and_ps(mask, value); }

// ---- 32-bit integer lanes (byte values widened) ---------------------------

inline __m128i lane_add(__m128i a, __m128i b) { return _mm_add_epi32(a, b); }
inline __m256i lane_add(__m256i a, __m256i b) { return _mm256_add_epi32(a, b); }
inline __m128i lane_sub(__m128i a, __m128i b) { return _mm_sub_epi32(a, b); }
inline __m256i lane_sub(__m256i a, __m256i b) { return _mm256_sub_epi32(a, b); }
inline __m128i lane_mul(__m128i a, __m128i b) { return _mm_mullo_epi32(a, b); }
inline __m256i lane_mul(__m256i a, __m256i b) { return _mm256_mullo_epi32(a, b); }
inline __m128i lane_min_u32(__m128i a, __m128i b) { return _mm_min_epu32(a, b); }
inline __m256i lane_min_u32(__m256i a, __m256i b) { return _mm256_min_epu32(a, b); }
inline __m128i lane_max_u32(__m128i a, __m128i b) { return _mm_max_epu32(a, b); }
inline __m256i lane_max_u32(__m256i a, __m256i b) { return _mm256_max_epu32(a, b); }
inline __m128i lane_abs(__m128i a) { return _mm_abs_epi32(a); }
inline __m256i lane_abs(__m256i a) { return _mm256_abs_epi32(a); }
inline __m128i lane_min_i32(__m128i a, __m128i b) { return _mm_min_epi32(a, b); }
inline __m256i lane_min_i32(__m256i a, __m256i b) { return _mm256_min_epi32(a, b); }
// Each lane shifted left by its own count; counts past 31 give 0.
inline __m128i shift_left_by(__m128i v, __m128i counts) { return _mm_sllv_epi32(v, counts); }
inline __m256i shift_left_by(__m256i v, __m256i counts) { return _mm256_sllv_epi32(v, counts); }

// Toward zero; NaN and out-of-range lanes give the integer minimum.
inline __m128i truncate_to_i32(__m128 v) { return _mm_cvttps_epi32(v); }
inline __m256i truncate_to_i32(__m256 v) { return _mm256_cvttps_epi32(v); }

// The same bits read as the other lane type.
inline __m128i float_bits(__m128 v) { return _mm_castps_si128(v); }
inline __m256i float_bits(__m256 v) { return _mm256_castps_si256(v); }
inline __m128 bits_float(__m128i v) { return _mm_castsi128_ps(v); }
inline __m256 bits_float(__m256i v) { return _mm256_castsi256_ps(v); }
