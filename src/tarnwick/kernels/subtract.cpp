// "subtract": background minus layer, clipped to black by the compositor.
#include "blend_common.hpp"

template <typename V>
static V subtract_formula(V in_c, V layer_c) {
    return in_c - layer_c;
}

TARNWICK_FLOAT_KERNELS(subtract, subtract_formula, subtract_formula)

TARNWICK_EXPORT PyObject *blend_subtract(PyObject *self, PyObject *args) {
    return blend_ratio_mode_simd(self, args, subtract_comp, subtract_comp_ps128,
                                 subtract_comp_ps256, nullptr, nullptr, 1);
}
