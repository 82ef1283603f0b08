// The compositor of the colour-model modes: a whole-pixel kernel's result is
// mixed into the background by a ratio of the two alphas and the opacity;
// the background's alpha is kept. A layer mask's weight multiplies the
// layer's alpha.
//
// A mode whose kernel starts by decoding sRGB to linear light may also give
// that kernel's linear-light form: the compositor then decodes itself, a
// byte by one lookup in the table of the scalar curve's own values, a float
// by the curve (scalar or vector) the sRGB form would have applied.
//
// Where the ratio is 0 (a transparent layer or background, a mask of 0) the
// output keeps the background's stored values exactly, and the alpha channel
// is always copied as stored: dividing a float by 255 and multiplying back
// does not always give the same float.
#pragma once

#include <type_traits>

#include "blend_call.hpp"
#include "channel_access.hpp"
#include "colour_lab.hpp"
#include "colour_types.hpp"
#include "kernel_select.hpp"
#include "mask_input.hpp"
#include "pixel_simd.hpp"
#include "ratio_rule.hpp"
#include "simd.hpp"

#define TARNWICK_RGB_LOOP inline __attribute__((always_inline))

// ---- one pixel by the reference rule -----------------------------------------

inline float decode_unit(const uint8_t *data, npy_intp index, const float *table) {
    return table[data[index]];
}
inline float decode_unit(const float *data, npy_intp index, const float *) {
    return srgb_to_linear_unit(read_channel_f32(data, index));
}

template <typename T>
inline rgb_triplet read_rgb(const T *data, npy_intp base) {
    return rgb_triplet{read_unit(data, base), read_unit(data, base + 1), read_unit(data, base + 2)};
}

template <typename T>
inline rgb_triplet decode_rgb(const T *data, npy_intp base, const float *table) {
    return rgb_triplet{decode_unit(data, base, table), decode_unit(data, base + 1, table),
                       decode_unit(data, base + 2, table)};
}

// The layer's alpha times the mask's weight; a weight of 0 (or NaN) leaves
// the layer no alpha whatever it held.
template <typename V>
inline V masked_alpha(V alpha, V weight) {
    return keep_if(gt(weight, splat<V>(0.0f)), alpha * weight);
}

template <bool linear, bool masked, typename B, typename F>
inline void rgb_mode_scalar_pixel(const B *bg, int bg_channels, const F *fg, int fg_channels,
                                  B *out, float opacity, const BlendMask &mask,
                                  const float *table, npy_intp index,
                                  blend_rgb_comp_fn comp_scalar) {
    const npy_intp bg_base = index * bg_channels;
    const npy_intp fg_base = index * fg_channels;
    const npy_intp out_base = bg_base;  // the output has the background's layout
    const float bg_alpha = read_alpha(bg, bg_channels, bg_base);
    float fg_alpha = read_alpha(fg, fg_channels, fg_base);
    if constexpr (masked) {
        fg_alpha = masked_alpha(fg_alpha, mask_weight(mask, index));
    }
    const float ratio = ratio_weight(bg_alpha, fg_alpha, opacity);
    if (bg_channels == 4) {
        out[out_base + 3] = bg[bg_base + 3];
    }
    // A pixel that takes nothing from the layer keeps its colour even when
    // the kernel's result is not finite (0 * NaN would not vanish).
    if (ratio == 0.0f) {
        for (int c = 0; c < 3; ++c) {
            out[out_base + c] = bg[bg_base + c];
        }
        return;
    }
    const rgb_triplet bg_rgb = read_rgb(bg, bg_base);
    const rgb_triplet comp = linear ? comp_scalar(decode_rgb(bg, bg_base, table),
                                                  decode_rgb(fg, fg_base, table))
                                    : comp_scalar(bg_rgb, read_rgb(fg, fg_base));
    write_unit(out, out_base, ratio_mix(comp.r, ratio, bg_rgb.r, 0));
    write_unit(out, out_base + 1, ratio_mix(comp.g, ratio, bg_rgb.g, 0));
    write_unit(out, out_base + 2, ratio_mix(comp.b, ratio, bg_rgb.b, 0));
}

// ---- groups of V's lane count ------------------------------------------------

// One group of pixels: unit colours and alpha (1 without an alpha channel),
// and what the decode and the exact copies need: the raw bytes of a byte
// image, the stored values of a float image.
template <typename V>
struct colour_group {
    V r, g, b, a;
    ivec_t<V> byte_r, byte_g, byte_b;
    V stored_r, stored_g, stored_b, stored_a;
};

