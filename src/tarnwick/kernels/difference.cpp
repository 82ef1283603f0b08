// "difference": the absolute difference of background and layer.
#include "blend_common.hpp"

template <typename V>
static V difference_formula(V in_c, V layer_c) {
    return lane_abs(in_c - layer_c);
}

template <typename VI, typename V>
static V difference_bytes(VI in_c, VI layer_c, V inv255) {
    return to_float(lane_abs(lane_sub(in_c, layer_c))) * inv255;
}

TARNWICK_FLOAT_KERNELS(difference, difference_formula, difference_formula)
TARNWICK_BYTE_KERNELS(difference, difference_bytes)

TARNWICK_EXPORT PyObject *blend_difference(PyObject *self, PyObject *args) {
    return blend_ratio_mode_simd(self, args, difference_comp, difference_comp_ps128,
                                 difference_comp_ps256, difference_comp_u8_ps128,
                                 difference_comp_u8_ps256, 0);
}
