// Colour records and the whole-pixel kernel types of the colour-model modes.
// Free of Python and NumPy headers: the colour arithmetic is tested on its own.
#pragma once

#include <immintrin.h>

struct rgb_triplet {
    float r;
    float g;
    float b;
};

// Hue in turns (1.0 is a full turn).
struct hsv_triplet {
    float h;
    float s;
    float v;
};

struct hsl_triplet {
    float h;
    float s;
    float l;
};

// CIE L*a*b*: lightness 0..100 and the two opponent axes.
struct lab_triplet {
    float l;
    float a;
    float b;
};

// A whole-pixel kernel sees all three channels of both pixels at once. The
// vector forms hold one pixel per lane and write their result through the
// three out pointers.
using blend_rgb_comp_fn = rgb_triplet (*)(rgb_triplet bg, rgb_triplet fg);
using blend_rgb_comp_fn128 = void (*)(__m128 bg_r, __m128 bg_g, __m128 bg_b, __m128 fg_r,
                                      __m128 fg_g, __m128 fg_b, __m128 *out_r, __m128 *out_g,
                                      __m128 *out_b);
using blend_rgb_comp_fn256 = void (*)(__m256 bg_r, __m256 bg_g, __m256 bg_b, __m256 fg_r,
                                      __m256 fg_g, __m256 fg_b, __m256 *out_r, __m256 *out_g,
                                      __m256 *out_b);

// The four- and eight-lane kernels `mode##_comp_ps128`/`_ps256` of a mode,
// both from one formula template over the lane type.
#define TARNWICK_RGB_VECTOR_KERNELS(mode, lanes_formula)                                       \
    static void mode##_comp_ps128(__m128 bg_r, __m128 bg_g, __m128 bg_b, __m128 fg_r,          \
                                  __m128 fg_g, __m128 fg_b, __m128 *out_r, __m128 *out_g,      \
                                  __m128 *out_b) {                                             \
        lanes_formula(bg_r, bg_g, bg_b, fg_r, fg_g, fg_b, out_r, out_g, out_b);                \
    }                                                                                          \
    static void mode##_comp_ps256(__m256 bg_r, __m256 bg_g, __m256 bg_b, __m256 fg_r,          \
                                  __m256 fg_g, __m256 fg_b, __m256 *out_r, __m256 *out_g,      \
                                  __m256 *out_b) {                                             \
        lanes_formula(bg_r, bg_g, bg_b, fg_r, fg_g, fg_b, out_r, out_g, out_b);                \
    }
