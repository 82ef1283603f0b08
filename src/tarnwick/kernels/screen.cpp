// "screen": the inverse of multiplying the inverses.
#include "blend_common.hpp"

template <typename V>
static V screen_formula(V in_c, V layer_c) {
    const V one = splat<V>(1.0f);
    return fnmadd(one - in_c, one - layer_c, one);
}

template <typename VI, typename V>
static V screen_bytes(VI in_c, VI layer_c, V inv255) {
    const VI white = splat_i32<VI>(255);
    const V product = to_float(lane_mul(lane_sub(white, layer_c), lane_sub(white, in_c)));
    return fnmadd(inv255 * inv255, product, splat<V>(1.0f));
}

TARNWICK_FLOAT_KERNELS(screen, screen_formula, screen_formula)
TARNWICK_BYTE_KERNELS(screen, screen_bytes)

TARNWICK_EXPORT PyObject *blend_screen(PyObject *self, PyObject *args) {
    return blend_ratio_mode_simd(self, args, screen_comp, screen_comp_ps128, screen_comp_ps256,
                                 screen_comp_u8_ps128, screen_comp_u8_ps256, 0);
}
