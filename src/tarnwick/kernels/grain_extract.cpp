// "grain_extract": background minus layer around middle grey.
#include "blend_common.hpp"

template <typename V>
static V grain_extract_formula(V in_c, V layer_c) {
    return clamp_unit((in_c - layer_c) + splat<V>(0.5f));
}

TARNWICK_FLOAT_KERNELS(grain_extract, grain_extract_formula, grain_extract_formula)

TARNWICK_EXPORT PyObject *blend_grain_extract(PyObject *self, PyObject *args) {
    return blend_ratio_mode_simd(self, args, grain_extract_comp, grain_extract_comp_ps128,
                                 grain_extract_comp_ps256, nullptr, nullptr, 0);
}
