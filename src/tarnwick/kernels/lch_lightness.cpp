// "lch_lightness": the foreground's lightness with the background's a and b.
#include "blend_common.hpp"

TARNWICK_LCH_KERNELS(lch_lightness, /*use_l=*/1, /*use_c=*/0, /*use_h=*/0)

TARNWICK_EXPORT PyObject *blend_lch_lightness(PyObject *self, PyObject *args) {
    return blend_rgb_mode_simd(self, args, lch_lightness_comp, lch_lightness_comp_ps128, lch_lightness_comp_ps256,
                               lch_lightness_linear_comp, lch_lightness_linear_comp_ps128,
                               lch_lightness_linear_comp_ps256);
}