// Bytes read as every other loop reads them: colours times the rounded
// 1/255, the alpha divided by 255.
template <typename V>
TARNWICK_RGB_LOOP void load_colour_group(const uint8_t *data, int channels, npy_intp index,
                              colour_group<V> &px) {
    using I = ivec_t<V>;
    const V inv255 = splat<V>(k_inv255);
    if (channels == 4) {
        I alpha;
        rgba_bytes_to_u32(load_rgba_u8_group<I>(data + index * 4), px.byte_r, px.byte_g,
                          px.byte_b, alpha);
        px.a = to_float(alpha) / splat<V>(255.0f);
    } else {
        load_rgb_u32_group<V>(data + index * 3, px.byte_r, px.byte_g, px.byte_b);
        px.a = splat<V>(1.0f);
    }
    px.r = u32_to_unit(px.byte_r, inv255);
    px.g = u32_to_unit(px.byte_g, inv255);
    px.b = u32_to_unit(px.byte_b, inv255);
}

// Floats divided by 255, as the scalar readers do.
template <typename V>
TARNWICK_RGB_LOOP void load_colour_group(const float *data, int channels, npy_intp index,
                              colour_group<V> &px) {
    const V one = splat<V>(1.0f);
    const V scale = splat<V>(255.0f);
    if (channels == 4) {
        load_rgba_group(data + index * 4, one, px.stored_r, px.stored_g, px.stored_b,
                        px.stored_a);
        px.a = px.stored_a / scale;
    } else {
        load_rgb_group(data + index * 3, one, px.stored_r, px.stored_g, px.stored_b);
        px.a = one;
    }
    px.r = px.stored_r / scale;
    px.g = px.stored_g / scale;
    px.b = px.stored_b / scale;
}

// A byte image's group decoded by the table, one lookup per value straight
// from the pixel bytes: on the processors measured this beats a vector
// gather.
template <typename V>
TARNWICK_RGB_LOOP void decode_group(const colour_group<V> &, const uint8_t *data, int channels,
                                    npy_intp index, const float *table, V *r, V *g, V *b) {
    constexpr int lanes = lane_count<V>;
    alignas(32) float linear[3][lanes];
    const uint8_t *pixel = data + index * channels;
    for (int i = 0; i < lanes; ++i) {
        linear[0][i] = table[pixel[i * channels]];
        linear[1][i] = table[pixel[i * channels + 1]];
        linear[2][i] = table[pixel[i * channels + 2]];
    }
    *r = from_lane_array<V>(linear[0]);
    *g = from_lane_array<V>(linear[1]);
    *b = from_lane_array<V>(linear[2]);
}
template <typename V>
TARNWICK_RGB_LOOP void decode_group(const colour_group<V> &px, const float *, int, npy_intp,
                                    const float *, V *r, V *g, V *b) {
    *r = srgb_to_linear_ps(px.r);
    *g = srgb_to_linear_ps(px.g);
    *b = srgb_to_linear_ps(px.b);
}

// Byte outputs pack unit values (a background byte survives the round
// trip); float outputs take the stored values where `takes` is clear and
// the stored alpha.
template <typename V>
TARNWICK_RGB_LOOP void store_colour_group(uint8_t *out, int channels, npy_intp index,
                               const colour_group<V> &bg, V takes, V r, V g, V b) {
    r = select(takes, r, bg.r);
    g = select(takes, g, bg.g);
    b = select(takes, b, bg.b);
    if (channels == 4) {
        store_rgba_group(out + index * 4, r, g, b, bg.a);
    } else {
        store_rgb_group(out + index * 3, r, g, b);
    }
}
template <typename V>
TARNWICK_RGB_LOOP void store_colour_group(float *out, int channels, npy_intp index,
                               const colour_group<V> &bg, V takes, V r, V g, V b) {
    const V scale = splat<V>(255.0f);
    r = select(takes, r * scale, bg.stored_r);
    g = select(takes, g * scale, bg.stored_g);
    b = select(takes, b * scale, bg.stored_b);
    if (channels == 4) {
        store_stored_rgba_group(out + index * 4, r, g, b, bg.stored_a);
    } else {
        store_stored_rgb_group(out + index * 3, r, g, b);
    }
}

inline int any_lane(__m128 mask) { return _mm_movemask_ps(mask); }
inline int any_lane(__m256 mask) { return _mm256_movemask_ps(mask); }

