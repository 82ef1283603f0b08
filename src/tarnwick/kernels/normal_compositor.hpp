// The "over" compositor of the normal mode: the opaque-layer copy, the
// per-pixel rule, and the order in which the loops share the pixels.
#pragma once

#include <cmath>
#include <cstring>
#include <type_traits>

#include "blend_call.hpp"
#include "channel_access.hpp"
#include "kernel_select.hpp"
#include "pixel_simd.hpp"
#include "simd.hpp"

// An opaque 3-channel layer replaces the background: copy it, converted to
// the output's type, with full alpha in a 4-channel output. A caller's
// output may overlap the layer, hence memmove.
template <typename F, typename O>
inline void normal_opaque_copy(const F *fg, O *out, int out_channels, npy_intp pixels) {
    if constexpr (std::is_same_v<F, O>) {
        if (out_channels == 3) {
            if (pixels > 0) {
                std::memmove(out, fg, static_cast<size_t>(pixels) * 3 * sizeof(O));
            }
            return;
        }
    }
    for (npy_intp p = 0; p < pixels; ++p) {
        const npy_intp out_base = p * out_channels;
        for (int c = 0; c < 3; ++c) {
            if constexpr (std::is_same_v<F, O>) {
                out[out_base + c] = fg[p * 3 + c];
            } else {
                write_unit(out, out_base + c, read_unit(fg, p * 3 + c));
            }
        }
        if (out_channels == 4) {
            write_unit(out, out_base + 3, 1.0f);
        }
    }
}

// The reference rule: un-premultiplied "over" of the layer scaled by opacity.
template <typename B, typename F, typename O>
inline void normal_scalar_loop(const B *bg, int bg_channels, const F *fg, int fg_channels, O *out,
                               float opacity, npy_intp index, npy_intp pixels) {
    for (; index < pixels; ++index) {
        const npy_intp bg_offset = index * bg_channels;
        const npy_intp fg_offset = index * fg_channels;
        const float in_a = read_alpha(bg, bg_channels, bg_offset);
        const float layer_a = read_alpha(fg, fg_channels, fg_offset);
        const float layer_opacity = layer_a * opacity;
        const float inv_layer_opacity = 1.0f - layer_opacity;
        const float denom = std::fma(in_a, inv_layer_opacity, layer_opacity);
        for (int c = 0; c < 3; ++c) {
            float out_c = 0.0f;
            if (denom > 0.0f) {
                const float in_c = read_unit(bg, bg_offset + c);
                const float layer_c = read_unit(fg, fg_offset + c);
                out_c = std::fma(layer_c, layer_opacity, (in_c * in_a) * inv_layer_opacity) / denom;
            }
            write_unit(out, bg_offset + c, out_c);
        }
        if (bg_channels == 4) {
            write_unit(out, bg_offset + 3, denom);
        }
    }
}

// The byte path's opacity: alpha_u8 = lroundf(opacity * 255), clamped to
// 0..255. Not for NaN.
inline int32_t byte_path_alpha(float opacity) {
    const long alpha = std::lroundf(opacity * 255.0f);
    return static_cast<int32_t>(alpha < 0 ? 0 : (alpha > 255 ? 255 : alpha));
}

// One channel byte per 16-bit lane: s = in * inv_alpha + layer * alpha,
// t = s + 128, out = (t + (t >> 8)) >> 8, the integer nearest s / 255 (there
// are no ties). s stays below 65536 because inv_alpha + alpha = 255, so
// 16-bit lanes give the same integers as 32-bit ones at twice the width, and
// (t * 257) >> 16 equals (t + (t >> 8)) >> 8 for every t below 65536.
inline __m128i blend_bytes_u16(__m128i in, __m128i layer, __m128i inv_alpha, __m128i alpha) {
    const __m128i s = _mm_add_epi16(_mm_mullo_epi16(in, inv_alpha), _mm_mullo_epi16(layer, alpha));
    return _mm_mulhi_epu16(_mm_add_epi16(s, _mm_set1_epi16(128)), _mm_set1_epi16(257));
}
inline __m256i blend_bytes_u16(__m256i in, __m256i layer, __m256i inv_alpha, __m256i alpha) {
    const __m256i s =
        _mm256_add_epi16(_mm256_mullo_epi16(in, inv_alpha), _mm256_mullo_epi16(layer, alpha));
    return _mm256_mulhi_epu16(_mm256_add_epi16(s, _mm256_set1_epi16(128)), _mm256_set1_epi16(257));
}

