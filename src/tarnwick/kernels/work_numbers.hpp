// Results on the layer modes' float32 0..255 scale back to stored numbers:
// the steps of the package's band conversion, without its NumPy passes.
#pragma once

#include <cmath>
#include <cstdint>

// A value on 0..255 as uint16: scaled, clamped into 0..65535 (NaN gives 0),
// rounded to nearest with ties to even.
inline uint16_t work_to_u16(float value) {
    float scaled = value * static_cast<float>(65535.0 / 255.0);
    scaled = scaled > 0.0f ? scaled : 0.0f;
    scaled = scaled < 65535.0f ? scaled : 65535.0f;
    return static_cast<uint16_t>(std::nearbyint(scaled));
}

// value / 255 correctly rounded, without a division: the product by the
// rounded reciprocal, corrected once by its exact remainder. Checked equal
// to the division for every float32 bit pattern (the remainder is 0 or NaN
// exactly where the product is already the quotient: -0, infinities, NaN).
inline float divide_by_255(float value) {
    const float reciprocal = 1.0f / 255.0f;
    const float product = value * reciprocal;
    const float remainder = std::fma(-product, 255.0f, value);
    return remainder == 0.0f || remainder != remainder ? product
                                                       : std::fma(remainder, reciprocal, product);
}
