// "lch_color": the foreground's a and b (chroma and hue together) at the
// background's lightness.
#include "blend_common.hpp"

TARNWICK_LCH_KERNELS(lch_color, /*use_l=*/0, /*use_c=*/1, /*use_h=*/1)

TARNWICK_EXPORT PyObject *blend_lch_color(PyObject *self, PyObject *args) {
    return blend_rgb_mode_simd(self, args, lch_color_comp, lch_color_comp_ps128, lch_color_comp_ps256,
                               lch_color_linear_comp, lch_color_linear_comp_ps128,
                               lch_color_linear_comp_ps256);
}
