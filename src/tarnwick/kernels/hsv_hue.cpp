// "hsv_hue": the foreground's hue with the background's saturation and
// value. A grey foreground (saturation 0) has no hue to give and leaves the
// background's.
#include "blend_common.hpp"

namespace {

rgb_triplet hsv_hue_comp(rgb_triplet bg, rgb_triplet fg) {
    const hsv_triplet bg_hsv = rgb_to_hsv_triplet(bg);
    const hsv_triplet fg_hsv = rgb_to_hsv_triplet(fg);
    const float hue = fg_hsv.s != 0.0f ? fg_hsv.h : bg_hsv.h;
    return hsv_to_rgb_triplet(hsv_triplet{hue, bg_hsv.s, bg_hsv.v});
}

template <typename V>
void hsv_hue_lanes(V bg_r, V bg_g, V bg_b, V fg_r, V fg_g, V fg_b, V *out_r, V *out_g,
                   V *out_b) {
    V bg_h, bg_s, bg_v;
    V fg_h, fg_s, fg_v;
    rgb_to_hsv_ps(bg_r, bg_g, bg_b, &bg_h, &bg_s, &bg_v);
    rgb_to_hsv_ps(fg_r, fg_g, fg_b, &fg_h, &fg_s, &fg_v);
    const V hue = select(neq(fg_s, splat<V>(0.0f)), fg_h, bg_h);
    hsv_to_rgb_ps(hue, bg_s, bg_v, out_r, out_g, out_b);
}

}  // namespace

TARNWICK_RGB_VECTOR_KERNELS(hsv_hue, hsv_hue_lanes)

TARNWICK_EXPORT PyObject *blend_hsv_hue(PyObject *self, PyObject *args) {
    return blend_rgb_mode_simd(self, args, hsv_hue_comp, hsv_hue_comp_ps128, hsv_hue_comp_ps256);
}
