// The sRGB transfer curve as tables for uint8 images composited in linear
// light: the decode of every code to linear light on 0..255 (float32), and
// the encode of a float32 on 0..255 to the nearest code by a table on the
// value's top 16 bits (sign, exponent, 7 mantissa bits: buckets 1/128 of an
// octave wide, finer than the gap between two codes anywhere on the curve,
// so a bucket holds at most one code boundary) and one comparison with the
// bucket's boundary. Built once, in static storage, from float64.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>

inline constexpr int k_encode_shift = 16;
inline constexpr uint32_t k_encode_buckets = (0x437F0000u >> k_encode_shift) + 1;  // bits of 255.0f

struct SrgbTables {
    float decode[256];
    int32_t base[k_encode_buckets];    // the nearest code at the bucket's lowest value
    float threshold[k_encode_buckets];  // from here on the next code is nearer; inf if none
};

namespace srgb_detail {

inline double decode_curve(double e) {
    return e <= 0.04045 ? e / 12.92 : std::pow((std::fmax(e, 0.04045) + 0.055) / 1.055, 2.4);
}

inline double encode_curve(double v) {
    return v <= 0.0031308 ? v * 12.92 : 1.055 * std::pow(std::fmax(v, 0.0031308), 1 / 2.4) - 0.055;
}

inline float float_of(uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

inline uint32_t bits_of(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

inline void build(SrgbTables &t) {
    for (int code = 0; code < 256; ++code) {
        t.decode[code] = static_cast<float>(decode_curve(code / 255.0) * 255.0);
    }
    // Boundary k: the least float32 from which code k is the nearer one,
    // where the encoded value reaches k - 0.5 steps; found on the bits.
    float bounds[255];
    for (int k = 1; k < 256; ++k) {
        uint32_t lo = 0;
        uint32_t hi = bits_of(255.0f);
        while (lo < hi) {
            const uint32_t mid = lo + (hi - lo) / 2;
            const double value = static_cast<double>(float_of(mid));
            if (encode_curve(value / 255.0) * 255.0 >= k - 0.5) {
                hi = mid;
            } else {
                lo = mid + 1;
            }
        }
        bounds[k - 1] = float_of(hi);
    }
    uint32_t base = 0;  // bucket lows rise with their bits: the count of boundaries does too
    for (uint32_t bucket = 0; bucket < k_encode_buckets; ++bucket) {
        const float low = float_of(bucket << k_encode_shift);
        while (base < 255 && bounds[base] <= low) {
            ++base;
        }
        t.base[bucket] = static_cast<int32_t>(base);
        const uint32_t next = base < 254 ? base : 254;
        const bool inside = base < 255 && bits_of(bounds[next]) < ((bucket + 1) << k_encode_shift);
        t.threshold[bucket] = inside ? bounds[next] : std::numeric_limits<float>::infinity();
    }
}

}  // namespace srgb_detail

// The tables, built on the first call (the entry calls it before the pixel
// loops, which only read them).
inline const SrgbTables &srgb_tables() {
    static SrgbTables tables;  // static storage: too large for a thread's stack
    static std::once_flag built;
    std::call_once(built, [] { srgb_detail::build(tables); });
    return tables;
}
