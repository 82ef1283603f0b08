// Four or eight pixels at a time between the interleaved image arrays and
// planar channel vectors (lane i holds pixel index + i), for both element
// types and both channel counts, and the small helpers the vector kernels
// share.
//
// Every access touches only the bytes of its own pixels: a 12-byte group of
// 3-channel bytes is read and written as 8 + 4 bytes, so a group that ends
// exactly at the end of an image never reaches past it.
//
// Each operation is written once as a template over the lane width. An
// eight-lane operation does to each 128-bit half exactly what the four-lane
// one does to its four pixels (lanes 0..3 are pixels index..index+3, lanes
// 4..7 the next four), so both widths store identical values.
#pragma once

#include <immintrin.h>

#include <cstdint>
#include <cstring>
#include <utility>

#include "blend_inputs.hpp"
#include "channel_access.hpp"
#include "simd.hpp"

// The float nearest 1/255 (bit pattern 0x3B808081). Pointer-based loads
// multiply by it; it is slightly above 1/255, so every byte survives a load
// followed by any byte pack.
inline constexpr float k_inv255 = 0x1.010102p-8f;
// The float nearest 1/65535: 65535 times it is exactly 1, and every uint16
// value times it rounds back to itself.
inline constexpr float k_inv65535 = 1.0f / 65535.0f;

// ---- byte shuffle masks ---------------------------------------------------
// A mask byte selects the source byte with that index; 0x80 writes zero.

alignas(16) inline constexpr uint8_t k_mask_rgba_r[16] = {
    0x00, 0x04, 0x08, 0x0C, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};
alignas(16) inline constexpr uint8_t k_mask_rgba_g[16] = {
    0x01, 0x05, 0x09, 0x0D, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};
alignas(16) inline constexpr uint8_t k_mask_rgba_b[16] = {
    0x02, 0x06, 0x0A, 0x0E, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};
alignas(16) inline constexpr uint8_t k_mask_rgba_a[16] = {
    0x03, 0x07, 0x0B, 0x0F, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};
alignas(16) inline constexpr uint8_t k_mask_rgb_r[16] = {
    0x00, 0x03, 0x06, 0x09, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};
alignas(16) inline constexpr uint8_t k_mask_rgb_g[16] = {
    0x01, 0x04, 0x07, 0x0A, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};
alignas(16) inline constexpr uint8_t k_mask_rgb_b[16] = {
    0x02, 0x05, 0x08, 0x0B, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};
alignas(16) inline constexpr uint8_t k_mask_pack_rgb_r[16] = {
    0x00, 0x80, 0x80, 0x01, 0x80, 0x80, 0x02, 0x80, 0x80, 0x03, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};
alignas(16) inline constexpr uint8_t k_mask_pack_rgb_g[16] = {
    0x80, 0x00, 0x80, 0x80, 0x01, 0x80, 0x80, 0x02, 0x80, 0x80, 0x03, 0x80, 0x80, 0x80, 0x80, 0x80};
alignas(16) inline constexpr uint8_t k_mask_pack_rgb_b[16] = {
    0x80, 0x80, 0x00, 0x80, 0x80, 0x01, 0x80, 0x80, 0x02, 0x80, 0x80, 0x03, 0x80, 0x80, 0x80, 0x80};

struct byte_mask {
    alignas(16) uint8_t bytes[16];
};

// The gather masks with each selected byte moved to the bottom of its own
// 32-bit lane: one shuffle then both picks a channel and zero-extends it.
constexpr byte_mask widen_mask_to_u32_lanes(const uint8_t (&mask)[16]) {
    byte_mask out{};
    for (int i = 0; i < 16; ++i) {
        out.bytes[i] = i % 4 == 0 ? mask[i / 4] : 0x80;
    }
    return out;
}

