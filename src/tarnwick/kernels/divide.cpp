// "divide": background divided by layer, on the 0..255 scale 256a / (b + 1),
// so that a black layer never divides by zero.
#include "blend_common.hpp"

template <typename V>
static V divide_formula(V in_c, V layer_c) {
    const V scale = splat<V>(0x1.010102p+0f);  // nearest to 256/255
    const V bias = splat<V>(0x1.010102p-8f);   // nearest to 1/255
    return min_one((in_c * scale) / (layer_c + bias));
}

TARNWICK_FLOAT_KERNELS(divide, divide_formula, divide_formula)

TARNWICK_EXPORT PyObject *blend_divide(PyObject *self, PyObject *args) {
    return blend_ratio_mode_simd(self, args, divide_comp, divide_comp_ps128, divide_comp_ps256,
                                 nullptr, nullptr, 0);
}
