// "darken_only": the darker of background and layer, channel by channel.
#include "blend_common.hpp"

template <typename V>
static V darken_only_formula(V in_c, V layer_c) {
    return lane_min(in_c, layer_c);
}

template <typename VI, typename V>
static V darken_only_bytes(VI in_c, VI layer_c, V inv255) {
    return to_float(lane_min_u32(in_c, layer_c)) * inv255;
}

TARNWICK_FLOAT_KERNELS(darken_only, darken_only_formula, darken_only_formula)
TARNWICK_BYTE_KERNELS(darken_only, darken_only_bytes)

TARNWICK_EXPORT PyObject *blend_darken_only(PyObject *self, PyObject *args) {
    return blend_ratio_mode_simd(self, args, darken_only_comp, darken_only_comp_ps128,
                                 darken_only_comp_ps256, darken_only_comp_u8_ps128,
                                 darken_only_comp_u8_ps256, 0);
}