// The three placement masks as one shuffle of the planar bytes
// r0..r3 g0..g3 b0..b3 (source bytes 0..3, 4..7, 8..11).
constexpr byte_mask merge_rgb_pack_masks(const uint8_t (&r)[16], const uint8_t (&g)[16],
                                         const uint8_t (&b)[16]) {
    byte_mask out{};
    for (int i = 0; i < 16; ++i) {
        out.bytes[i] = r[i] != 0x80   ? r[i]
                       : g[i] != 0x80 ? static_cast<uint8_t>(g[i] + 4)
                       : b[i] != 0x80 ? static_cast<uint8_t>(b[i] + 8)
                                      : 0x80;
    }
    return out;
}

// Planar r0..r3 g0..g3 b0..b3 a0..a3 back to R0 G0 B0 A0 R1 ...: a 4 x 4 byte
// transpose, so the gather masks' selections in sequence.
constexpr byte_mask concat_gather_masks(const uint8_t (&r)[16], const uint8_t (&g)[16],
                                        const uint8_t (&b)[16], const uint8_t (&a)[16]) {
    byte_mask out{};
    for (int i = 0; i < 4; ++i) {
        out.bytes[i] = r[i];
        out.bytes[4 + i] = g[i];
        out.bytes[8 + i] = b[i];
        out.bytes[12 + i] = a[i];
    }
    return out;
}

inline constexpr byte_mask k_mask_rgba_r_u32 = widen_mask_to_u32_lanes(k_mask_rgba_r);
inline constexpr byte_mask k_mask_rgba_g_u32 = widen_mask_to_u32_lanes(k_mask_rgba_g);
inline constexpr byte_mask k_mask_rgba_b_u32 = widen_mask_to_u32_lanes(k_mask_rgba_b);
inline constexpr byte_mask k_mask_rgba_a_u32 = widen_mask_to_u32_lanes(k_mask_rgba_a);
inline constexpr byte_mask k_mask_rgb_r_u32 = widen_mask_to_u32_lanes(k_mask_rgb_r);
inline constexpr byte_mask k_mask_rgb_g_u32 = widen_mask_to_u32_lanes(k_mask_rgb_g);
inline constexpr byte_mask k_mask_rgb_b_u32 = widen_mask_to_u32_lanes(k_mask_rgb_b);
inline constexpr byte_mask k_mask_pack_rgb_planar =
    merge_rgb_pack_masks(k_mask_pack_rgb_r, k_mask_pack_rgb_g, k_mask_pack_rgb_b);
inline constexpr byte_mask k_mask_pack_rgba_planar =
    concat_gather_masks(k_mask_rgba_r, k_mask_rgba_g, k_mask_rgba_b, k_mask_rgba_a);

// ---- lane-width plumbing --------------------------------------------------


// Two four-pixel groups as the low and high half of one eight-lane vector.
inline __m256 join_halves(__m128 lo, __m128 hi) {
    return _mm256_insertf128_ps(_mm256_castps128_ps256(lo), hi, 1);
}
inline __m256i join_halves(__m128i lo, __m128i hi) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
}
inline __m128 low_half(__m256 v) { return _mm256_castps256_ps128(v); }
inline __m128 high_half(__m256 v) { return _mm256_extractf128_ps(v, 1); }
inline __m128i low_half(__m256i v) { return _mm256_castsi256_si128(v); }
inline __m128i high_half(__m256i v) { return _mm256_extracti128_si256(v, 1); }

inline __m128i mask_vector(const byte_mask &mask) {
    return _mm_load_si128(reinterpret_cast<const __m128i *>(mask.bytes));
}
// The eight-lane form applies the same mask to each 16-byte half.
inline __m128i shuffle_bytes(__m128i v, const byte_mask &mask) {
    return _mm_shuffle_epi8(v, mask_vector(mask));
}
inline __m256i shuffle_bytes(__m256i v, const byte_mask &mask) {
    return _mm256_shuffle_epi8(v, _mm256_broadcastsi128_si256(mask_vector(mask)));
}

