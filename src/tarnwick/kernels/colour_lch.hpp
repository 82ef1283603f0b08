// Blending in CIE L*a*b* read as lightness, chroma and hue. One routine
// serves the four LCH modes, steered by three flags: use_l takes the
// foreground's lightness, use_c its chroma, use_h its hue; use_c with use_h
// takes its whole a, b pair. Hue is never an angle: a hue or chroma change
// rescales one pixel's a, b vector to the other's chroma.
//
// A grey has no hue. In single precision an exact grey converts to a, b of
// up to about 6.4e-5 (1.5e-4 for float greys up to three times white)
// rather than 0, since the matrix rows do not sum exactly to the white
// point, and which greys carry such a residue, and in which direction,
// differs between the scalar and vector forms. So a chroma at or below
// k_lch_grey_chroma counts as no chroma, alike in every form: far above
// any residue, far below what an eye can tell (a chroma of 0.05 is
// invisible), and below the smallest chroma of a non-grey byte colour
// (0.28). The tests are ordered, so a NaN chroma counts as none either.
#pragma once

#include <cmath>

#include "colour_lab.hpp"
#include "colour_types.hpp"
#include "simd.hpp"

inline constexpr float k_lch_grey_chroma = 0.01f;

// Both pixels in linear light (already decoded); the result is sRGB.
inline rgb_triplet lch_blend_linear_triplet(rgb_triplet bg, rgb_triplet fg, int use_l, int use_c,
                                            int use_h) {
    const lab_triplet bg_lab = linear_to_lab_triplet(bg);
    const lab_triplet fg_lab = linear_to_lab_triplet(fg);
    const float bg_chroma = std::hypot(bg_lab.a, bg_lab.b);
    const float fg_chroma = std::hypot(fg_lab.a, fg_lab.b);
    lab_triplet out_lab = bg_lab;
    if (use_l) {
        out_lab.l = fg_lab.l;
    }
    if (use_c && use_h) {
        out_lab.a = fg_lab.a;
        out_lab.b = fg_lab.b;
    } else if (use_c) {
        if (bg_chroma > k_lch_grey_chroma) {
            const float scale = fg_chroma / bg_chroma;
            out_lab.a = scale * bg_lab.a;
            out_lab.b = scale * bg_lab.b;
        } else {
            // A grey has no hue to keep: the foreground's chroma along the
            // positive a axis.
            out_lab.a = fg_chroma;
            out_lab.b = 0.0f;
        }
    } else if (use_h) {
        if (fg_chroma > k_lch_grey_chroma) {
            const float scale = bg_chroma / fg_chroma;
            out_lab.a = scale * fg_lab.a;
            out_lab.b = scale * fg_lab.b;
        }
    }
    return lab_to_rgb_triplet(out_lab);
}

inline rgb_triplet lch_blend_triplet(rgb_triplet bg, rgb_triplet fg, int use_l, int use_c,
                                     int use_h) {
    return lch_blend_linear_triplet(srgb_to_linear_triplet(bg), srgb_to_linear_triplet(fg), use_l,
                                    use_c, use_h);
}

// Both pixels in linear light, as lch_blend_linear_triplet.
template <typename V>
inline void lch_blend_linear_ps(V bg_r, V bg_g, V bg_b, V fg_r, V fg_g, V fg_b, int use_l,
                                int use_c, int use_h, V *out_r, V *out_g, V *out_b) {
    V bg_l;
    V bg_a;
    V bg_lab_b;
    V fg_l;
    V fg_a;
    V fg_lab_b;
    linear_to_lab_ps(bg_r, bg_g, bg_b, &bg_l, &bg_a, &bg_lab_b);
    linear_to_lab_ps(fg_r, fg_g, fg_b, &fg_l, &fg_a, &fg_lab_b);
    const V out_l = use_l ? fg_l : bg_l;
    V out_a = bg_a;
    V out_lab_b = bg_lab_b;
    if (use_c && use_h) {
        out_a = fg_a;
        out_lab_b = fg_lab_b;
    } else {
        const V zero = splat<V>(0.0f);
        const V grey_chroma = splat<V>(k_lch_grey_chroma);
        const V bg_chroma = lane_sqrt(mul_add(bg_a, bg_a, bg_lab_b * bg_lab_b));
        const V fg_chroma = lane_sqrt(mul_add(fg_a, fg_a, fg_lab_b * fg_lab_b));
        // Grey lanes may compute a quotient by 0 that the select discards.
        if (use_c) {
            const V scale = fg_chroma / bg_chroma;
            const V mask = gt(bg_chroma, grey_chroma);
            out_a = select(mask, bg_a * scale, fg_chroma);
            out_lab_b = select(mask, bg_lab_b * scale, zero);
        } else if (use_h) {
            const V scale = bg_chroma / fg_chroma;
            const V mask = gt(fg_chroma, grey_chroma);
            out_a = select(mask, fg_a * scale, bg_a);
            out_lab_b = select(mask, fg_lab_b * scale, bg_lab_b);
        }
    }
    lab_to_rgb_ps(out_l, out_a, out_lab_b, out_r, out_g, out_b);
}

template <typename V>
inline void lch_blend_ps(V bg_r, V bg_g, V bg_b, V fg_r, V fg_g, V fg_b, int use_l, int use_c,
                         int use_h, V *out_r, V *out_g, V *out_b) {
    lch_blend_linear_ps(srgb_to_linear_ps(bg_r), srgb_to_linear_ps(bg_g), srgb_to_linear_ps(bg_b),
                        srgb_to_linear_ps(fg_r), srgb_to_linear_ps(fg_g), srgb_to_linear_ps(fg_b),
                        use_l, use_c, use_h, out_r, out_g, out_b);
}

// The scalar, four-lane and eight-lane kernels of an LCH mode: the shared
// routine of each width with the mode's constant flags, on sRGB input
// (`mode##_comp...`) and on input already in linear light
// (`mode##_linear_comp...`, which the compositor feeds from its byte table).
#define TARNWICK_LCH_KERNELS(mode, use_l, use_c, use_h)                                       \
    static rgb_triplet mode##_comp(rgb_triplet bg, rgb_triplet fg) {                          \
        return lch_blend_triplet(bg, fg, use_l, use_c, use_h);                                \
    }                                                                                         \
    static rgb_triplet mode##_linear_comp(rgb_triplet bg, rgb_triplet fg) {                   \
        return lch_blend_linear_triplet(bg, fg, use_l, use_c, use_h);                         \
    }                                                                                         \
    template <typename V>                                                                     \
    static void mode##_lanes(V bg_r, V bg_g, V bg_b, V fg_r, V fg_g, V fg_b, V *out_r,        \
                             V *out_g, V *out_b) {                                            \
        lch_blend_ps(bg_r, bg_g, bg_b, fg_r, fg_g, fg_b, use_l, use_c, use_h, out_r, out_g,   \
                     out_b);                                                                  \
    }                                                                                         \
    template <typename V>                                                                     \
    static void mode##_linear_lanes(V bg_r, V bg_g, V bg_b, V fg_r, V fg_g, V fg_b, V *out_r, \
                                    V *out_g, V *out_b) {                                     \
        lch_blend_linear_ps(bg_r, bg_g, bg_b, fg_r, fg_g, fg_b, use_l, use_c, use_h, out_r,   \
                            out_g, out_b);                                                    \
    }                                                                                         \
    TARNWICK_RGB_VECTOR_KERNELS(mode, mode##_lanes)                                           \
    TARNWICK_RGB_VECTOR_KERNELS(mode##_linear, mode##_linear_lanes)
