// "lch_lightness": the foreground's lightness with the background's a and b.
#include "blend_common.hpp"

namespace {

rgb_triplet lch_lightness_comp(rgb_triplet bg, rgb_triplet fg) {
    return lch_blend_triplet(bg, fg, /*use_l=*/1, /*use_c=*/0, /*use_h=*/0);
}

void lch_lightness_comp_ps128(__m128 bg_r, __m128 bg_g, __m128 bg_b, __m128 fg_r, __m128 fg_g,
                              __m128 fg_b, __m128 *out_r, __m128 *out_g, __m128 *out_b) {
    lch_blend_ps128(bg_r, bg_g, bg_b, fg_r, fg_g, fg_b, /*use_l=*/1, /*use_c=*/0, /*use_h=*/0,
                    out_r, out_g, out_b);
}

void lch_lightness_comp_ps256(__m256 bg_r, __m256 bg_g, __m256 bg_b, __m256 fg_r, __m256 fg_g,
                              __m256 fg_b, __m256 *out_r, __m256 *out_g, __m256 *out_b) {
    lch_blend_ps256(bg_r, bg_g, bg_b, fg_r, fg_g, fg_b, /*use_l=*/1, /*use_c=*/0, /*use_h=*/0,
                    out_r, out_g, out_b);
}

}  // namespace

TARNWICK_EXPORT PyObject *blend_lch_lightness(PyObject *, PyObject *args) {
    return blend_rgb_mode_simd(args, lch_lightness_comp, lch_lightness_comp_ps128,
                               lch_lightness_comp_ps256);
}
