// The ratio compositor's flat loops for two 3-channel images. Without alpha
// the per-pixel rule reduces to one weight (the opacity) for the whole
// image, so background, foreground and output are treated as flat runs of
// channel values and processed 16, 8 or 4 at a time regardless of pixel
// boundaries (the kernels are separable, so that changes no value).
#pragma once

#include <cstdint>
#include <type_traits>

#include "blend_call.hpp"
#include "channel_access.hpp"
#include "kernel_select.hpp"
#include "mask_input.hpp"
#include "pixel_simd.hpp"
#include "ratio_rule.hpp"

// The flat rule on unit lanes: the per-pixel rule with one ratio for all.
inline __m256 blend_flat_ps256(__m256 in_c, __m256 layer_c, __m256 ratio,
                               blend_comp_fn256 comp_avx, int clip_output) {
    return ratio_mix(comp_avx(in_c, layer_c), ratio, in_c, clip_output);
}
inline __m128 blend_flat_ps128(__m128 in_c, __m128 layer_c, __m128 ratio,
                               blend_comp_fn128 comp_sse, int clip_output) {
    return ratio_mix(comp_sse(in_c, layer_c), ratio, in_c, clip_output);
}
inline __m256 blend_flat(__m256 in_c, __m256 layer_c, __m256 ratio, blend_comp_fn256 comp,
                         int clip_output) {
    return blend_flat_ps256(in_c, layer_c, ratio, comp, clip_output);
}
inline __m128 blend_flat(__m128 in_c, __m128 layer_c, __m128 ratio, blend_comp_fn128 comp,
                         int clip_output) {
    return blend_flat_ps128(in_c, layer_c, ratio, comp, clip_output);
}

// 16 bytes zero-extended to 32-bit lanes, in memory order: two groups of
// eight lanes or four groups of four.
inline void widen_16_bytes(__m128i bytes, __m256i (&lanes)[2]) {
    lanes[0] = _mm256_cvtepu8_epi32(bytes);
    lanes[1] = _mm256_cvtepu8_epi32(_mm_unpackhi_epi64(bytes, bytes));
}
inline void widen_16_bytes(__m128i bytes, __m128i (&lanes)[4]) {
    lanes[0] = _mm_cvtepu8_epi32(bytes);
    lanes[1] = _mm_cvtepu8_epi32(_mm_srli_si128(bytes, 4));
    lanes[2] = _mm_cvtepu8_epi32(_mm_srli_si128(bytes, 8));
    lanes[3] = _mm_cvtepu8_epi32(_mm_srli_si128(bytes, 12));
}

// The inverse: 16 unit values back to bytes (rounded to nearest, ties to even).
inline __m128i narrow_16_units(const __m256 (&units)[2]) {
    return pack_two_unit_f32_avx2_to_u8(units[0], units[1]);
}
inline __m128i narrow_16_units(const __m128 (&units)[4]) {
    const __m128i low = _mm_unpacklo_epi32(pack_unit_f32_sse_to_u8(units[0]),
                                           pack_unit_f32_sse_to_u8(units[1]));
    const __m128i high = _mm_unpacklo_epi32(pack_unit_f32_sse_to_u8(units[2]),
                                            pack_unit_f32_sse_to_u8(units[3]));
    return _mm_unpacklo_epi64(low, high);
}

// 32 bytes as four groups of eight 32-bit lanes, in memory order; each
// widening reads its eight bytes straight from memory.
inline void widen_32_bytes(const uint8_t *p, __m256i (&lanes)[4]) {
    for (int i = 0; i < 4; ++i) {
        const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p + 8 * i));
        lanes[i] = _mm256_cvtepu8_epi32(bytes);
    }
}

