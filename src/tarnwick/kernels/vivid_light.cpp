// "vivid_light": burn by the doubled layer below 0.5, dodge by it above.
#include "blend_common.hpp"

template <typename V>
static V vivid_light_formula(V in_c, V layer_c) {
    const V zero = splat<V>(0.0f);
    const V half = splat<V>(0.5f);
    const V one = splat<V>(1.0f);
    const V burn_layer = layer_c + layer_c;
    const V burn_zero = eq(burn_layer, zero);
    const V burned = select(burn_zero, keep_if(eq(in_c, one), one),
                            one - lane_min((one - in_c) / burn_layer, one));
    const V dodge_layer = (layer_c - half) + (layer_c - half);
    const V dodged = select(eq(dodge_layer, one), one, lane_min(in_c / (one - dodge_layer), one));
    return select(lt(layer_c, half), burned, dodged);
}

TARNWICK_FLOAT_KERNELS(vivid_light, vivid_light_formula, vivid_light_formula)

TARNWICK_EXPORT PyObject *blend_vivid_light(PyObject *self, PyObject *args) {
    return blend_ratio_mode_simd(self, args, vivid_light_comp, vivid_light_comp_ps128,
                                 vivid_light_comp_ps256, nullptr, nullptr, 0);
}
