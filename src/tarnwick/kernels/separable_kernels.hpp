// What the per-channel formulas of the separable modes share: the clamp
// min(x, 1), written once for every lane width (clamp_unit is in simd.hpp),
// and the macros that turn a mode's formula templates into its named kernels.
#pragma once

#include "channel_access.hpp"
#include "pixel_simd.hpp"
#include "simd.hpp"

// min(x, 1): 1 when x > 1, else x. The scalar form lets NaN through like the
// comparison it is; the vector form is the lane minimum.
inline float min_one(float value) { return value > 1.0f ? 1.0f : value; }
template <typename V>
inline V min_one(V value) {
    return lane_min(value, splat<V>(1.0f));
}

// The scalar, four-lane and eight-lane kernels of `mode`. Each formula is a
// function template over the lane type; modes whose scalar order of rounding
// differs from the vector one pass two different templates.
#define TARNWICK_FLOAT_KERNELS(mode, scalar_formula, vector_formula)                    \
    static float mode##_comp(float in_c, float layer_c) {                               \
        return scalar_formula(in_c, layer_c);                                           \
    }                                                                                   \
    static __m128 mode##_comp_ps128(__m128 in_c, __m128 layer_c) {                      \
        return vector_formula(in_c, layer_c);                                           \
    }                                                                                   \
    static __m256 mode##_comp_ps256(__m256 in_c, __m256 layer_c) {                      \
        return vector_formula(in_c, layer_c);                                           \
    }

// The byte-input kernels of `mode`: the formula template takes the raw byte
// values in 32-bit integer lanes and the reciprocal of 255.
#define TARNWICK_BYTE_KERNELS(mode, byte_formula)                                       \
    static __m128 mode##_comp_u8_ps128(__m128i in_c, __m128i layer_c, __m128 inv255) {  \
        return byte_formula(in_c, layer_c, inv255);                                     \
    }                                                                                   \
    static __m256 mode##_comp_u8_ps256(__m256i in_c, __m256i layer_c, __m256 inv255) {  \
        return byte_formula(in_c, layer_c, inv255);                                     \
    }
