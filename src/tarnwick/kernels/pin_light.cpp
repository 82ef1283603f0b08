// "pin_light": a dark layer darkens, a light one lightens; 0.5 and above
// take the lightening side.
#include "blend_common.hpp"

template <typename V>
static V pin_light_formula(V in_c, V layer_c) {
    const V doubled = layer_c + layer_c;
    const V low = lane_min(in_c, doubled);
    const V high = lane_max(doubled - splat<V>(1.0f), in_c);
    return select(lt(layer_c, splat<V>(0.5f)), low, high);
}

TARNWICK_FLOAT_KERNELS(pin_light, pin_light_formula, pin_light_formula)

TARNWICK_EXPORT PyObject *blend_pin_light(PyObject *self, PyObject *args) {
    return blend_ratio_mode_simd(self, args, pin_light_comp, pin_light_comp_ps128,
                                 pin_light_comp_ps256, nullptr, nullptr, 0);
}