// Per-half float blends and shuffles (the immediate applies to each half).
template <int imm> inline __m128 blend_lanes(__m128 a, __m128 b) { return _mm_blend_ps(a, b, imm); }
template <int imm> inline __m256 blend_lanes(__m256 a, __m256 b) {
    return _mm256_blend_ps(a, b, imm | (imm << 4));
}
template <int imm> inline __m128 shuffle_lanes(__m128 a, __m128 b) {
    return _mm_shuffle_ps(a, b, imm);
}
template <int imm> inline __m256 shuffle_lanes(__m256 a, __m256 b) {
    return _mm256_shuffle_ps(a, b, imm);
}

// Round to nearest, ties to even (the processor's default rounding).
inline __m128i round_to_i32(__m128 v) { return _mm_cvtps_epi32(v); }
inline __m256i round_to_i32(__m256 v) { return _mm256_cvtps_epi32(v); }

// ---- memory access ----------------------------------------------------------

inline __m128i load_bytes8(const uint8_t *p) {
    int64_t bytes;
    std::memcpy(&bytes, p, 8);
    return _mm_cvtsi64_si128(bytes);
}
inline void store_bytes8(uint8_t *p, __m128i v) {
    const int64_t bytes = _mm_cvtsi128_si64(v);
    std::memcpy(p, &bytes, 8);
}
inline __m128i load_bytes16(const uint8_t *p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}
inline void store_bytes16(uint8_t *p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v);
}

// Exactly 12 bytes, as 8 + 4: never a 16-byte access that could pass the
// end of an image.
inline __m128i load_rgb4_u8_bytes_sse(const uint8_t *p) {
    int32_t high;
    std::memcpy(&high, p + 8, 4);
    return _mm_insert_epi32(load_bytes8(p), high, 2);
}

inline void store_rgb4_u8_bytes_sse(uint8_t *p, __m128i bytes) {
    const int32_t high = _mm_extract_epi32(bytes, 2);
    store_bytes8(p, bytes);
    std::memcpy(p + 8, &high, 4);
}

// The 3-channel bytes of one group: 12 bytes for four lanes, 12 + 12 (one
// per half) for eight.
template <typename I> inline I load_rgb_u8_group(const uint8_t *p);
template <> inline __m128i load_rgb_u8_group<__m128i>(const uint8_t *p) {
    return load_rgb4_u8_bytes_sse(p);
}
template <> inline __m256i load_rgb_u8_group<__m256i>(const uint8_t *p) {
    return join_halves(load_rgb4_u8_bytes_sse(p), load_rgb4_u8_bytes_sse(p + 12));
}
inline void store_rgb_u8_group(uint8_t *p, __m128i bytes) { store_rgb4_u8_bytes_sse(p, bytes); }
inline void store_rgb_u8_group(uint8_t *p, __m256i bytes) {
    store_rgb4_u8_bytes_sse(p, low_half(bytes));
    store_rgb4_u8_bytes_sse(p + 12, high_half(bytes));
}

template <typename I> inline I load_rgba_u8_group(const uint8_t *p);
template <> inline __m128i load_rgba_u8_group<__m128i>(const uint8_t *p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}
template <> inline __m256i load_rgba_u8_group<__m256i>(const uint8_t *p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}
inline void store_rgba_u8_group(uint8_t *p, __m128i bytes) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p), bytes);
}
inline void store_rgba_u8_group(uint8_t *p, __m256i bytes) {
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), bytes);
}

// Four floats at `p`; for eight lanes the high half comes from the next
// pixel group, `group_floats` further on.
template <typename V> inline V load_f32_group(const float *p, int group_floats);
template <typename V> inline V load_f32_group(const uint16_t *p, int group_values);
template <> inline __m128 load_f32_group<__m128>(const float *p, int) { return _mm_loadu_ps(p); }
template <> inline __m256 load_f32_group<__m256>(const float *p, int group_floats) {
    return join_halves(_mm_loadu_ps(p), _mm_loadu_ps(p + group_floats));
}
// Four uint16 values at `p` as floats, grouped as load_f32_group groups.
inline __m128i load_u16x4(const uint16_t *p) {
    return _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p));
}
template <> inline __m128 load_f32_group<__m128>(const uint16_t *p, int) {
    return _mm_cvtepi32_ps(_mm_cvtepu16_epi32(load_u16x4(p)));
}
template <> inline __m256 load_f32_group<__m256>(const uint16_t *p, int group_values) {
    return _mm256_cvtepi32_ps(
        _mm256_cvtepu16_epi32(_mm_unpacklo_epi64(load_u16x4(p), load_u16x4(p + group_values))));
}

