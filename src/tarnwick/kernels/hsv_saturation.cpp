// "hsv_saturation": the foreground's saturation with the background's hue
// and value.
#include "blend_common.hpp"

namespace {

rgb_triplet hsv_saturation_comp(rgb_triplet bg, rgb_triplet fg) {
    const hsv_triplet bg_hsv = rgb_to_hsv_triplet(bg);
    const hsv_triplet fg_hsv = rgb_to_hsv_triplet(fg);
    return hsv_to_rgb_triplet(hsv_triplet{bg_hsv.h, fg_hsv.s, bg_hsv.v});
}

template <typename V>
void hsv_saturation_lanes(V bg_r, V bg_g, V bg_b, V fg_r, V fg_g, V fg_b, V *out_r, V *out_g,
                          V *out_b) {
    V bg_h, bg_s, bg_v;
    V fg_h, fg_s, fg_v;
    rgb_to_hsv_ps(bg_r, bg_g, bg_b, &bg_h, &bg_s, &bg_v);
    rgb_to_hsv_ps(fg_r, fg_g, fg_b, &fg_h, &fg_s, &fg_v);
    hsv_to_rgb_ps(bg_h, fg_s, bg_v, out_r, out_g, out_b);
}

}  // namespace

TARNWICK_RGB_VECTOR_KERNELS(hsv_saturation, hsv_saturation_lanes)

TARNWICK_EXPORT PyObject *blend_hsv_saturation(PyObject *self, PyObject *args) {
    return blend_rgb_mode_simd(self, args, hsv_saturation_comp, hsv_saturation_comp_ps128,
                               hsv_saturation_comp_ps256);
}
