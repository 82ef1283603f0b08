// "lch_chroma": the foreground's chroma at the background's lightness and
// hue. A background of chroma exactly 0 takes the positive a axis.
#include "blend_common.hpp"

namespace {

rgb_triplet lch_chroma_comp(rgb_triplet bg, rgb_triplet fg) {
    return lch_blend_triplet(bg, fg, /*use_l=*/0, /*use_c=*/1, /*use_h=*/0);
}

template <typename V>
void lch_chroma_lanes(V bg_r, V bg_g, V bg_b, V fg_r, V fg_g, V fg_b, V *out_r, V *out_g,
                      V *out_b) {
    lch_blend_ps(bg_r, bg_g, bg_b, fg_r, fg_g, fg_b, /*use_l=*/0, /*use_c=*/1, /*use_h=*/0,
                 out_r, out_g, out_b);
}

}  // namespace

TARNWICK_RGB_VECTOR_KERNELS(lch_chroma, lch_chroma_lanes)

TARNWICK_EXPORT PyObject *blend_lch_chroma(PyObject *, PyObject *args) {
    return blend_rgb_mode_simd(args, lch_chroma_comp, lch_chroma_comp_ps128,
                               lch_chroma_comp_ps256);
}
