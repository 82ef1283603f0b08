// "overlay": hard_light with the roles swapped: the background decides, and
// exactly 0.5 takes the screen side.
#include "blend_common.hpp"

static float overlay_scalar(float in_c, float layer_c) {
    if (in_c < 0.5f) {
        return (in_c + in_c) * layer_c;
    }
    const float inverse = 1.0f - in_c;
    return fnmadd(inverse + inverse, 1.0f - layer_c, 1.0f);
}

// The screen side rounds the product of the inverses before doubling it, so
// it may differ from the scalar form in the last bit.
template <typename V>
static V overlay_vector(V in_c, V layer_c) {
    const V one = splat<V>(1.0f);
    const V multiplied = (in_c + in_c) * layer_c;
    const V screened = fnmadd((one - layer_c) * (one - in_c), splat<V>(2.0f), one);
    return select(lt(in_c, splat<V>(0.5f)), multiplied, screened);
}

TARNWICK_FLOAT_KERNELS(overlay, overlay_scalar, overlay_vector)

TARNWICK_EXPORT PyObject *blend_overlay(PyObject *self, PyObject *args) {
    return blend_ratio_mode_simd(self, args, overlay_comp, overlay_comp_ps128, overlay_comp_ps256,
                                 nullptr, nullptr, 0);
}
