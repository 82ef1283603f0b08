// "exclusion": a + b - 2ab, a softer difference.
#include "blend_common.hpp"

// The scalar form fuses the doubled background into the product; the vector
// form rounds the product first. The two may differ in the last bit.
static float exclusion_scalar(float in_c, float layer_c) {
    return fnmadd(in_c + in_c, layer_c, in_c + layer_c);
}

template <typename V>
static V exclusion_vector(V in_c, V layer_c) {
    return fnmadd(in_c * layer_c, splat<V>(2.0f), in_c + layer_c);
}

TARNWICK_FLOAT_KERNELS(exclusion, exclusion_scalar, exclusion_vector)

TARNWICK_EXPORT PyObject *blend_exclusion(PyObject *self, PyObject *args) {
    return blend_ratio_mode_simd(self, args, exclusion_comp, exclusion_comp_ps128,
                                 exclusion_comp_ps256, nullptr, nullptr, 0);
}