// Values on 0..65535 as uint16: capped at 65535 in float (65535 the first
// operand, so NaN stays NaN and converts to the integer minimum), rounded
// to nearest with ties to even, narrowed with unsigned saturation (NaN and
// anything negative give 0).
inline void store_f32_group(uint16_t *p, int, __m128 v) {
    const __m128i i = _mm_cvtps_epi32(_mm_min_ps(_mm_set1_ps(65535.0f), v));
    _mm_storel_epi64(reinterpret_cast<__m128i *>(p), _mm_packus_epi32(i, i));
}
inline void store_f32_group(uint16_t *p, int group_values, __m256 v) {
    const __m256i i = _mm256_cvtps_epi32(_mm256_min_ps(_mm256_set1_ps(65535.0f), v));
    const __m256i narrow = _mm256_packus_epi32(i, i);
    _mm_storel_epi64(reinterpret_cast<__m128i *>(p), low_half(narrow));
    _mm_storel_epi64(reinterpret_cast<__m128i *>(p + group_values), high_half(narrow));
}

inline void store_f32_group(float *p, int, __m128 v) { _mm_storeu_ps(p, v); }
inline void store_f32_group(float *p, int group_floats, __m256 v) {
    _mm_storeu_ps(p, low_half(v));
    _mm_storeu_ps(p + group_floats, high_half(v));
}

// Four or eight consecutive floats; `aligned` picks the aligned form.
// `load_f32_lanes` / `store_f32_lanes` spell them for either width.
inline __m128 load_f32x4(const float *p, int aligned) {
    return aligned ? _mm_load_ps(p) : _mm_loadu_ps(p);
}
inline __m256 load_f32x8(const float *p, int aligned) {
    return aligned ? _mm256_load_ps(p) : _mm256_loadu_ps(p);
}
inline void store_f32x4(float *p, __m128 value, int aligned) {
    if (aligned) {
        _mm_store_ps(p, value);
    } else {
        _mm_storeu_ps(p, value);
    }
}
inline void store_f32x8(float *p, __m256 value, int aligned) {
    if (aligned) {
        _mm256_store_ps(p, value);
    } else {
        _mm256_storeu_ps(p, value);
    }
}
template <typename V> inline V load_f32_lanes(const float *p, int aligned);
template <> inline __m128 load_f32_lanes<__m128>(const float *p, int aligned) {
    return load_f32x4(p, aligned);
}
template <> inline __m256 load_f32_lanes<__m256>(const float *p, int aligned) {
    return load_f32x8(p, aligned);
}
inline void store_f32_lanes(float *p, __m128 value, int aligned) { store_f32x4(p, value, aligned); }
inline void store_f32_lanes(float *p, __m256 value, int aligned) { store_f32x8(p, value, aligned); }

// How far ahead of pixel `pixel` of an image the loops hint its bytes. Once
// a loop does much work per byte, the hardware prefetcher falls behind a
// stream that is read and written in place (the call into the background):
// measured, up to twice the time of a separate output without the hint.
inline constexpr npy_intp k_prefetch_bytes = 1024;

// Prefetches k_prefetch_bytes past pixel `pixel` of an image. The address
// may lie past the end of the image: a prefetch never faults, and the address
// is formed as an integer because pointer arithmetic beyond the array would
// be undefined. Written as the instruction: GCC drops the intrinsic's hint
// from some of these loops.
template <typename T>
inline void prefetch_pixel(const T *data, int channels, npy_intp pixel) {
    const uintptr_t address = reinterpret_cast<uintptr_t>(data) +
                              static_cast<uintptr_t>(pixel * channels) * sizeof(T) +
                              static_cast<uintptr_t>(k_prefetch_bytes);
    __asm__ volatile("prefetcht0 (%0)" : : "r"(address));
}

