// "soft_light": (1 - a)·a·b + a·screen(a, b), a gentle overlay.
#include "blend_common.hpp"

// The two forms fuse different products, so they may differ in the last bit.
static float soft_light_scalar(float in_c, float layer_c) {
    const float inverse = 1.0f - in_c;
    const float screened = fnmadd(inverse, 1.0f - layer_c, 1.0f);
    return mul_add(inverse * in_c, layer_c, screened * in_c);
}

template <typename V>
static V soft_light_vector(V in_c, V layer_c) {
    const V one = splat<V>(1.0f);
    const V inverse = one - in_c;
    const V screened = fnmadd(inverse, one - layer_c, one);
    return mul_add(in_c, screened, (in_c * inverse) * layer_c);
}

TARNWICK_FLOAT_KERNELS(soft_light, soft_light_scalar, soft_light_vector)

TARNWICK_EXPORT PyObject *blend_soft_light(PyObject *self, PyObject *args) {
    return blend_ratio_mode_simd(self, args, soft_light_comp, soft_light_comp_ps128,
                                 soft_light_comp_ps256, nullptr, nullptr, 0);
}
