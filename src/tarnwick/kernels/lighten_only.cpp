// "lighten_only": the lighter of background and layer, channel by channel.
#include "blend_common.hpp"

template <typename V>
static V lighten_only_formula(V in_c, V layer_c) {
    return lane_max(in_c, layer_c);
}

template <typename VI, typename V>
static V lighten_only_bytes(VI in_c, VI layer_c, V inv255) {
    return to_float(lane_max_u32(in_c, layer_c)) * inv255;
}

TARNWICK_FLOAT_KERNELS(lighten_only, lighten_only_formula, lighten_only_formula)
TARNWICK_BYTE_KERNELS(lighten_only, lighten_only_bytes)

TARNWICK_EXPORT PyObject *blend_lighten_only(PyObject *self, PyObject *args) {
    return blend_ratio_mode_simd(self, args, lighten_only_comp, lighten_only_comp_ps128,
                                 lighten_only_comp_ps256, lighten_only_comp_u8_ps128,
                                 lighten_only_comp_u8_ps256, 0);
}
