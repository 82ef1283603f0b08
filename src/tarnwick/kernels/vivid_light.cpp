// "vivid_light": burn by the doubled layer below 0.5, dodge by it above.
#include "blend_common.hpp"

// The two halves divide different operands; each lane picks its half's
// numerator and divisor first, so one division serves both.
template <typename V>
static V vivid_light_formula(V in_c, V layer_c) {
    const V zero = splat<V>(0.0f);
    const V half = splat<V>(0.5f);
    const V one = splat<V>(1.0f);
    const V low = lt(layer_c, half);
    const V burn_layer = layer_c + layer_c;
    const V dodge_layer = (layer_c - half) + (layer_c - half);
    const V capped =
        lane_min(select(low, one - in_c, in_c) / select(low, burn_layer, one - dodge_layer), one);
    const V burned = select(eq(burn_layer, zero), keep_if(eq(in_c, one), one), one - capped);
    const V dodged = select(eq(dodge_layer, one), one, capped);
    return select(low, burned, dodged);
}

TARNWICK_FLOAT_KERNELS(vivid_light, vivid_light_formula, vivid_light_formula)

TARNWICK_EXPORT PyObject *blend_vivid_light(PyObject *self, PyObject *args) {
    return blend_ratio_mode_simd(self, args, vivid_light_comp, vivid_light_comp_ps128,
                                 vivid_light_comp_ps256, nullptr, nullptr, 0);
}
