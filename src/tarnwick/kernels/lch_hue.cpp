// "lch_hue": the foreground's hue direction at the background's lightness
// and chroma. A grey foreground has no hue to give.
#include "blend_common.hpp"

TARNWICK_LCH_KERNELS(lch_hue, /*use_l=*/0, /*use_c=*/0, /*use_h=*/1)

TARNWICK_EXPORT PyObject *blend_lch_hue(PyObject *self, PyObject *args) {
    return blend_rgb_mode_simd(self, args, lch_hue_comp, lch_hue_comp_ps128, lch_hue_comp_ps256,
                               lch_hue_linear_comp, lch_hue_linear_comp_ps128,
                               lch_hue_linear_comp_ps256);
}
