// "hsv_value": the foreground's value with the background's hue and
// saturation.
#include "blend_common.hpp"

namespace {

rgb_triplet hsv_value_comp(rgb_triplet bg, rgb_triplet fg) {
    const hsv_triplet bg_hsv = rgb_to_hsv_triplet(bg);
    const hsv_triplet fg_hsv = rgb_to_hsv_triplet(fg);
    return hsv_to_rgb_triplet(hsv_triplet{bg_hsv.h, bg_hsv.s, fg_hsv.v});
}

template <typename V>
void hsv_value_lanes(V bg_r, V bg_g, V bg_b, V fg_r, V fg_g, V fg_b, V *out_r, V *out_g,
                     V *out_b) {
    V bg_h, bg_s, bg_v;
    V fg_h, fg_s, fg_v;
    rgb_to_hsv_ps(bg_r, bg_g, bg_b, &bg_h, &bg_s, &bg_v);
    rgb_to_hsv_ps(fg_r, fg_g, fg_b, &fg_h, &fg_s, &fg_v);
    hsv_to_rgb_ps(bg_h, bg_s, fg_v, out_r, out_g, out_b);
}

}  // namespace

TARNWICK_RGB_VECTOR_KERNELS(hsv_value, hsv_value_lanes)

TARNWICK_EXPORT PyObject *blend_hsv_value(PyObject *self, PyObject *args) {
    return blend_rgb_mode_simd(self, args, hsv_value_comp, hsv_value_comp_ps128,
                               hsv_value_comp_ps256);
}
