// The "over" compositor of the normal mode: the opaque-layer copy, the
// per-pixel rule, and the order in which the loops share the pixels.
#pragma once

#include <cmath>
#include <cstring>
#include <type_traits>

#include "blend_call.hpp"
#include "channel_access.hpp"
#include "kernel_select.hpp"
#include "mask_input.hpp"
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
// Under a mask (`masked`) the pixel's weight multiplies the layer's alpha; a
// pixel of weight 0 keeps the background's stored values, and one of weight
// 1 under an opaque 3-channel layer at full opacity (`opaque_layer`) is the
// layer's copy, exactly as without a mask.
template <bool masked, typename B, typename F, typename O>
inline void normal_scalar_loop(const B *bg, int bg_channels, const F *fg, int fg_channels, O *out,
                               float opacity, const BlendMask &mask, bool opaque_layer,
                               npy_intp index, npy_intp pixels) {
    for (; index < pixels; ++index) {
        const npy_intp bg_offset = index * bg_channels;
        const npy_intp fg_offset = index * fg_channels;
        const float in_a = read_alpha(bg, bg_channels, bg_offset);
        float layer_a = read_alpha(fg, fg_channels, fg_offset);
        if constexpr (masked) {
            const float weight = mask_weight(mask, index);
            if (weight == 0.0f) {
                for (int c = 0; c < bg_channels; ++c) {
                    out[bg_offset + c] = bg[bg_offset + c];
                }
                continue;
            }
            if (weight == 1.0f && opaque_layer) {
                normal_opaque_copy(fg + fg_offset, out + bg_offset, bg_channels, 1);
                continue;
            }
            layer_a *= weight;
        }
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

// lroundf of non-negative lanes (half away from zero), exactly: the
// fraction x - trunc(x) is exact in float.
template <typename V> inline ivec_t<V> round_half_up_i32(V x) {
    V whole;
    if constexpr (lane_count<V> == 8) {
        whole = _mm256_round_ps(x, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    } else {
        whole = _mm_round_ps(x, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    }
    const V up = keep_if(ge(x - whole, splat<V>(0.5f)), splat<V>(1.0f));
    if constexpr (lane_count<V> == 8) {
        return _mm256_cvttps_epi32(whole + up);
    } else {
        return _mm_cvttps_epi32(whole + up);
    }
}

// The byte path's alpha of each pixel under a mask: lroundf(weight *
// (opacity * 255)) capped at 255, as 16-bit lanes in pixel order. A weight
// of 1 gives byte_path_alpha(opacity), so a full mask changes nothing.
template <typename V>
inline __m128i masked_byte_alphas(const BlendMask &mask, npy_intp index, V opacity255) {
    const ivec_t<V> alpha = lane_min_u32(
        round_half_up_i32(mask_weights<V>(mask, index) * opacity255), splat_i32<ivec_t<V>>(255));
    if constexpr (lane_count<V> == 8) {
        return _mm_packus_epi32(low_half(alpha), high_half(alpha));
    } else {
        return _mm_packus_epi32(alpha, alpha);
    }
}

// 16-bit pixel alphas (`alphas`, pixel p in lane p) spread over the
// interleaved channel bytes first .. first + 7: lane i gets the alpha of
// pixel (first + i) / 3.
template <int first> inline __m128i spread_rgb_alphas(__m128i alphas) {
    alignas(16) static constexpr uint8_t k_order[16] = {
        2 * ((first + 0) / 3), 2 * ((first + 0) / 3) + 1, 2 * ((first + 1) / 3),
        2 * ((first + 1) / 3) + 1, 2 * ((first + 2) / 3), 2 * ((first + 2) / 3) + 1,
        2 * ((first + 3) / 3), 2 * ((first + 3) / 3) + 1, 2 * ((first + 4) / 3),
        2 * ((first + 4) / 3) + 1, 2 * ((first + 5) / 3), 2 * ((first + 5) / 3) + 1,
        2 * ((first + 6) / 3), 2 * ((first + 6) / 3) + 1, 2 * ((first + 7) / 3),
        2 * ((first + 7) / 3) + 1};
    return _mm_shuffle_epi8(alphas, _mm_load_si128(reinterpret_cast<const __m128i *>(k_order)));
}

// Eight channel bytes (the low 8 of `in` and `layer`) with one weight each.
inline __m128i blend_8_bytes_weighted(__m128i in, __m128i layer, __m128i alpha) {
    return blend_8_bytes(in, layer, _mm_sub_epi16(_mm_set1_epi16(255), alpha), alpha);
}

// Both images 3-channel bytes, blended with the opacity quantised to
// alpha_u8 / 255 (under a mask, one alpha per pixel: masked_byte_alphas).
// All channels of a pixel share its weights, so the interleaved bytes are
// blended as they lie: a group of 8 pixels is 24 bytes (16 + 8), one of 4
// pixels 12 bytes (8 + 4). Returns the index of the first pixel it left.
template <bool masked, typename V>
inline npy_intp normal_byte_groups(const uint8_t *bg, const uint8_t *fg, uint8_t *out,
                                   float opacity, const BlendMask &mask, npy_intp index,
                                   npy_intp pixels) {
    constexpr int lanes = lane_count<V>;
    const int32_t alpha_u8 = byte_path_alpha(opacity);
    const int32_t inv_alpha_u8 = 255 - alpha_u8;
    const __m128i alpha128 = _mm_set1_epi16(static_cast<int16_t>(alpha_u8));
    const __m128i inv_alpha128 = _mm_set1_epi16(static_cast<int16_t>(inv_alpha_u8));
    // Capped first: a huge opacity times 255 would be infinite, and 0 times
    // that NaN.
    const V opacity255 = splat<V>(std::fmin(opacity * 255.0f, 255.0f));
    for (; index + lanes <= pixels; index += lanes) {
        const npy_intp offset = index * 3;
        if constexpr (masked) {
            const __m128i alphas = masked_byte_alphas<V>(mask, index, opacity255);
            if constexpr (lanes == 8) {
                prefetch_pixel(bg, 3, index);
                prefetch_pixel(fg, 3, index);
                const __m256i alpha_lo = join_halves(spread_rgb_alphas<0>(alphas),
                                                     spread_rgb_alphas<8>(alphas));
                const __m256i inv_lo = _mm256_sub_epi16(_mm256_set1_epi16(255), alpha_lo);
                store_bytes16(out + offset, blend_16_bytes(load_bytes16(bg + offset),
                                                           load_bytes16(fg + offset), inv_lo,
                                                           alpha_lo));
                store_bytes8(out + offset + 16,
                             blend_8_bytes_weighted(load_bytes8(bg + offset + 16),
                                                    load_bytes8(fg + offset + 16),
                                                    spread_rgb_alphas<16>(alphas)));
            } else {
                const __m128i in = load_rgb4_u8_bytes_sse(bg + offset);
                const __m128i layer = load_rgb4_u8_bytes_sse(fg + offset);
                const __m128i lo = blend_8_bytes_weighted(in, layer, spread_rgb_alphas<0>(alphas));
                const __m128i hi = blend_8_bytes_weighted(
                    _mm_srli_si128(in, 8), _mm_srli_si128(layer, 8), spread_rgb_alphas<8>(alphas));
                store_rgb4_u8_bytes_sse(out + offset, _mm_unpacklo_epi64(lo, hi));
            }
        } else if constexpr (lanes == 8) {
            const __m256i alpha256 = _mm256_set1_epi16(static_cast<int16_t>(alpha_u8));
            const __m256i inv_alpha256 = _mm256_set1_epi16(static_cast<int16_t>(inv_alpha_u8));
            prefetch_pixel(bg, 3, index);
            prefetch_pixel(fg, 3, index);
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
// differs from the scalar order by a rounding or two. Under a mask, as in
// the scalar loop: weight 0 keeps the background, weight 1 under an opaque
// layer copies it, any other multiplies the layer's alpha.
template <bool masked, typename V, int bg_channels, int fg_channels, typename B, typename F,
          typename O>
inline npy_intp normal_float_groups(const B *bg, const F *fg, O *out, float opacity,
                                    const BlendMask &mask, bool opaque_layer, npy_intp index,
                                    npy_intp pixels) {
    constexpr int lanes = lane_count<V>;
    const V one = splat<V>(1.0f);
    const V zero = splat<V>(0.0f);
    const V opacity_v = splat<V>(opacity);
    const V inv255 = splat<V>(k_inv255);
    for (; index + lanes <= pixels; index += lanes) {
        if constexpr (lanes == 8) {
            prefetch_pixel(bg, bg_channels, index);
            prefetch_pixel(fg, fg_channels, index);
        }
        const auto group = [&](V weight) __attribute__((always_inline)) {
            V in_r, in_g, in_b, in_a = one;
            V layer_r, layer_g, layer_b, layer_a = one;
            normal_load_group<bg_channels>(bg, index, inv255, in_r, in_g, in_b, in_a);
            normal_load_group<fg_channels>(fg, index, inv255, layer_r, layer_g, layer_b, layer_a);
            if constexpr (masked) {
                layer_a = layer_a * weight;
            }
            const V layer_opacity = layer_a * opacity_v;
            const V inv_layer_opacity = one - layer_opacity;
            const V denom = mul_add(inv_layer_opacity, in_a, layer_opacity);
            const V mask_v = gt(denom, zero);
            const V in_a_scaled = inv_layer_opacity * in_a;
            const auto colour = [&](V in_c, V layer_c) {
                return keep_if(mask_v, mul_add(in_c, in_a_scaled, layer_c * layer_opacity) / denom);
            };
            const V out_r = colour(in_r, layer_r);
            const V out_g = colour(in_g, layer_g);
            const V out_b = colour(in_b, layer_b);
            if constexpr (bg_channels == 4) {
                store_rgba_group(out + index * 4, out_r, out_g, out_b, denom);
            } else {
                store_rgb_group(out + index * 3, out_r, out_g, out_b);
            }
        };
        if constexpr (masked) {
            const V weight = mask_weights<V>(mask, index);
            const int covered = opaque_layer ? lanes_equal(weight, 1.0f) : 0;
            if (covered == (1 << lanes) - 1) {
                normal_opaque_copy(fg + index * 3, out + index * bg_channels, bg_channels, lanes);
                continue;
            }
            keep_hidden_pixels<lanes>(bg, out, bg_channels, index, lanes_equal(weight, 0.0f),
                                      [&]() __attribute__((always_inline)) { group(weight); });
            for (int lane = 0; covered != 0 && lane < lanes; ++lane) {
                if ((covered >> lane) & 1) {
                    normal_opaque_copy(fg + (index + lane) * 3,
                                       out + (index + lane) * bg_channels, bg_channels, 1);
                }
            }
        } else {
            group(one);
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
template <bool masked, typename V, typename B, typename F, typename O>
inline npy_intp normal_vector_groups(const B *bg, int bg_channels, const F *fg, int fg_channels,
                                     O *out, float opacity, const BlendMask &mask,
                                     bool opaque_layer, npy_intp index, npy_intp pixels) {
    if constexpr (std::is_same_v<B, uint8_t> && std::is_same_v<F, uint8_t>) {
        // A NaN opacity has no byte quantisation; the float path gives the
        // same result as the scalar rule for it.
        if (bg_channels == 3 && fg_channels == 3 && !std::isnan(opacity)) {
            return normal_byte_groups<masked, V>(bg, fg, out, opacity, mask, index, pixels);
        }
    }
    with_channel_counts(bg_channels, fg_channels, [&](auto bgc, auto fgc) {
        index = normal_float_groups<masked, V, bgc, fgc>(bg, fg, out, opacity, mask, opaque_layer,
                                                         index, pixels);
    });
    return index;
}

// Every pixel from `index`, by the kernel's widths and then the scalar rule.
template <bool masked, typename B, typename F, typename O>
inline void normal_loops(const BlendCall &call, kernel_kind kernel, const B *bg, const F *fg,
                         O *out) {
    const npy_intp pixels = call.pixels();
    const int bg_channels = call.background.channels;
    const int fg_channels = call.foreground.channels;
    const float opacity = call.opacity;
    const bool opaque_layer = opacity >= 1.0f && fg_channels == 3;
    run_width_sequence(
        kernel, 0,
        [&](auto lanes, npy_intp from) __attribute__((always_inline)) {
            return normal_vector_groups<masked, decltype(lanes)>(bg, bg_channels, fg, fg_channels,
                                                                 out, opacity, call.mask,
                                                                 opaque_layer, from, pixels);
        },
        [&](npy_intp from) __attribute__((always_inline)) {
            normal_scalar_loop<masked>(bg, bg_channels, fg, fg_channels, out, opacity, call.mask,
                                       opaque_layer, from, pixels);
        });
}

inline PyObject *blend_normal_mode(PyObject *self, PyObject *args) {
    return run_blend_call<true>(self, args, [](const BlendCall &call, kernel_kind kernel, auto bg,
                                               auto fg, auto out) {
        if (has_mask(call.mask)) {
            normal_loops<true>(call, kernel, bg, fg, out);
            return;
        }
        // An opaque 3-channel layer hides the background: no arithmetic at all.
        if (call.opacity >= 1.0f && call.foreground.channels == 3) {
            normal_opaque_copy(fg, out, call.background.channels, call.pixels());
            return;
        }
        normal_loops<false>(call, kernel, bg, fg, out);
    });
}