// Groups of four or eight pixels (V's lane count) from `index` while a whole
// group remains, by the scalar rule's arithmetic lane by lane. Returns the
// first pixel not done.
template <typename V, bool linear, bool masked, typename B, typename F, typename Kernel>
TARNWICK_RGB_LOOP npy_intp rgb_mode_group_loop(const B *bg, int bg_channels, const F *fg,
                                               int fg_channels, B *out, float opacity,
                                               const BlendMask &mask, const float *table,
                                               npy_intp index, npy_intp pixels, Kernel comp) {
    constexpr int lanes = lane_count<V>;
    const V zero = splat<V>(0.0f);
    const V opacity_v = splat<V>(opacity);
    // Two images without alpha and no mask: one ratio for every pixel.
    const bool opaque = !masked && bg_channels == 3 && fg_channels == 3;
    const V opaque_ratio = ratio_weight(splat<V>(1.0f), splat<V>(1.0f), opacity_v);
    for (; index + lanes <= pixels; index += lanes) {
        colour_group<V> bg_px, fg_px;
        load_colour_group(bg, bg_channels, index, bg_px);
        load_colour_group(fg, fg_channels, index, fg_px);
        V fg_alpha = fg_px.a;
        if constexpr (masked) {
            fg_alpha = masked_alpha(fg_alpha, mask_weights<V>(mask, index));
        }
        const V ratio = opaque ? opaque_ratio : ratio_weight(bg_px.a, fg_alpha, opacity_v);
        // As in the scalar rule, lanes with ratio 0 keep the background
        // whatever the kernel produced; a group of them skips the kernel.
        const V takes = neq(ratio, zero);
        V out_r = zero, out_g = zero, out_b = zero;
        if (any_lane(takes)) {
            V comp_r, comp_g, comp_b;
            if constexpr (linear) {
                V bg_r, bg_g, bg_b, fg_r, fg_g, fg_b;
                decode_group(bg_px, bg, bg_channels, index, table, &bg_r, &bg_g, &bg_b);
                decode_group(fg_px, fg, fg_channels, index, table, &fg_r, &fg_g, &fg_b);
                comp(bg_r, bg_g, bg_b, fg_r, fg_g, fg_b, &comp_r, &comp_g, &comp_b);
            } else {
                comp(bg_px.r, bg_px.g, bg_px.b, fg_px.r, fg_px.g, fg_px.b, &comp_r, &comp_g,
                     &comp_b);
            }
            out_r = ratio_mix(comp_r, ratio, bg_px.r, 0);
            out_g = ratio_mix(comp_g, ratio, bg_px.g, 0);
            out_b = ratio_mix(comp_b, ratio, bg_px.b, 0);
        }
        store_colour_group(out, bg_channels, index, bg_px, takes, out_r, out_g, out_b);
    }
    return index;
}

// All pixels of one call: the widest groups first, then single pixels.
template <bool linear, bool masked, typename B, typename F>
TARNWICK_RGB_LOOP void rgb_mode_pixels(const BlendCall &call, kernel_kind kernel, const B *bg,
                                       const F *fg, B *out, blend_rgb_comp_fn comp_scalar,
                                       blend_rgb_comp_fn128 comp_sse,
                                       blend_rgb_comp_fn256 comp_avx) {
    const npy_intp pixels = call.pixels();
    const int bg_channels = call.background.channels;
    const int fg_channels = call.foreground.channels;
    const float opacity = call.opacity;
    const float *table = linear ? srgb_byte_table_linear() : nullptr;
    run_width_sequence(
        kernel, 0,
        [&](auto lanes, npy_intp from) __attribute__((always_inline)) {
            using V = decltype(lanes);
            return rgb_mode_group_loop<V, linear, masked>(bg, bg_channels, fg, fg_channels, out,
                                                          opacity, call.mask, table, from, pixels,
                                                          kernel_of_width<V>(comp_sse, comp_avx));
        },
        [&](npy_intp from) __attribute__((always_inline)) {
            for (; from < pixels; ++from) {
                rgb_mode_scalar_pixel<linear, masked>(bg, bg_channels, fg, fg_channels, out,
                                                      opacity, call.mask, table, from,
                                                      comp_scalar);
            }
        });
}

// `comp_*` take sRGB unit values. The `linear_*` kernels, where given (all
// three or none), are the same kernels on values already decoded to linear
// light, and are used instead.
TARNWICK_RGB_LOOP PyObject *blend_rgb_mode_simd(PyObject *self, PyObject *args,
                                                blend_rgb_comp_fn comp_scalar,
                                                blend_rgb_comp_fn128 comp_sse,
                                                blend_rgb_comp_fn256 comp_avx,
                                                blend_rgb_comp_fn linear_scalar = nullptr,
                                                blend_rgb_comp_fn128 linear_sse = nullptr,
                                                blend_rgb_comp_fn256 linear_avx = nullptr) {
    return run_blend_call<true>(self, args, [&](BlendCall &call, kernel_kind kernel, auto bg,
                                                auto fg, auto out)
                                                __attribute__((always_inline)) {
        const bool masked = has_mask(call.mask);
        if (linear_scalar != nullptr) {
            if (masked) {
                rgb_mode_pixels<true, true>(call, kernel, bg, fg, out, linear_scalar, linear_sse,
                                            linear_avx);
            } else {
                rgb_mode_pixels<true, false>(call, kernel, bg, fg, out, linear_scalar,
                                             linear_sse, linear_avx);
            }
        } else if (masked) {
            rgb_mode_pixels<false, true>(call, kernel, bg, fg, out, comp_scalar, comp_sse,
                                         comp_avx);
        } else {
            rgb_mode_pixels<false, false>(call, kernel, bg, fg, out, comp_scalar, comp_sse,
                                          comp_avx);
        }
    });
}
