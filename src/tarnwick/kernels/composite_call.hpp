// What one call of the compositing model holds once its arguments are
// checked, and the per-blend-function kernels that run it. Free of vector
// code: the module's start-up file fills the record.
#pragma once

#include "../blend_list.hpp"
#include "blend_inputs.hpp"
#include "composite_operators.hpp"
#include "kernel_select.hpp"
#include "mask_input.hpp"
#include "srgb_tables.hpp"

struct CompositeJob {
    BlendArray backdrop;
    BlendArray source;
    BlendOutput output;  // the backdrop's type and channel count
    BlendMask mask;      // multiplies the source's alpha; may be empty
    CompositeOperator op;
    float opacity;       // within 0..1
    float float_scale;   // what 1 is on a float image (255, or 1.0 for 0..1)
    bool premultiplied;  // inputs and result hold colour times alpha
    // uint8 colours decoded to linear light, composited, encoded back (for
    // straight uint8 images only); null for sRGB as stored.
    const SrgbTables *linear;
    kernel_kind kernel;
    npy_intp pixels;
};

// Runs the pixel loops of one blend function over the whole job. Touches no
// Python object: called without the interpreter's thread state.
typedef void (*composite_kernel_fn)(const CompositeJob *job);

#define TARNWICK_COMPOSITE_KERNEL_DECLARATION(blend) \
    void composite_##blend(const CompositeJob *job);
TARNWICK_FOR_EACH_BLEND(TARNWICK_COMPOSITE_KERNEL_DECLARATION)
#undef TARNWICK_COMPOSITE_KERNEL_DECLARATION
