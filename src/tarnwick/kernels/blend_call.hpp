// The calling protocol every compositor follows around its pixel loops.
#pragma once

#include <immintrin.h>

#include "blend_inputs.hpp"
#include "blend_target.hpp"
#include "channel_access.hpp"
#include "kernel_select.hpp"
#include "mask_input.hpp"
#include "row_runs.hpp"
#include "simd.hpp"

// What one blend call holds between parsing and returning.
struct BlendCall {
    BlendArray background;
    BlendArray foreground;
    float opacity;
    npy_intp height;
    npy_intp width;
    const char *kernel_name;
    PyObject *kernel_hold;
    BlendOutput output;
    BlendMask mask;  // empty without a layer mask

    npy_intp pixels() const { return height * width; }

    // Releases the kernel name, the mask and the inputs, in that order.
    void release() {
        Py_CLEAR(kernel_hold);
        release_blend_mask(&mask);
        release_blend_inputs(&background, &foreground);
    }
};

inline constexpr const char *k_msg_mask_mode = "this blend mode takes no layer mask";

// Parses the arguments; an opacity of 0 or less returns a copy of the
// background. Otherwise allocates the output, chooses the kernel and runs
// `pixel_loops(call, kernel, bg, fg, out)` with the typed data pointers of
// the call's element types, without the interpreter's thread state. When
// `self` carries a BlendTarget (the blend-into entry) the caller's array is
// checked and written instead of a new one, and returned; its layer mask,
// if any, is parsed into `call.mask` after the inputs. A compositor whose
// loops do not read `call.mask` leaves `takes_mask` false, and a mask given
// to it is refused rather than ignored. Every reference but the returned
// output is released exactly once on every path.
// Always inlined so that constant kernel pointers reach the loops.
template <bool takes_mask = false, typename PixelLoops>
__attribute__((always_inline)) inline PyObject *run_blend_call(PyObject *self, PyObject *args,
                                                               PixelLoops &&pixel_loops) {
    BlendCall call{};
    const BlendTarget *target = blend_target_of(self);
    // Only the blend-into entry takes uint16 images and other float scales:
    // it converts them a piece at a time, in the loops' own pieces.
    if (!parse_blend_inputs(args, &call.background, &call.foreground, &call.opacity,
                            &call.height, &call.width, &call.kernel_name, &call.kernel_hold,
                            target != nullptr)) {
        return nullptr;
    }
    const double float_scale = target != nullptr ? target->float_scale : 255.0;
    if (target != nullptr && target->mask != nullptr && target->mask != Py_None) {
        if (!takes_mask) {
            PyErr_SetString(PyExc_ValueError, k_msg_mask_mode);
            call.release();
            return nullptr;
        }
        if (!parse_blend_mask(target->mask, call.height, call.width, &call.mask)) {
            call.release();
            return nullptr;
        }
    }
    if (target != nullptr && !adopt_output(target->out, &call.background, &call.output)) {
        call.release();
        return nullptr;
    }
    if (call.opacity <= 0.0f) {
        int copied = 1;
        if (target != nullptr) {
            copy_background_into(&call.background, &call.output);
        } else {
            copied = copy_background(&call.background, &call.output, call.height, call.width);
        }
        call.release();
        return copied ? reinterpret_cast<PyObject *>(call.output.array) : nullptr;
    }
    if (target == nullptr &&
        !alloc_output(&call.background, call.height, call.width, &call.output)) {
        call.release();
        return nullptr;
    }
    const kernel_kind kernel = pick_kernel(call.kernel_name);
    // A region of a larger image goes through scratch, taken before the
    // thread state is released so that a failure can be raised.
    const size_t scratch_bytes =
        gather_scratch_bytes(call.background, call.foreground, call.output, call.mask, float_scale);
    unsigned char *scratch = nullptr;
    if (scratch_bytes > 0) {
        scratch = static_cast<unsigned char *>(PyMem_RawMalloc(scratch_bytes));
        if (scratch == nullptr) {
            PyErr_NoMemory();
            Py_CLEAR(call.output.array);
            call.release();
            return nullptr;
        }
    }
    PyThreadState *save = PyEval_SaveThread();
    // A copy the pieces step through; it owns nothing.
    BlendCall run = call;
    run_gathered(&run.background, &run.foreground, &run.output, &run.mask, scratch, float_scale,
                [&](npy_intp pixels) __attribute__((always_inline)) {
                    run.height = 1;
                    run.width = pixels;
                    with_typed_data(&run.background, &run.foreground, &run.output,
                                    [&](auto bg, auto fg, auto out) __attribute__((always_inline)) {
                                        pixel_loops(run, kernel, bg, fg, out);
                                    });
                });
    PyEval_RestoreThread(save);
    PyMem_RawFree(scratch);
    call.release();
    return reinterpret_cast<PyObject *>(call.output.array);
}

// The order every compositor shares the pixels in: under AVX2 groups of 8
// while 8 remain, then under AVX2 or SSE4.2 groups of 4 while 4 remain, then
// single pixels. `groups(V{}, index)` runs the groups of V's lane count from
// `index` (none, where it has no loop of that width) and returns the first
// pixel it left; `singles(index)` does the rest.
template <typename Groups, typename Singles>
__attribute__((always_inline)) inline void run_width_sequence(kernel_kind kernel, npy_intp index,
                                                              Groups &&groups,
                                                              Singles &&singles) {
    if (kernel == KERNEL_AVX2) {
        index = groups(__m256{}, index);
    }
    if (kernel == KERNEL_AVX2 || kernel == KERNEL_SSE42) {
        index = groups(__m128{}, index);
    }
    singles(index);
}

// Of a mode's four- and eight-lane kernels, the one of V's width.
template <typename V, typename Kernel128, typename Kernel256>
__attribute__((always_inline)) inline auto kernel_of_width(Kernel128 kernel128,
                                                           Kernel256 kernel256) {
    if constexpr (lane_count<V> == 8) {
        return kernel256;
    } else {
        return kernel128;
    }
}