// 32 unit values back to bytes with the rounding of narrow_16_units, packed
// across the whole register and put back in memory order by one permute.
inline __m256i narrow_32_units(const __m256 (&units)[4]) {
    const __m256i low =
        _mm256_packus_epi32(unit_to_byte_lanes(units[0]), unit_to_byte_lanes(units[1]));
    const __m256i high =
        _mm256_packus_epi32(unit_to_byte_lanes(units[2]), unit_to_byte_lanes(units[3]));
    return _mm256_permutevar8x32_epi32(_mm256_packus_epi16(low, high),
                                       _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

// Two byte images, 16 values per step, with aligned 16-byte loads (the
// caller checks the inputs' alignment) and unaligned stores: the output may
// be a caller's array at any address, which must not change the result.
// The eight-lane loop takes 32 values per step while it can, which halves
// its packing shuffles; 32 values give exactly what two steps of 16 give.
// The kernel sees the raw bytes when the mode has a byte kernel
// (`use_bytes`).
// The rule on one vector of raw byte values widened to 32-bit lanes, mixed
// into the background by `ratio`; the kernel sees the raw bytes when the
// mode has a byte kernel (`use_bytes`).
template <bool use_bytes, typename V, typename Comp, typename CompU8>
TARNWICK_LOOP V flat_byte_rule(ivec_t<V> in_u, ivec_t<V> layer_u, V ratio, V inv255, Comp comp,
                               CompU8 comp_u8, int clip_output) {
    const V in_c = u32_to_unit(in_u, inv255);
    V comp_c;
    if constexpr (use_bytes) {
        comp_c = comp_u8(in_u, layer_u, inv255);
    } else {
        comp_c = comp(in_c, u32_to_unit(layer_u, inv255));
    }
    return ratio_mix(comp_c, ratio, in_c, clip_output);
}

template <bool use_bytes, typename V, typename Comp, typename CompU8>
TARNWICK_LOOP npy_intp flat_byte_loop(const uint8_t *bg, const uint8_t *fg, uint8_t *out,
                                      npy_intp elements, float ratio, Comp comp, CompU8 comp_u8,
                                      int clip_output) {
    const V ratio_v = splat<V>(ratio);
    const V inv255 = splat<V>(k_inv255);
    // The flat rule on `groups` vectors of raw bytes widened to 32-bit lanes.
    auto blend_groups = [&](const auto &in_u, const auto &layer_u, auto &out_c)
                            __attribute__((always_inline)) {
        constexpr int groups = sizeof(out_c) / sizeof(V);
        for (int i = 0; i < groups; ++i) {
            out_c[i] = flat_byte_rule<use_bytes, V>(in_u[i], layer_u[i], ratio_v, inv255, comp,
                                                    comp_u8, clip_output);
        }
    };
    npy_intp elem = 0;
    if constexpr (lane_count<V> == 8) {
        for (; elem + 32 <= elements; elem += 32) {
            prefetch_pixel(bg, 1, elem);
            prefetch_pixel(fg, 1, elem);
            __m256i in_u[4], layer_u[4];
            widen_32_bytes(bg + elem, in_u);
            widen_32_bytes(fg + elem, layer_u);
            V out_c[4];
            blend_groups(in_u, layer_u, out_c);
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + elem), narrow_32_units(out_c));
        }
    }
    constexpr int groups = 16 / lane_count<V>;
    for (; elem + 16 <= elements; elem += 16) {
        prefetch_pixel(bg, 1, elem);
        prefetch_pixel(fg, 1, elem);
        ivec_t<V> in_u[groups], layer_u[groups];
        widen_16_bytes(_mm_load_si128(reinterpret_cast<const __m128i *>(bg + elem)), in_u);
        widen_16_bytes(_mm_load_si128(reinterpret_cast<const __m128i *>(fg + elem)), layer_u);
        V out_c[groups];
        blend_groups(in_u, layer_u, out_c);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + elem), narrow_16_units(out_c));
    }
    return elem;
}