// Blends the low 8 bytes of two vectors (the result's low 8 bytes).
inline __m128i blend_8_bytes(__m128i in, __m128i layer, __m128i inv_alpha, __m128i alpha) {
    const __m128i out =
        blend_bytes_u16(_mm_cvtepu8_epi16(in), _mm_cvtepu8_epi16(layer), inv_alpha, alpha);
    return _mm_packus_epi16(out, out);
}

// Blends 16 bytes: in two 8-lane halves with 128-bit weights, in one
// 16-lane step with 256-bit ones.
inline __m128i blend_16_bytes(__m128i in, __m128i layer, __m128i inv_alpha, __m128i alpha) {
    const __m128i lo =
        blend_bytes_u16(_mm_cvtepu8_epi16(in), _mm_cvtepu8_epi16(layer), inv_alpha, alpha);
    const __m128i hi =
        blend_bytes_u16(_mm_cvtepu8_epi16(_mm_srli_si128(in, 8)),
                        _mm_cvtepu8_epi16(_mm_srli_si128(layer, 8)), inv_alpha, alpha);
    return _mm_packus_epi16(lo, hi);
}
inline __m128i blend_16_bytes(__m128i in, __m128i layer, __m256i inv_alpha, __m256i alpha) {
    const __m256i out = blend_bytes_u16(_mm256_cvtepu8_epi16(in), _mm256_cvtepu8_epi16(layer),
                                        inv_alpha, alpha);
    return _mm_packus_epi16(low_half(out), high_half(out));
}

// Both images 3-channel bytes, blended with the opacity quantised to
// alpha_u8 / 255. All channels share the weights, so the interleaved bytes
// are blended as they lie: a group of 8 pixels is 24 bytes (16 + 8), one of
// 4 pixels 12 bytes (8 + 4). Returns the index of the first pixel it left.
template <int lanes>
inline npy_intp normal_byte_groups(const uint8_t *bg, const uint8_t *fg, uint8_t *out,
                                   float opacity, npy_intp index, npy_intp pixels) {
    const int32_t alpha_u8 = byte_path_alpha(opacity);
    const int32_t inv_alpha_u8 = 255 - alpha_u8;
    const __m128i alpha128 = _mm_set1_epi16(static_cast<int16_t>(alpha_u8));
    const __m128i inv_alpha128 = _mm_set1_epi16(static_cast<int16_t>(inv_alpha_u8));
    for (; index + lanes <= pixels; index += lanes) {
        const npy_intp offset = index * 3;
        if constexpr (lanes == 8) {
            const __m256i alpha256 = _mm256_set1_epi16(static_cast<int16_t>(alpha_u8));
            const __m256i inv_alpha256 = _mm256_set1_epi16(static_cast<int16_t>(inv_alpha_u8));
            prefetch_pixel(bg, 3, index + prefetch_distance);
            prefetch_pixel(fg, 3, index + prefetch_distance);
            store_bytes16(out + offset, blend_16_bytes(load_bytes16(bg + offset),
                                                       load_bytes16(fg + offset), inv_alpha256,
                                                       alpha256));
            store_bytes8(out + offset + 16,
                         blend_8_bytes(load_bytes8(bg + offset + 16), load_bytes8(fg + offset + 16),
                                       inv_alpha128, alpha128));
        } else {
            store_rgb4_u8_bytes_sse(out + offset,
                                    blend_16_bytes(load_rgb4_u8_bytes_sse(bg + offset),
                                                   load_rgb4_u8_bytes_sse(fg + offset),
                                                   inv_alpha128, alpha128));
        }
    }
    return index;
}

// One group's unit values; a 3-channel image leaves `a` at 1.
template <int channels, typename T, typename V>
inline void normal_load_group(const T *data, npy_intp index, V inv255, V &r, V &g, V &b, V &a) {
    if constexpr (channels == 4) {
        load_rgba_group(data + index * 4, inv255, r, g, b, a);
    } else {
        load_rgb_group(data + index * 3, inv255, r, g, b);
    }
}

