// The compositor of the separable modes: the mode's kernel is applied to the
// background and foreground colour, and its result is mixed into the
// background by a ratio derived from the two alphas and the opacity. The
// output keeps the background's alpha.
#pragma once

#include <cmath>

#include "blend_inputs.hpp"
#include "channel_access.hpp"
#include "kernel_select.hpp"
#include "separable_kernels.hpp"
#include "simd.hpp"

typedef float (*blend_comp_fn)(float in_c, float layer_c);
typedef __m128 (*blend_comp_fn128)(__m128 in_c, __m128 layer_c);
typedef __m256 (*blend_comp_fn256)(__m256 in_c, __m256 layer_c);
typedef __m128 (*blend_comp_fn128_u8)(__m128i in_c, __m128i layer_c, __m128 inv255);
typedef __m256 (*blend_comp_fn256_u8)(__m256i in_c, __m256i layer_c, __m256 inv255);

// The per-pixel rule, written once for a single pixel and for 4 or 8 lanes.
// The order of operations and the fused steps are part of the rule: the
// vector loops reproduce the scalar values exactly from equal inputs.

// Weight of the kernel's result: the coverage min(in_a, layer_a) * opacity
// relative to what an "over" of that coverage would leave, 0 where that is
// not positive (or NaN).
template <typename V>
inline V ratio_weight(V in_a, V layer_a, V opacity) {
    const V one = splat<V>(1.0f);
    const V comp_alpha = lane_min(in_a, layer_a) * opacity;
    const V new_alpha = mul_add(comp_alpha, one - in_a, in_a);
    return keep_if(gt(new_alpha, splat<V>(0.0f)), comp_alpha / new_alpha);
}

// comp * ratio + (1 - ratio) * in_c: the product (1 - ratio) * in_c rounded,
// the sum fused; clamped into [0, 1] for modes that ask for it.
template <typename V>
inline V ratio_mix(V comp, V ratio, V in_c, int clip_output) {
    const V out = mul_add(comp, ratio, (splat<V>(1.0f) - ratio) * in_c);
    return clip_output ? clamp_unit(out) : out;
}

// The reference loop, one pixel at a time from `index` to `pixels` - 1.
template <typename B, typename F, typename O>
inline void ratio_scalar_loop(const B *bg, int bg_channels, const F *fg, int fg_channels, O *out,
                              float opacity, blend_comp_fn comp_scalar, int clip_output,
                              npy_intp index, npy_intp pixels) {
    for (; index < pixels; ++index) {
        const npy_intp bg_offset = index * bg_channels;
        const npy_intp fg_offset = index * fg_channels;
        const float in_a = bg_channels == 4 ? read_unit(bg, bg_offset + 3) : 1.0f;
        const float layer_a = fg_channels == 4 ? read_unit(fg, fg_offset + 3) : 1.0f;
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

inline PyObject *blend_ratio_mode_simd(PyObject *args, blend_comp_fn comp_scalar,
                                       blend_comp_fn128 comp_sse, blend_comp_fn256 comp_avx,
                                       blend_comp_fn128_u8 comp_sse_u8,
                                       blend_comp_fn256_u8 comp_avx_u8, int clip_output) {
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
    (void)kernel;
    (void)comp_sse;
    (void)comp_avx;
    (void)comp_sse_u8;
    (void)comp_avx_u8;

    PyThreadState *save = PyEval_SaveThread();
    with_typed_data(&call.background, &call.foreground, &call.output,
                    [&](auto bg, auto fg, auto out) {
                        npy_intp index = 0;
                        ratio_scalar_loop(bg, bg_channels, fg, fg_channels, out, opacity,
                                          comp_scalar, clip_output, index, pixels);
                    });
    PyEval_RestoreThread(save);
    return call.finish();
}
