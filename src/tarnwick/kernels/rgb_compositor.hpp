// The compositor of the colour-model modes: a whole-pixel kernel's result is
// mixed into the background by a ratio of the two alphas and the opacity;
// the background's alpha is kept.
#pragma once

#include "blend_call.hpp"
#include "channel_access.hpp"
#include "colour_types.hpp"
#include "kernel_select.hpp"
#include "pixel_simd.hpp"
#include "ratio_rule.hpp"
#include "simd.hpp"

// One pixel by the reference rule.
template <typename B, typename F, typename O>
inline void rgb_mode_scalar_pixel(const B *bg, int bg_channels, const F *fg, int fg_channels,
                                  O *out, float opacity, npy_intp index,
                                  blend_rgb_comp_fn comp_scalar) {
    const npy_intp bg_base = index * bg_channels;
    const npy_intp fg_base = index * fg_channels;
    const npy_intp out_base = bg_base;  // the output has the background's layout
    const rgb_triplet bg_rgb{read_unit(bg, bg_base), read_unit(bg, bg_base + 1),
                             read_unit(bg, bg_base + 2)};
    const rgb_triplet fg_rgb{read_unit(fg, fg_base), read_unit(fg, fg_base + 1),
                             read_unit(fg, fg_base + 2)};
    const float bg_alpha = read_alpha(bg, bg_channels, bg_base);
    const float fg_alpha = read_alpha(fg, fg_channels, fg_base);
    const float ratio = ratio_weight(bg_alpha, fg_alpha, opacity);
    rgb_triplet mixed = bg_rgb;
    // A pixel that takes nothing from the layer keeps its colour even when
    // the kernel's result is not finite (0 * NaN would not vanish).
    if (ratio != 0.0f) {
        const rgb_triplet comp = comp_scalar(bg_rgb, fg_rgb);
        mixed.r = ratio_mix(comp.r, ratio, bg_rgb.r, 0);
        mixed.g = ratio_mix(comp.g, ratio, bg_rgb.g, 0);
        mixed.b = ratio_mix(comp.b, ratio, bg_rgb.b, 0);
    }
    write_unit(out, out_base, mixed.r);
    write_unit(out, out_base + 1, mixed.g);
    write_unit(out, out_base + 2, mixed.b);
    if (bg_channels == 4) {
        write_unit(out, out_base + 3, bg_alpha);
    }
}

// Colours and alpha of one group of V's lane count.
template <typename V, typename T>
inline void load_rgb_mode_group(const T *data, int channels, npy_intp index, V *r, V *g, V *b,
                                V *a) {
    load_rgb_record(data, channels, index, *r, *g, *b);
    *a = load_alpha_record<V>(data, channels, index);
}

// A 4-channel output gets the background's alpha back.
template <typename V>
inline void store_rgb_mode_group(BlendOutput *output, npy_intp index, V r, V g, V b, V a) {
    if (output->channels != 4) {
        store_rgb_record(output, index, r, g, b);
    } else if (output->is_uint8) {
        store_rgba_group(output->u8 + index * 4, r, g, b, a);
    } else {
        store_rgba_group(output->f32 + index * 4, r, g, b, a);
    }
}

// Groups of four or eight pixels (V's lane count) from `index` while a whole
// group remains, by the scalar rule's arithmetic lane by lane. Returns the
// first pixel not done.
template <typename V, typename B, typename F, typename Kernel>
inline npy_intp rgb_mode_group_loop(const B *bg, int bg_channels, const F *fg, int fg_channels,
                                    BlendOutput *output, float opacity, npy_intp index,
                                    npy_intp pixels, Kernel comp) {
    constexpr int lanes = lane_count<V>;
    const V zero = splat<V>(0.0f);
    const V opacity_v = splat<V>(opacity);
    for (; index + lanes <= pixels; index += lanes) {
        V bg_r, bg_g, bg_b, bg_a;
        V fg_r, fg_g, fg_b, fg_a;
        load_rgb_mode_group(bg, bg_channels, index, &bg_r, &bg_g, &bg_b, &bg_a);
        load_rgb_mode_group(fg, fg_channels, index, &fg_r, &fg_g, &fg_b, &fg_a);
        const V ratio = ratio_weight(bg_a, fg_a, opacity_v);
        V comp_r, comp_g, comp_b;
        comp(bg_r, bg_g, bg_b, fg_r, fg_g, fg_b, &comp_r, &comp_g, &comp_b);
        // As in the scalar rule, lanes with ratio 0 keep the background's
        // colour whatever the kernel produced.
        const V takes = neq(ratio, zero);
        const V out_r = select(takes, ratio_mix(comp_r, ratio, bg_r, 0), bg_r);
        const V out_g = select(takes, ratio_mix(comp_g, ratio, bg_g, 0), bg_g);
        const V out_b = select(takes, ratio_mix(comp_b, ratio, bg_b, 0), bg_b);
        store_rgb_mode_group(output, index, out_r, out_g, out_b, bg_a);
    }
    return index;
}

inline PyObject *blend_rgb_mode_simd(PyObject *self, PyObject *args, blend_rgb_comp_fn comp_scalar,
                                     blend_rgb_comp_fn128 comp_sse, blend_rgb_comp_fn256 comp_avx) {
    return run_blend_call(self, args, [&](BlendCall &call, kernel_kind kernel, auto bg,
                                          auto fg, auto out) {
        const npy_intp pixels = call.pixels();
        const int bg_channels = call.background.channels;
        const int fg_channels = call.foreground.channels;
        const float opacity = call.opacity;
        run_width_sequence(
            kernel, 0,
            [&](auto lanes, npy_intp from) __attribute__((always_inline)) {
                using V = decltype(lanes);
                const auto comp = kernel_of_width<V>(comp_sse, comp_avx);
                return comp != nullptr ? rgb_mode_group_loop<V>(bg, bg_channels, fg, fg_channels,
                                                                &call.output, opacity, from,
                                                                pixels, comp)
                                       : from;
            },
            [&](npy_intp from) __attribute__((always_inline)) {
                for (; from < pixels; ++from) {
                    rgb_mode_scalar_pixel(bg, bg_channels, fg, fg_channels, out, opacity, from,
                                          comp_scalar);
                }
            });
    });
}