// ---- arithmetic helpers -----------------------------------------------------

// Raw byte values in 32-bit lanes to unit values (times the reciprocal).
inline __m128 u32_to_unit_f32_sse(__m128i v, __m128 inv255) { return _mm_cvtepi32_ps(v) * inv255; }
inline __m256 u32_to_unit_f32_avx2(__m256i v, __m256 inv255) {
    return _mm256_cvtepi32_ps(v) * inv255;
}
inline __m128 u32_to_unit(__m128i v, __m128 inv255) { return u32_to_unit_f32_sse(v, inv255); }
inline __m256 u32_to_unit(__m256i v, __m256 inv255) { return u32_to_unit_f32_avx2(v, inv255); }

// ---- planar form ------------------------------------------------------------

template <typename I> inline void rgb_bytes_to_u32(I bytes, I &r, I &g, I &b) {
    r = shuffle_bytes(bytes, k_mask_rgb_r_u32);
    g = shuffle_bytes(bytes, k_mask_rgb_g_u32);
    b = shuffle_bytes(bytes, k_mask_rgb_b_u32);
}

template <typename I> inline void rgba_bytes_to_u32(I bytes, I &r, I &g, I &b, I &a) {
    r = shuffle_bytes(bytes, k_mask_rgba_r_u32);
    g = shuffle_bytes(bytes, k_mask_rgba_g_u32);
    b = shuffle_bytes(bytes, k_mask_rgba_b_u32);
    a = shuffle_bytes(bytes, k_mask_rgba_a_u32);
}

// x0 x1 x2 = r0 g0 b0 r1 | g1 b1 r2 g2 | b2 r3 g3 b3 (per half) to planar.
template <typename V> inline void deinterleave_rgb_f32(V x0, V x1, V x2, V &r, V &g, V &b) {
    const V tr = blend_lanes<0b0010>(blend_lanes<0b0100>(x0, x1), x2);  // r0 r3 r2 r1
    const V tg = blend_lanes<0b0100>(blend_lanes<0b0010>(x1, x0), x2);  // g1 g0 g3 g2
    const V tb = blend_lanes<0b0010>(blend_lanes<0b0100>(x2, x0), x1);  // b2 b1 b0 b3
    r = shuffle_lanes<_MM_SHUFFLE(1, 2, 3, 0)>(tr, tr);
    g = shuffle_lanes<_MM_SHUFFLE(2, 3, 0, 1)>(tg, tg);
    b = shuffle_lanes<_MM_SHUFFLE(3, 0, 1, 2)>(tb, tb);
}

// The inverse of deinterleave_rgb_f32 (each lane permutation is its own
// inverse).
template <typename V> inline void interleave_rgb_f32(V r, V g, V b, V &x0, V &x1, V &x2) {
    const V tr = shuffle_lanes<_MM_SHUFFLE(1, 2, 3, 0)>(r, r);
    const V tg = shuffle_lanes<_MM_SHUFFLE(2, 3, 0, 1)>(g, g);
    const V tb = shuffle_lanes<_MM_SHUFFLE(3, 0, 1, 2)>(b, b);
    x0 = blend_lanes<0b0100>(blend_lanes<0b0010>(tr, tg), tb);
    x1 = blend_lanes<0b0100>(blend_lanes<0b0010>(tg, tb), tr);
    x2 = blend_lanes<0b0100>(blend_lanes<0b0010>(tb, tr), tg);
}

// 4 x 4 transpose within each half; its own inverse.
template <typename V> inline void transpose4_f32(V &a, V &b, V &c, V &d) {
    const V ab_lo = shuffle_lanes<_MM_SHUFFLE(1, 0, 1, 0)>(a, b);
    const V ab_hi = shuffle_lanes<_MM_SHUFFLE(3, 2, 3, 2)>(a, b);
    const V cd_lo = shuffle_lanes<_MM_SHUFFLE(1, 0, 1, 0)>(c, d);
    const V cd_hi = shuffle_lanes<_MM_SHUFFLE(3, 2, 3, 2)>(c, d);
    a = shuffle_lanes<_MM_SHUFFLE(2, 0, 2, 0)>(ab_lo, cd_lo);
    b = shuffle_lanes<_MM_SHUFFLE(3, 1, 3, 1)>(ab_lo, cd_lo);
    c = shuffle_lanes<_MM_SHUFFLE(2, 0, 2, 0)>(ab_hi, cd_hi);
    d = shuffle_lanes<_MM_SHUFFLE(3, 1, 3, 1)>(ab_hi, cd_hi);
}

