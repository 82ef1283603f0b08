// The compositor of the colour-model modes: a whole-pixel kernel's result is
// mixed into the background by a ratio of the two alphas and the opacity;
// the background's alpha is kept.
#pragma once

#include <cmath>

#include "blend_inputs.hpp"
#include "channel_access.hpp"
#include "colour_types.hpp"
#include "kernel_select.hpp"

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
    const float bg_alpha = bg_channels == 4 ? read_unit(bg, bg_base + 3) : 1.0f;
    const float fg_alpha = fg_channels == 4 ? read_unit(fg, fg_base + 3) : 1.0f;
    const float comp_alpha = std::fmin(fg_alpha, bg_alpha) * opacity;
    const float new_alpha = std::fma(1.0f - bg_alpha, comp_alpha, bg_alpha);
    const float ratio = new_alpha == 0.0f ? 0.0f : comp_alpha / new_alpha;
    rgb_triplet mixed = bg_rgb;
    // A pixel that takes nothing from the layer keeps its colour even when
    // the kernel's result is not finite (0 * NaN would not vanish).
    if (ratio != 0.0f) {
        const rgb_triplet comp = comp_scalar(bg_rgb, fg_rgb);
        const float keep = 1.0f - ratio;
        mixed.r = std::fma(ratio, comp.r, keep * bg_rgb.r);
        mixed.g = std::fma(ratio, comp.g, keep * bg_rgb.g);
        mixed.b = std::fma(ratio, comp.b, keep * bg_rgb.b);
    }
    write_unit(out, out_base, mixed.r);
    write_unit(out, out_base + 1, mixed.g);
    write_unit(out, out_base + 2, mixed.b);
    if (bg_channels == 4) {
        write_unit(out, out_base + 3, bg_alpha);
    }
}

inline PyObject *blend_rgb_mode_simd(PyObject *args, blend_rgb_comp_fn comp_scalar,
                                     blend_rgb_comp_fn128 comp_sse, blend_rgb_comp_fn256 comp_avx) {
    BlendCall call;
    PyObject *result = nullptr;
    if (!begin_blend_call(args, &call, &result)) {
        return result;
    }
    if (!allocate_blend_output(&call)) {
        return nullptr;
    }
    const kernel_kind kernel = pick_kernel(call.kernel_name);
    const npy_intp pixels = call.pixels();
    const int bg_channels = call.background.channels;
    const int fg_channels = call.foreground.channels;
    const float opacity = call.opacity;
    (void)comp_sse;
    (void)comp_avx;
    (void)kernel;

    PyThreadState *save = PyEval_SaveThread();
    with_typed_data(&call.background, &call.foreground, &call.output,
                    [&](auto bg, auto fg, auto out) {
                        for (npy_intp index = 0; index < pixels; ++index) {
                            rgb_mode_scalar_pixel(bg, bg_channels, fg, fg_channels, out, opacity,
                                                  index, comp_scalar);
                        }
                    });
    PyEval_RestoreThread(save);
    return call.finish();
}
