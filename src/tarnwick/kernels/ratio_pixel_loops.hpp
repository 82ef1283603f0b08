// The ratio compositor's per-pixel loops: the scalar reference loop and the
// four- and eight-lane loops (one lane per pixel), which apply the same rule
// to whole groups and leave the remaining pixels to the next narrower loop.
#pragma once

#include <cstdint>
#include <type_traits>

#include "channel_access.hpp"
#include "mask_input.hpp"
#include "pixel_simd.hpp"
#include "ratio_rule.hpp"

// Under a mask (`masked`) the pixel's weight multiplies the layer's alpha,
// and a pixel of weight 0 keeps the background's stored values.
template <bool masked, typename B, typename F, typename O>
TARNWICK_LOOP void ratio_scalar_loop(const B *bg, int bg_channels, const F *fg, int fg_channels,
                                     O *out, float opacity, const BlendMask &mask,
                                     blend_comp_fn comp_scalar, int clip_output, npy_intp index,
                                     npy_intp pixels) {
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
            layer_a *= weight;
        }
        const float ratio = ratio_weight(in_a, layer_a, opacity);
        for (int c = 0; c < 3; ++c) {
            const float in_c = read_unit(bg, bg_offset + c);
            const float layer_c = read_unit(fg, fg_offset + c);
            write_unit(out, bg_offset + c,
                       ratio_mix(comp_scalar(in_c, layer_c), ratio, in_c, clip_output));
        }
        if (bg_channels == 4) {
            write_unit(out, bg_offset + 3, in_a);
        }
    }
}

// One group of pixels as unit lanes (times 1/255); alpha 1 for 3 channels.
template <typename V, typename T>
inline void load_pixel_group(const T *data, int channels, npy_intp index, V inv255, V (&rgba)[4]) {
    if (channels == 4) {
        load_rgba_group(data + index * 4, inv255, rgba[0], rgba[1], rgba[2], rgba[3]);
    } else {
        load_rgb_group(data + index * 3, inv255, rgba[0], rgba[1], rgba[2]);
        rgba[3] = splat<V>(1.0f);
    }
}

// One group of byte pixels as raw values in 32-bit lanes; alpha 255 for 3
// channels.
template <typename V>
inline void load_pixel_group_u32(const uint8_t *data, int channels, npy_intp index,
                                 ivec_t<V> (&rgba)[4]) {
    if (channels == 4) {
        rgba_bytes_to_u32(load_rgba_u8_group<ivec_t<V>>(data + index * 4), rgba[0], rgba[1],
                          rgba[2], rgba[3]);
    } else {
        load_rgb_u32_group<V>(data + index * 3, rgba[0], rgba[1], rgba[2]);
        rgba[3] = splat_i32<ivec_t<V>>(255);
    }
}

template <typename V, typename O>
inline void store_pixel_group(O *out, int channels, npy_intp index, const V (&rgb)[3], V alpha) {
    if (channels == 4) {
        store_rgba_group(out + index * 4, rgb[0], rgb[1], rgb[2], alpha);
    } else {
        store_rgb_group(out + index * 3, rgb[0], rgb[1], rgb[2]);
    }
}

// Groups of lane_count<V> pixels from `index` while a whole group remains;
// returns the first pixel not processed. With `use_bytes` (two byte images
// and a mode with byte-input kernels) the kernel sees the raw byte values.
// A mask acts as in the scalar loop.
template <bool use_bytes, bool masked, typename V, typename B, typename F, typename O,
          typename Comp, typename CompU8>
TARNWICK_LOOP npy_intp ratio_pixel_groups(const B *bg, int bg_channels, const F *fg,
                                          int fg_channels, O *out, float opacity,
                                          const BlendMask &mask, Comp comp, CompU8 comp_u8,
                                          int clip_output, npy_intp index, npy_intp pixels) {
    constexpr int lanes = lane_count<V>;
    // Every eight-lane loop but the float loop hints the pixels ahead.
    constexpr bool prefetch =
        lanes == 8 && !(std::is_same_v<B, float> && std::is_same_v<F, float>);
    const V opacity_v = splat<V>(opacity);
    const V inv255 = splat<V>(k_inv255);
    for (; index + lanes <= pixels; index += lanes) {
        if constexpr (prefetch) {
            prefetch_pixel(bg, bg_channels, index);
            prefetch_pixel(fg, fg_channels, index);
        }
        const auto group = [&](V weight) __attribute__((always_inline)) {
            V in[4], layer_a, comp_rgb[3];
            if constexpr (use_bytes) {
                ivec_t<V> in_u[4], layer_u[4];
                load_pixel_group_u32<V>(bg, bg_channels, index, in_u);
                load_pixel_group_u32<V>(fg, fg_channels, index, layer_u);
                for (int c = 0; c < 4; ++c) {
                    in[c] = u32_to_unit(in_u[c], inv255);
                }
                layer_a = u32_to_unit(layer_u[3], inv255);
                for (int c = 0; c < 3; ++c) {
                    comp_rgb[c] = comp_u8(in_u[c], layer_u[c], inv255);
                }
            } else {
                V layer[4];
                load_pixel_group(bg, bg_channels, index, inv255, in);
                load_pixel_group(fg, fg_channels, index, inv255, layer);
                layer_a = layer[3];
                for (int c = 0; c < 3; ++c) {
                    comp_rgb[c] = comp(in[c], layer[c]);
                }
            }
            if constexpr (masked) {
                layer_a = layer_a * weight;
            }
            const V ratio = ratio_weight(in[3], layer_a, opacity_v);
            V out_rgb[3];
            for (int c = 0; c < 3; ++c) {
                out_rgb[c] = ratio_mix(comp_rgb[c], ratio, in[c], clip_output);
            }
            store_pixel_group(out, bg_channels, index, out_rgb, in[3]);
        };
        if constexpr (masked) {
            const V weight = mask_weights<V>(mask, index);
            keep_hidden_pixels<lanes>(bg, out, bg_channels, index, lanes_equal(weight, 0.0f),
                                      [&]() __attribute__((always_inline)) { group(weight); });
        } else {
            group(opacity_v);
        }
    }
    return index;
}

// The per-pixel vector section of one width: the byte loop or the loop on
// unit values (uint8, mixed or float by the element types).
template <bool masked, typename V, typename B, typename F, typename O, typename Comp,
          typename CompU8>
TARNWICK_LOOP npy_intp ratio_pixel_vector_loop(const B *bg, int bg_channels, const F *fg,
                                               int fg_channels, O *out, float opacity,
                                               const BlendMask &mask, Comp comp, CompU8 comp_u8,
                                               int clip_output, npy_intp index, npy_intp pixels) {
    return with_kernel_input(bg, fg, comp_u8, [&](auto use_bytes) __attribute__((always_inline)) {
        return ratio_pixel_groups<decltype(use_bytes)::value, masked, V>(
            bg, bg_channels, fg, fg_channels, out, opacity, mask, comp, comp_u8, clip_output,
            index, pixels);
    });
}