// ---- width-generic loads from a pointer to the group's first pixel ---------
// Unit values are multiplied by `inv255`, never divided.

template <typename V>
inline void load_rgb_u32_group(const uint8_t *p, ivec_t<V> &r, ivec_t<V> &g, ivec_t<V> &b) {
    rgb_bytes_to_u32(load_rgb_u8_group<ivec_t<V>>(p), r, g, b);
}

template <typename V> inline void load_rgb_group(const uint8_t *p, V inv255, V &r, V &g, V &b) {
    ivec_t<V> ri, gi, bi;
    load_rgb_u32_group<V>(p, ri, gi, bi);
    r = u32_to_unit(ri, inv255);
    g = u32_to_unit(gi, inv255);
    b = u32_to_unit(bi, inv255);
}

template <typename V>
inline void load_rgba_group(const uint8_t *p, V inv255, V &r, V &g, V &b, V &a) {
    ivec_t<V> ri, gi, bi, ai;
    rgba_bytes_to_u32(load_rgba_u8_group<ivec_t<V>>(p), ri, gi, bi, ai);
    r = u32_to_unit(ri, inv255);
    g = u32_to_unit(gi, inv255);
    b = u32_to_unit(bi, inv255);
    a = u32_to_unit(ai, inv255);
}

// Floats, or uint16 values widened to floats, interleaved as stored.
template <typename V, typename E>
inline void load_rgb_elements(const E *p, V inv255, V &r, V &g, V &b) {
    deinterleave_rgb_f32(load_f32_group<V>(p, 12), load_f32_group<V>(p + 4, 12),
                         load_f32_group<V>(p + 8, 12), r, g, b);
    r = r * inv255;
    g = g * inv255;
    b = b * inv255;
}

template <typename V, typename E>
inline void load_rgba_elements(const E *p, V inv255, V &r, V &g, V &b, V &a) {
    r = load_f32_group<V>(p, 16);
    g = load_f32_group<V>(p + 4, 16);
    b = load_f32_group<V>(p + 8, 16);
    a = load_f32_group<V>(p + 12, 16);
    transpose4_f32(r, g, b, a);
    r = r * inv255;
    g = g * inv255;
    b = b * inv255;
    a = a * inv255;
}

template <typename V> inline void load_rgb_group(const float *p, V inv255, V &r, V &g, V &b) {
    load_rgb_elements(p, inv255, r, g, b);
}
template <typename V>
inline void load_rgba_group(const float *p, V inv255, V &r, V &g, V &b, V &a) {
    load_rgba_elements(p, inv255, r, g, b, a);
}

// ---- width-generic packs and stores ----------------------------------------

// Unit values to 32-bit lanes ready for a saturating narrow to bytes: times
// 255, capped at 255 in float, rounded to nearest with ties to even. The cap
// comes first with 255 as its first operand, so a NaN lane stays NaN and
// converts to the integer minimum; the narrow then gives 0 for NaN and
// anything negative, and 255 for anything at or above 255, +infinity included.
template <typename V> inline ivec_t<V> unit_to_byte_lanes(V x) {
    return round_to_i32(lane_min(splat<V>(255.0f), x * splat<V>(255.0f)));
}

