// "linear_burn": background plus layer minus white, floored at black.
#include "blend_common.hpp"

// The scalar and vector forms add in different orders, so they may differ
// in the last bit.
static float linear_burn_scalar(float in_c, float layer_c) {
    return lane_max((in_c + layer_c) - 1.0f, 0.0f);
}

template <typename V>
static V linear_burn_vector(V in_c, V layer_c) {
    return lane_max((in_c + splat<V>(-1.0f)) + layer_c, splat<V>(0.0f));
}

template <typename VI, typename V>
static V linear_burn_bytes(VI in_c, VI layer_c, V inv255) {
    const VI sum = lane_sub(lane_add(in_c, layer_c), splat_i32<VI>(255));
    return lane_max(to_float(sum) * inv255, splat<V>(0.0f));
}

TARNWICK_FLOAT_KERNELS(linear_burn, linear_burn_scalar, linear_burn_vector)
TARNWICK_BYTE_KERNELS(linear_burn, linear_burn_bytes)

TARNWICK_EXPORT PyObject *blend_linear_burn(PyObject *self, PyObject *args) {
    return blend_ratio_mode_simd(self, args, linear_burn_comp, linear_burn_comp_ps128,
                                 linear_burn_comp_ps256, linear_burn_comp_u8_ps128,
                                 linear_burn_comp_u8_ps256, 0);
}
