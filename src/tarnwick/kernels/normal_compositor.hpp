// The "over" compositor of the normal mode: the opaque-layer copy, the
// per-pixel rule, and the order in which the loops share the pixels.
#pragma once

#include <cmath>
#include <cstring>
#include <type_traits>

#include "blend_inputs.hpp"
#include "channel_access.hpp"
#include "kernel_select.hpp"

// An opaque 3-channel layer replaces the background: copy it, converted to
// the output's type, with full alpha in a 4-channel output.
template <typename F, typename O>
inline void normal_opaque_copy(const F *fg, O *out, int out_channels, npy_intp pixels) {
    if constexpr (std::is_same_v<F, O>) {
        if (out_channels == 3) {
            if (pixels > 0) {
                std::memcpy(out, fg, static_cast<size_t>(pixels) * 3 * sizeof(O));
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
        const float in_a = bg_channels == 4 ? read_unit(bg, bg_offset + 3) : 1.0f;
        const float layer_a = fg_channels == 4 ? read_unit(fg, fg_offset + 3) : 1.0f;
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

inline PyObject *blend_normal_mode(PyObject *args) {
    BlendCall call;
    PyObject *result = nullptr;
    if (!begin_blend_call(args, &call, &result)) {
        return result;
    }
    if (!allocate_blend_output(&call)) {
        return nullptr;
    }
    const npy_intp pixels = call.pixels();
    const int bg_channels = call.background.channels;
    const int fg_channels = call.foreground.channels;
    const float opacity = call.opacity;

    if (opacity >= 1.0f && fg_channels == 3) {
        PyThreadState *save = PyEval_SaveThread();
        with_typed_data(&call.background, &call.foreground, &call.output,
                        [&](auto, auto fg, auto out) {
                            normal_opaque_copy(fg, out, bg_channels, pixels);
                        });
        PyEval_RestoreThread(save);
        return call.finish();
    }

    const kernel_kind kernel = pick_kernel(call.kernel_name);
    PyThreadState *save = PyEval_SaveThread();
    with_typed_data(&call.background, &call.foreground, &call.output,
                    [&](auto bg, auto fg, auto out) {
                        npy_intp index = 0;
                        (void)kernel;
                        normal_scalar_loop(bg, bg_channels, fg, fg_channels, out, opacity, index,
                                           pixels);
                    });
    PyEval_RestoreThread(save);
    return call.finish();
}