// 32-bit lanes to bytes, planar per 16-byte half: r0..r3 g0..g3 b0..b3 and
// then a0..a3 (or b0..b3 again), with unsigned saturation (negative lanes
// give 0, lanes above 255 give 255).
inline __m128i narrow_planar(__m128i r, __m128i g, __m128i b, __m128i a) {
    return _mm_packus_epi16(_mm_packus_epi32(r, g), _mm_packus_epi32(b, a));
}
inline __m256i narrow_planar(__m256i r, __m256i g, __m256i b, __m256i a) {
    return _mm256_packus_epi16(_mm256_packus_epi32(r, g), _mm256_packus_epi32(b, a));
}

// Interleaved RGB bytes, 12 per 16-byte half (zero above).
template <typename I> inline I pack_rgb_u32_lanes(I r, I g, I b) {
    return shuffle_bytes(narrow_planar(r, g, b, b), k_mask_pack_rgb_planar);
}

// Interleaved RGBA bytes, 16 per half: one pixel per 32-bit lane.
template <typename I> inline I pack_rgba_u32_lanes(I r, I g, I b, I a) {
    return shuffle_bytes(narrow_planar(r, g, b, a), k_mask_pack_rgba_planar);
}

template <typename V> inline ivec_t<V> pack_rgba_unit_lanes(V r, V g, V b, V a) {
    return pack_rgba_u32_lanes(unit_to_byte_lanes(r), unit_to_byte_lanes(g), unit_to_byte_lanes(b),
                               unit_to_byte_lanes(a));
}

template <typename I> inline void store_rgb_u32_group(uint8_t *p, I r, I g, I b) {
    store_rgb_u8_group(p, pack_rgb_u32_lanes(r, g, b));
}

// Rounds like every other byte pack: a truncating 3-channel pack would make
// a pixel's value depend on whether it fell into a vector group or the
// scalar tail.
template <typename V> inline void store_rgb_group(uint8_t *p, V r, V g, V b) {
    store_rgb_u32_group(p, unit_to_byte_lanes(r), unit_to_byte_lanes(g), unit_to_byte_lanes(b));
}

template <typename V> inline void store_rgba_group(uint8_t *p, V r, V g, V b, V a) {
    store_rgba_u8_group(p, pack_rgba_unit_lanes(r, g, b, a));
}

// Float values already on the stored 0..255 scale, interleaved as they are.
template <typename V, typename E>
__attribute__((always_inline)) inline void store_stored_rgb_group(E *p, V r, V g, V b) {
    V x0, x1, x2;
    interleave_rgb_f32(r, g, b, x0, x1, x2);
    store_f32_group(p, 12, x0);
    store_f32_group(p + 4, 12, x1);
    store_f32_group(p + 8, 12, x2);
}

template <typename V, typename E>
__attribute__((always_inline)) inline void store_stored_rgba_group(E *p, V r, V g, V b, V a) {
    transpose4_f32(r, g, b, a);
    store_f32_group(p, 16, r);
    store_f32_group(p + 4, 16, g);
    store_f32_group(p + 8, 16, b);
    store_f32_group(p + 12, 16, a);
}

// Float outputs: times 255, no clamp.
template <typename V> inline void store_rgb_group(float *p, V r, V g, V b) {
    const V scale = splat<V>(255.0f);
    store_stored_rgb_group(p, r * scale, g * scale, b * scale);
}

template <typename V> inline void store_rgba_group(float *p, V r, V g, V b, V a) {
    const V scale = splat<V>(255.0f);
    store_stored_rgba_group(p, r * scale, g * scale, b * scale, a * scale);
}

// ---- width-generic loads and stores by image record ------------------------
// The colour-model compositor's access. Float values and alphas are divided
// by 255 exactly as the scalar readers do (a vector division rounds the same).

template <typename V> inline V from_lane_array(const float *lanes);
template <> inline __m128 from_lane_array<__m128>(const float *lanes) {
    return _mm_loadu_ps(lanes);
}
template <> inline __m256 from_lane_array<__m256>(const float *lanes) {
    return _mm256_loadu_ps(lanes);
}
inline void to_lane_array(float *lanes, __m128 v) { _mm_storeu_ps(lanes, v); }
inline void to_lane_array(float *lanes, __m256 v) { _mm256_storeu_ps(lanes, v); }

