// "hsl_color": the foreground's hue and HSL saturation with the
// background's lightness.
#include "blend_common.hpp"

namespace {

rgb_triplet hsl_color_comp(rgb_triplet bg, rgb_triplet fg) {
    const hsl_triplet bg_hsl = rgb_to_hsl_triplet(bg);
    const hsl_triplet fg_hsl = rgb_to_hsl_triplet(fg);
    return hsl_to_rgb_triplet(hsl_triplet{fg_hsl.h, fg_hsl.s, bg_hsl.l});
}

template <typename V>
void hsl_color_lanes(V bg_r, V bg_g, V bg_b, V fg_r, V fg_g, V fg_b, V *out_r, V *out_g,
                     V *out_b) {
    V bg_h, bg_s, bg_l;
    V fg_h, fg_s, fg_l;
    rgb_to_hsl_ps(bg_r, bg_g, bg_b, &bg_h, &bg_s, &bg_l);
    rgb_to_hsl_ps(fg_r, fg_g, fg_b, &fg_h, &fg_s, &fg_l);
    hsl_to_rgb_ps(fg_h, fg_s, bg_l, out_r, out_g, out_b);
}

}  // namespace

TARNWICK_RGB_VECTOR_KERNELS(hsl_color, hsl_color_lanes)

TARNWICK_EXPORT PyObject *blend_hsl_color(PyObject *self, PyObject *args) {
    return blend_rgb_mode_simd(self, args, hsl_color_comp, hsl_color_comp_ps128,
                               hsl_color_comp_ps256);
}
