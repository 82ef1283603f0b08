// "hard_light": screen with a light layer, multiply with a dark one; the
// layer decides, and exactly 0.5 multiplies.
#include "blend_common.hpp"

template <typename V>
static V hard_light_formula(V in_c, V layer_c) {
    const V half = splat<V>(0.5f);
    const V one = splat<V>(1.0f);
    const V t = fnmadd(layer_c - half, splat<V>(2.0f), one);
    const V screened = fnmadd(one - in_c, t, one);
    const V multiplied = (layer_c + layer_c) * in_c;
    // Both halves cap at 1: one cap after the choice.
    return min_one(select(gt(layer_c, half), screened, multiplied));
}

TARNWICK_FLOAT_KERNELS(hard_light, hard_light_formula, hard_light_formula)

TARNWICK_EXPORT PyObject *blend_hard_light(PyObject *self, PyObject *args) {
    return blend_ratio_mode_simd(self, args, hard_light_comp, hard_light_comp_ps128,
                                 hard_light_comp_ps256, nullptr, nullptr, 0);
}