template <typename V, typename T>
inline void load_rgb_by_scalar_reads(const T *data, int channels, npy_intp index, V &r, V &g,
                                     V &b) {
    float lanes[3][lane_count<V>];
    for (int i = 0; i < lane_count<V>; ++i) {
        for (int c = 0; c < 3; ++c) {
            lanes[c][i] = read_unit(data, (index + i) * channels + c);
        }
    }
    r = from_lane_array<V>(lanes[0]);
    g = from_lane_array<V>(lanes[1]);
    b = from_lane_array<V>(lanes[2]);
}

template <typename V>
inline void load_rgb_record(const uint8_t *data, int channels, npy_intp index, V &r, V &g, V &b) {
    const V inv255 = splat<V>(k_inv255);
    if (channels == 3) {
        load_rgb_group(data + index * 3, inv255, r, g, b);
    } else if (channels == 4) {
        V a;
        load_rgba_group(data + index * 4, inv255, r, g, b, a);
    } else {
        load_rgb_by_scalar_reads(data, channels, index, r, g, b);
    }
}

template <typename V>
inline void load_rgb_record(const float *data, int channels, npy_intp index, V &r, V &g, V &b) {
    const V one = splat<V>(1.0f);
    const V scale = splat<V>(255.0f);
    if (channels == 3) {
        load_rgb_group(data + index * 3, one, r, g, b);
    } else if (channels == 4) {
        V a;
        load_rgba_group(data + index * 4, one, r, g, b, a);
    } else {
        load_rgb_by_scalar_reads(data, channels, index, r, g, b);
        return;
    }
    r = r / scale;
    g = g / scale;
    b = b / scale;
}

template <typename V>
inline V load_alpha_record(const uint8_t *data, int channels, npy_intp index) {
    if (channels != 4) {
        return splat<V>(1.0f);
    }
    ivec_t<V> r, g, b, a;
    rgba_bytes_to_u32(load_rgba_u8_group<ivec_t<V>>(data + index * 4), r, g, b, a);
    return to_float(a) / splat<V>(255.0f);
}

template <typename V>
inline V load_alpha_record(const float *data, int channels, npy_intp index) {
    if (channels != 4) {
        return splat<V>(1.0f);
    }
    V r, g, b, a;
    load_rgba_group(data + index * 4, splat<V>(1.0f), r, g, b, a);
    return a / splat<V>(255.0f);
}

// A 3-channel output takes the vector store; into a 4-channel output each
// colour value goes through the scalar writer and the alpha is not touched.
template <typename V>
inline void store_rgb_record(BlendOutput *output, npy_intp index, V r, V g, V b) {
    if (output->channels == 3) {
        if (output->is_uint8) {
            store_rgb_group(output->u8 + index * 3, r, g, b);
        } else {
            store_rgb_group(output->f32 + index * 3, r, g, b);
        }
        return;
    }
    float lanes[3][lane_count<V>];
    to_lane_array(lanes[0], r);
    to_lane_array(lanes[1], g);
    to_lane_array(lanes[2], b);
    for (int i = 0; i < lane_count<V>; ++i) {
        for (int c = 0; c < 3; ++c) {
            write_channel(output, (index + i) * output->channels + c, lanes[c][i]);
        }
    }
}

// ---- byte packs of the flat loops -----------------------------------------

// Bytes 0..3; the rest are zero.
inline __m128i pack_unit_f32_sse_to_u8(__m128 value) {
    const __m128i zero = _mm_setzero_si128();
    return _mm_packus_epi16(_mm_packus_epi32(unit_to_byte_lanes(value), zero), zero);
}

// Bytes 0..7 from `lo`, 8..15 from `hi`.
inline __m128i pack_two_unit_f32_avx2_to_u8(__m256 lo, __m256 hi) {
    const __m256i lo_i = unit_to_byte_lanes(lo);
    const __m256i hi_i = unit_to_byte_lanes(hi);
    return _mm_packus_epi16(_mm_packus_epi32(low_half(lo_i), high_half(lo_i)),
                            _mm_packus_epi32(low_half(hi_i), high_half(hi_i)));
}
