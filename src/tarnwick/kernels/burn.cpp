// "burn": darkens the background by the inverse of the layer.
#include "blend_common.hpp"

// A black layer leaves only a white background white.
template <typename V>
static V burn_formula(V in_c, V layer_c) {
    const V zero = splat<V>(0.0f);
    const V one = splat<V>(1.0f);
    const V value = one - lane_min((one - in_c) / layer_c, one);
    const V zero_or_one = keep_if(eq(in_c, one), one);
    return select(eq(layer_c, zero), zero_or_one, value);
}

TARNWICK_FLOAT_KERNELS(burn, burn_formula, burn_formula)

TARNWICK_EXPORT PyObject *blend_burn(PyObject *self, PyObject *args) {
    return blend_ratio_mode_simd(self, args, burn_comp, burn_comp_ps128, burn_comp_ps256, nullptr,
                                 nullptr, 0);
}
