// "multiply": the product of background and layer.
#include "blend_common.hpp"

template <typename V>
static V multiply_formula(V in_c, V layer_c) {
    return in_c * layer_c;
}

// The integer product is exact; only the squared reciprocal is rounded.
template <typename VI, typename V>
static V multiply_bytes(VI in_c, VI layer_c, V inv255) {
    return (inv255 * inv255) * to_float(lane_mul(in_c, layer_c));
}

TARNWICK_FLOAT_KERNELS(multiply, multiply_formula, multiply_formula)
TARNWICK_BYTE_KERNELS(multiply, multiply_bytes)

TARNWICK_EXPORT PyObject *blend_multiply(PyObject *self, PyObject *args) {
    return blend_ratio_mode_simd(self, args, multiply_comp, multiply_comp_ps128,
                                 multiply_comp_ps256, multiply_comp_u8_ps128,
                                 multiply_comp_u8_ps256, 0);
}
