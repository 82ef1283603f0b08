// "lch_chroma": the foreground's chroma at the background's lightness and
// hue. A grey background (no hue to keep) takes the positive a axis.
#include "blend_common.hpp"

TARNWICK_LCH_KERNELS(lch_chroma, /*use_l=*/0, /*use_c=*/1, /*use_h=*/0)

TARNWICK_EXPORT PyObject *blend_lch_chroma(PyObject *self, PyObject *args) {
    return blend_rgb_mode_simd(self, args, lch_chroma_comp, lch_chroma_comp_ps128, lch_chroma_comp_ps256,
                               lch_chroma_linear_comp, lch_chroma_linear_comp_ps128,
                               lch_chroma_linear_comp_ps256);
}
