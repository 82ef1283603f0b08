// The compositor of the separable modes: the mode's kernel is applied to the
// background and foreground colour, and its result is mixed into the
// background by a ratio derived from the two alphas and the opacity. The
// output keeps the background's alpha.
#pragma once

#include <type_traits>

#include "blend_call.hpp"
#include "ratio_flat_loops.hpp"
#include "ratio_pixel_loops.hpp"
#include "ratio_rule.hpp"

// The byte-input kernels may be null (the mode has none); every other kernel
// must be given. Returns the new output array, or null with an exception set.
TARNWICK_LOOP PyObject *blend_ratio_mode_simd(PyObject *self, PyObject *args,
                                              blend_comp_fn comp_scalar, blend_comp_fn128 comp_sse,
                                              blend_comp_fn256 comp_avx,
                                              blend_comp_fn128_u8 comp_sse_u8,
                                              blend_comp_fn256_u8 comp_avx_u8, int clip_output) {
    return run_blend_call<true>(self, args, [&](const BlendCall &call, kernel_kind kernel, auto bg,
                                                auto fg, auto out) __attribute__((always_inline)) {
        const npy_intp pixels = call.pixels();
        const int bg_channels = call.background.channels;
        const int fg_channels = call.foreground.channels;
        const float opacity = call.opacity;
        constexpr bool all_bytes =
            std::is_same_v<std::remove_cv_t<std::remove_pointer_t<decltype(bg)>>, uint8_t> &&
            std::is_same_v<std::remove_cv_t<std::remove_pointer_t<decltype(fg)>>, uint8_t> &&
            std::is_same_v<std::remove_cv_t<std::remove_pointer_t<decltype(out)>>, uint8_t>;
        const auto loops = [&](auto masked, npy_intp index) __attribute__((always_inline)) {
            constexpr bool is_masked = decltype(masked)::value;
            run_width_sequence(
                kernel, index,
                [&](auto lanes, npy_intp from) __attribute__((always_inline)) {
                    using V = decltype(lanes);
                    if constexpr (is_masked && lane_count<V> == 8 && all_bytes) {
                        // Two RGB byte images: the values as they lie, no
                        // per-pixel shuffles.
                        if (bg_channels == 3 && fg_channels == 3) {
                            from = with_kernel_input(bg, fg, comp_avx_u8, [&](auto use_bytes)
                                                         __attribute__((always_inline)) {
                                return masked_flat_byte_loop<decltype(use_bytes)::value>(
                                    bg, fg, out, opacity, call.mask, comp_avx, comp_avx_u8,
                                    clip_output, from, pixels);
                            });
                        }
                    }
                    return ratio_pixel_vector_loop<is_masked, V>(
                        bg, bg_channels, fg, fg_channels, out, opacity, call.mask,
                        kernel_of_width<V>(comp_sse, comp_avx),
                        kernel_of_width<V>(comp_sse_u8, comp_avx_u8), clip_output, from, pixels);
                },
                [&](npy_intp from) __attribute__((always_inline)) {
                    ratio_scalar_loop<is_masked>(bg, bg_channels, fg, fg_channels, out, opacity,
                                                 call.mask, comp_scalar, clip_output, from,
                                                 pixels);
                });
        };
        // A mask gives every pixel its own ratio: the per-pixel loops (or,
        // for two RGB byte images, the masked flat loop) only.
        if (has_mask(call.mask)) {
            loops(std::true_type{}, 0);
            return;
        }
        // The flat loops do all or nothing; the per-pixel loops then start
        // where they stopped.
        npy_intp index = 0;
        if (bg_channels == 3 && fg_channels == 3) {
            index = ratio_flat_section(bg, fg, out, pixels, kernel, opacity, comp_scalar, comp_sse,
                                       comp_avx, comp_sse_u8, comp_avx_u8, clip_output);
        }
        loops(std::false_type{}, index);
    });
}
