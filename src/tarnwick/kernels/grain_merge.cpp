// "grain_merge": background plus layer around middle grey.
#include "blend_common.hpp"

template <typename V>
static V grain_merge_formula(V in_c, V layer_c) {
    return clamp_unit((in_c + layer_c) - splat<V>(0.5f));
}

TARNWICK_FLOAT_KERNELS(grain_merge, grain_merge_formula, grain_merge_formula)

TARNWICK_EXPORT PyObject *blend_grain_merge(PyObject *self, PyObject *args) {
    return blend_ratio_mode_simd(self, args, grain_merge_comp, grain_merge_comp_ps128,
                                 grain_merge_comp_ps256, nullptr, nullptr, 0);
}