// Two byte images under a mask, eight lanes, 8 pixels (24 values) per step:
// each pixel's ratio, from its mask weight as the per-pixel rule takes it
// (an opaque background and layer), spread over its three values; a hidden
// pixel (weight 0) keeps the background's value, whose unit form narrows
// back to the stored byte. Every value gets the steps of the per-pixel
// loops, so the result is theirs; no byte outside the 8 pixels is read.
template <bool use_bytes, typename Comp, typename CompU8>
TARNWICK_LOOP npy_intp masked_flat_byte_loop(const uint8_t *bg, const uint8_t *fg, uint8_t *out,
                                             float opacity, const BlendMask &mask, Comp comp,
                                             CompU8 comp_u8, int clip_output, npy_intp index,
                                             npy_intp pixels) {
    const __m256 inv255 = splat<__m256>(k_inv255);
    const __m256 opacity_v = splat<__m256>(opacity);
    // Both alphas: the unit form of 255, which is 1 exactly.
    const __m256 opaque = splat<__m256>(1.0f);
    // The pixel of each of a step's 24 values, eight to a vector.
    const __m256i pixel_of[3] = {_mm256_setr_epi32(0, 0, 0, 1, 1, 1, 2, 2),
                                 _mm256_setr_epi32(2, 3, 3, 3, 4, 4, 4, 5),
                                 _mm256_setr_epi32(5, 5, 6, 6, 6, 7, 7, 7)};
    for (; index + 8 <= pixels; index += 8) {
        const npy_intp at = index * 3;
        prefetch_pixel(bg, 3, index);
        prefetch_pixel(fg, 3, index);
        const __m256 weight = mask_weights<__m256>(mask, index);
        const __m256 ratio = ratio_weight(opaque, opaque * weight, opacity_v);
        const __m256 hidden = _mm256_cmp_ps(weight, _mm256_setzero_ps(), _CMP_EQ_OQ);
        __m256 out_c[3];
        for (int i = 0; i < 3; ++i) {
            const __m256i in_u = _mm256_cvtepu8_epi32(
                _mm_loadl_epi64(reinterpret_cast<const __m128i *>(bg + at + 8 * i)));
            const __m256i layer_u = _mm256_cvtepu8_epi32(
                _mm_loadl_epi64(reinterpret_cast<const __m128i *>(fg + at + 8 * i)));
            const __m256 mixed = flat_byte_rule<use_bytes, __m256>(
                in_u, layer_u, _mm256_permutevar8x32_ps(ratio, pixel_of[i]), inv255, comp,
                comp_u8, clip_output);
            out_c[i] = _mm256_blendv_ps(mixed, u32_to_unit(in_u, inv255),
                                        _mm256_permutevar8x32_ps(hidden, pixel_of[i]));
        }
        const __m256 first[2] = {out_c[0], out_c[1]};
        const __m256 last[2] = {out_c[2], out_c[2]};
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + at), narrow_16_units(first));
        _mm_storel_epi64(reinterpret_cast<__m128i *>(out + at + 16), narrow_16_units(last));
    }
    return index;
}

// Two float images, lane_count<V> values per step; the alignment of each
// pointer only picks the aligned or unaligned form of its accesses.
template <typename V, typename Comp>
TARNWICK_LOOP npy_intp flat_float_loop(const float *bg, const float *fg, float *out,
                                       npy_intp elements, float ratio, Comp comp, int clip_output) {
    constexpr int lanes = lane_count<V>;
    const int bg_aligned = ptr_is_aligned(bg, sizeof(V));
    const int fg_aligned = ptr_is_aligned(fg, sizeof(V));
    const int out_aligned = ptr_is_aligned(out, sizeof(V));
    const V ratio_v = splat<V>(ratio);
    const V inv255 = splat<V>(k_inv255);
    const V scale = splat<V>(255.0f);
    npy_intp elem = 0;
    for (; elem + lanes <= elements; elem += lanes) {
        const V in_c = load_f32_lanes<V>(bg + elem, bg_aligned) * inv255;
        const V layer_c = load_f32_lanes<V>(fg + elem, fg_aligned) * inv255;
        const V out_c = blend_flat(in_c, layer_c, ratio_v, comp, clip_output);
        store_f32_lanes(out + elem, out_c * scale, out_aligned);
    }
    return elem;
}

// 16 values of a byte or float image as two eight-lane unit vectors, and
// back. No alignment is required of the byte accesses here.
inline void load_flat16(const uint8_t *p, int, __m256 inv255, __m256 (&units)[2]) {
    __m256i lanes[2];
    widen_16_bytes(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), lanes);
    units[0] = u32_to_unit(lanes[0], inv255);
    units[1] = u32_to_unit(lanes[1], inv255);
}
inline void load_flat16(const float *p, int aligned, __m256 inv255, __m256 (&units)[2]) {
    units[0] = load_f32_lanes<__m256>(p, aligned) * inv255;
    units[1] = load_f32_lanes<__m256>(p + 8, aligned) * inv255;
}
inline void store_flat16(uint8_t *p, int, const __m256 (&units)[2]) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p), narrow_16_units(units));
}
inline void store_flat16(float *p, int aligned, const __m256 (&units)[2]) {
    const __m256 scale = _mm256_set1_ps(255.0f);
    store_f32_lanes(p, units[0] * scale, aligned);
    store_f32_lanes(p + 8, units[1] * scale, aligned);
}

