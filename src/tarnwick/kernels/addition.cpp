// "addition": background plus layer, clipped to white by the compositor.
#include "blend_common.hpp"

template <typename V>
static V addition_formula(V in_c, V layer_c) {
    return in_c + layer_c;
}

template <typename VI, typename V>
static V addition_bytes(VI in_c, VI layer_c, V inv255) {
    return to_float(lane_add(in_c, layer_c)) * inv255;
}

TARNWICK_FLOAT_KERNELS(addition, addition_formula, addition_formula)
TARNWICK_BYTE_KERNELS(addition, addition_bytes)

TARNWICK_EXPORT PyObject *blend_addition(PyObject *self, PyObject *args) {
    return blend_ratio_mode_simd(self, args, addition_comp, addition_comp_ps128,
                                 addition_comp_ps256, addition_comp_u8_ps128,
                                 addition_comp_u8_ps256, 1);
}