// The rule on lane_count<V> pixels at a time. The background term is
// in_c * (in_a * (1 - layer_opacity)) fused with the layer product, which
// differs from the scalar order by a rounding or two.
template <typename V, int bg_channels, int fg_channels, typename B, typename F, typename O>
inline npy_intp normal_float_groups(const B *bg, const F *fg, O *out, float opacity,
                                    npy_intp index, npy_intp pixels) {
    constexpr int lanes = lane_count<V>;
    const V one = splat<V>(1.0f);
    const V zero = splat<V>(0.0f);
    const V opacity_v = splat<V>(opacity);
    const V inv255 = splat<V>(k_inv255);
    for (; index + lanes <= pixels; index += lanes) {
        if constexpr (lanes == 8) {
            prefetch_pixel(bg, bg_channels, index + prefetch_distance);
            prefetch_pixel(fg, fg_channels, index + prefetch_distance);
        }
        V in_r, in_g, in_b, in_a = one;
        V layer_r, layer_g, layer_b, layer_a = one;
        normal_load_group<bg_channels>(bg, index, inv255, in_r, in_g, in_b, in_a);
        normal_load_group<fg_channels>(fg, index, inv255, layer_r, layer_g, layer_b, layer_a);
        const V layer_opacity = layer_a * opacity_v;
        const V inv_layer_opacity = one - layer_opacity;
        const V denom = mul_add(inv_layer_opacity, in_a, layer_opacity);
        const V mask = gt(denom, zero);
        const V in_a_scaled = inv_layer_opacity * in_a;
        const auto colour = [&](V in_c, V layer_c) {
            return keep_if(mask, mul_add(in_c, in_a_scaled, layer_c * layer_opacity) / denom);
        };
        const V out_r = colour(in_r, layer_r);
        const V out_g = colour(in_g, layer_g);
        const V out_b = colour(in_b, layer_b);
        if constexpr (bg_channels == 4) {
            store_rgba_group(out + index * 4, out_r, out_g, out_b, denom);
        } else {
            store_rgb_group(out + index * 3, out_r, out_g, out_b);
        }
    }
    return index;
}

// Calls body(bg_channels, fg_channels) with both counts as compile-time
// constants.
template <typename Body>
inline void with_channel_counts(int bg_channels, int fg_channels, Body &&body) {
    using three = std::integral_constant<int, 3>;
    using four = std::integral_constant<int, 4>;
    if (bg_channels == 4) {
        if (fg_channels == 4) {
            body(four{}, four{});
        } else {
            body(four{}, three{});
        }
    } else {
        if (fg_channels == 4) {
            body(three{}, four{});
        } else {
            body(three{}, three{});
        }
    }
}

// Groups of V's lane count from `index` while a whole group remains: the
// byte path for two 3-channel byte images, else the float path. Returns the
// first pixel it left.
template <typename V, typename B, typename F, typename O>
inline npy_intp normal_vector_groups(const B *bg, int bg_channels, const F *fg, int fg_channels,
                                     O *out, float opacity, npy_intp index, npy_intp pixels) {
    if constexpr (std::is_same_v<B, uint8_t> && std::is_same_v<F, uint8_t>) {
        // A NaN opacity has no byte quantisation; the float path gives the
        // same result as the scalar rule for it.
        if (bg_channels == 3 && fg_channels == 3 && !std::isnan(opacity)) {
            return normal_byte_groups<lane_count<V>>(bg, fg, out, opacity, index, pixels);
        }
    }
    with_channel_counts(bg_channels, fg_channels, [&](auto bgc, auto fgc) {
        index = normal_float_groups<V, bgc, fgc>(bg, fg, out, opacity, index, pixels);
    });
    return index;
}

inline PyObject *blend_normal_mode(PyObject *self, PyObject *args) {
    return run_blend_call(self, args, [](const BlendCall &call, kernel_kind kernel, auto bg,
                                         auto fg, auto out) {
        const npy_intp pixels = call.pixels();
        const int bg_channels = call.background.channels;
        const int fg_channels = call.foreground.channels;
        const float opacity = call.opacity;
        // An opaque 3-channel layer hides the background: no arithmetic at all.
        if (opacity >= 1.0f && fg_channels == 3) {
            normal_opaque_copy(fg, out, bg_channels, pixels);
            return;
        }
        run_width_sequence(
            kernel, 0,
            [&](auto lanes, npy_intp from) __attribute__((always_inline)) {
                return normal_vector_groups<decltype(lanes)>(bg, bg_channels, fg, fg_channels, out,
                                                             opacity, from, pixels);
            },
            [&](npy_intp from) __attribute__((always_inline)) {
                normal_scalar_loop(bg, bg_channels, fg, fg_channels, out, opacity, from, pixels);
            });
    });
}
