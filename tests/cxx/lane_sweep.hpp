// Helpers for sweeping lane-generic routines over many inputs.
#pragma once

#include <immintrin.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "simd.hpp"

template <typename V>
inline V load_lanes(const float *values) {
    V v;
    std::memcpy(&v, values, sizeof v);
    return v;
}

template <typename V>
inline void store_lanes(float *values, V v) {
    std::memcpy(values, &v, sizeof v);
}

inline float lane(__m128 v, int i) {
    float out[4];
    store_lanes(out, v);
    return out[i];
}

inline float lane(__m256 v, int i) {
    float out[8];
    store_lanes(out, v);
    return out[i];
}

// Applies a one-vector routine to `inputs` with lane type V; a short last
// group is padded with copies of its first value.
template <typename V, typename Fn>
inline std::vector<float> map_lanes(const std::vector<float> &inputs, Fn fn) {
    constexpr int n = lane_count<V>;
    std::vector<float> out(inputs.size());
    for (size_t i = 0; i < inputs.size(); i += n) {
        float group[n];
        for (int k = 0; k < n; ++k) {
            group[k] = i + k < inputs.size() ? inputs[i + k] : inputs[i];
        }
        float result[n];
        store_lanes(result, fn(load_lanes<V>(group)));
        for (int k = 0; k < n && i + k < inputs.size(); ++k) {
            out[i + k] = result[k];
        }
    }
    return out;
}

// Every float from `lo` to `hi` inclusive (both non-negative), or every
// `stride`-th one.
inline std::vector<float> floats_between(float lo, float hi, uint32_t stride = 1) {
    uint32_t a;
    uint32_t b;
    std::memcpy(&a, &lo, 4);
    std::memcpy(&b, &hi, 4);
    std::vector<float> out;
    out.reserve((b - a) / stride + 2);
    for (uint64_t bits = a; bits <= b; bits += stride) {
        const uint32_t word = static_cast<uint32_t>(bits);
        float f;
        std::memcpy(&f, &word, 4);
        out.push_back(f);
    }
    if (out.back() != hi) {
        out.push_back(hi);
    }
    return out;
}

// Distance in units in the last place between two finite floats.
inline int64_t ulp_distance(float a, float b) {
    auto ordered = [](float x) {
        int32_t bits;
        std::memcpy(&bits, &x, 4);
        return bits < 0 ? -static_cast<int64_t>(bits & 0x7FFFFFFF) : static_cast<int64_t>(bits);
    };
    const int64_t d = ordered(a) - ordered(b);
    return d < 0 ? -d : d;
}

// The exact sRGB curve in double precision, with the same thresholds.
inline double srgb_to_linear_exact(double v) {
    return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}
inline double linear_to_srgb_exact(double v) {
    v = std::fmin(std::fmax(v, 0.0), 1.0);
    return v <= 0.0031308 ? v * 12.92 : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055;
}
