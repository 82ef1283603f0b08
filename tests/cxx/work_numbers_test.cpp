// The conversions back from the layer modes' 0..255 scale, over every
// float32 bit pattern.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "work_numbers.hpp"

namespace {

float from_bits(uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

uint32_t bits_of(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

TEST(WorkNumbers, DivideBy255IsTheCorrectlyRoundedQuotient) {
    uint64_t wrong = 0;
    for (uint64_t b = 0; b <= UINT32_MAX; ++b) {
        const float x = from_bits(static_cast<uint32_t>(b));
        const float quotient = x / 255.0f;
        const float got = divide_by_255(x);
        wrong += bits_of(got) != bits_of(quotient) && !(std::isnan(got) && std::isnan(quotient));
    }
    EXPECT_EQ(wrong, 0u);
}

TEST(WorkNumbers, Uint16IsTheRoundedClampedValue) {
    for (uint64_t b = 0; b <= UINT32_MAX; b += 4099) {
        const float x = from_bits(static_cast<uint32_t>(b));
        const double scaled = static_cast<double>(x * static_cast<float>(65535.0 / 255.0));
        const double expected = std::isnan(scaled) ? 0.0 : std::nearbyint(std::fmin(std::fmax(scaled, 0.0), 65535.0));
        ASSERT_EQ(work_to_u16(x), static_cast<uint16_t>(expected)) << x;
    }
}

}  // namespace
