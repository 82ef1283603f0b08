// "dodge": brightens the background by dividing it by the inverse layer.
#include "blend_common.hpp"

// A white layer leaves only a black background black.
template <typename V>
static V dodge_formula(V in_c, V layer_c) {
    const V zero = splat<V>(0.0f);
    const V one = splat<V>(1.0f);
    const V inverse = one - layer_c;
    const V value = min_one(in_c / inverse);
    const V zero_or_one = select(le(in_c, zero), zero, one);
    return select(le(inverse, zero), zero_or_one, value);
}

TARNWICK_FLOAT_KERNELS(dodge, dodge_formula, dodge_formula)

TARNWICK_EXPORT PyObject *blend_dodge(PyObject *self, PyObject *args) {
    return blend_ratio_mode_simd(self, args, dodge_comp, dodge_comp_ps128, dodge_comp_ps256,
                                 nullptr, nullptr, 0);
}