// One byte image and one float image, eight lanes, 16 values per step.
template <typename B, typename F, typename O>
TARNWICK_LOOP npy_intp flat_mixed_loop(const B *bg, const F *fg, O *out, npy_intp elements,
                                       float ratio, blend_comp_fn256 comp_avx, int clip_output) {
    const int bg_aligned = ptr_is_aligned(bg, 32);
    const int fg_aligned = ptr_is_aligned(fg, 32);
    const int out_aligned = ptr_is_aligned(out, 32);
    const __m256 ratio_v = _mm256_set1_ps(ratio);
    const __m256 inv255 = _mm256_set1_ps(k_inv255);
    npy_intp elem = 0;
    for (; elem + 16 <= elements; elem += 16) {
        __m256 in_c[2], layer_c[2], out_c[2];
        load_flat16(bg + elem, bg_aligned, inv255, in_c);
        load_flat16(fg + elem, fg_aligned, inv255, layer_c);
        for (int i = 0; i < 2; ++i) {
            out_c[i] = blend_flat_ps256(in_c[i], layer_c[i], ratio_v, comp_avx, clip_output);
        }
        store_flat16(out + elem, out_aligned, out_c);
    }
    return elem;
}

// The values the vector loops left, one at a time by the scalar rule.
template <typename B, typename F, typename O>
TARNWICK_LOOP void flat_scalar_tail(const B *bg, const F *fg, O *out, npy_intp elem,
                                    npy_intp elements, float ratio, blend_comp_fn comp_scalar,
                                    int clip_output) {
    for (; elem < elements; ++elem) {
        const float in_c = read_unit(bg, elem);
        const float layer_c = read_unit(fg, elem);
        write_unit(out, elem, ratio_mix(comp_scalar(in_c, layer_c), ratio, in_c, clip_output));
    }
}

// The flat section: returns `pixels` when it composited the whole image,
// 0 when it wrote nothing and the per-pixel loops must do it all.
template <typename B, typename F, typename O>
TARNWICK_LOOP npy_intp ratio_flat_section(const B *bg, const F *fg, O *out, npy_intp pixels,
                                          kernel_kind kernel, float opacity,
                                          blend_comp_fn comp_scalar, blend_comp_fn128 comp_sse,
                                          blend_comp_fn256 comp_avx,
                                          blend_comp_fn128_u8 comp_sse_u8,
                                          blend_comp_fn256_u8 comp_avx_u8, int clip_output) {
    constexpr bool bg_u8 = std::is_same_v<B, uint8_t>;
    constexpr bool fg_u8 = std::is_same_v<F, uint8_t>;
    const npy_intp elements = pixels * 3;
    // The per-pixel rule for two opaque pixels: exactly the opacity, except
    // that a NaN or infinite opacity gives 0 there (the background is kept)
    // and must here too.
    const float ratio = ratio_weight(1.0f, 1.0f, opacity);
    // The four-lane loops only take an image the eight-lane ones left
    // untouched; the scalar tail only finishes one they started.
    npy_intp done = 0;
    run_width_sequence(
        kernel, 0,
        [&](auto lanes, npy_intp elem) __attribute__((always_inline)) -> npy_intp {
            using V = decltype(lanes);
            if (elem != 0) {
                return elem;
            }
            if constexpr (bg_u8 && fg_u8) {
                // Only here are whole 16-byte blocks loaded as aligned. The
                // choice depends on the inputs alone, never on where the
                // output lies.
                if (!ptr_is_aligned(bg, 16) || !ptr_is_aligned(fg, 16)) {
                    return 0;
                }
                const auto comp_u8 = kernel_of_width<V>(comp_sse_u8, comp_avx_u8);
                return with_kernel_input(bg, fg, comp_u8, [&](auto use_bytes)
                                                              __attribute__((always_inline)) {
                    return flat_byte_loop<decltype(use_bytes)::value, V>(
                        bg, fg, out, elements, ratio, kernel_of_width<V>(comp_sse, comp_avx),
                        comp_u8, clip_output);
                });
            } else if constexpr (!bg_u8 && !fg_u8) {
                return flat_float_loop<V>(bg, fg, out, elements, ratio,
                                          kernel_of_width<V>(comp_sse, comp_avx), clip_output);
            } else if constexpr (lane_count<V> == 8) {
                return flat_mixed_loop(bg, fg, out, elements, ratio, comp_avx, clip_output);
            } else {
                return 0;
            }
        },
        [&](npy_intp elem) __attribute__((always_inline)) {
            if (elem > 0) {
                flat_scalar_tail(bg, fg, out, elem, elements, ratio, comp_scalar, clip_output);
                done = pixels;
            }
        });
    return done;
}
