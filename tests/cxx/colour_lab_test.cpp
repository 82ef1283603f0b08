// The sRGB transfer-curve approximations, the exponent split, the scale
// table and the Lab conversions, swept against double-precision models.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cstdio>
#include <random>

#include "colour_lab.hpp"
#include "lane_sweep.hpp"

namespace {

template <typename V>
class LabLanes : public ::testing::Test {};
using LaneTypes = ::testing::Types<__m128, __m256>;
TYPED_TEST_SUITE(LabLanes, LaneTypes);

struct ErrorStats {
    double max_error = 0.0;
    float worst_input = 0.0f;
    void add(float input, double error) {
        if (error > max_error) {
            max_error = error;
            worst_input = input;
        }
    }
};

void report(const char *what, const ErrorStats &stats) {
    std::printf("  %s: max error %.5g at %.9g\n", what, stats.max_error,
                static_cast<double>(stats.worst_input));
}

// Every float the decode sends to the polynomial: (0.04045 + 0.055) / 1.055
// up to 1.
TYPED_TEST(LabLanes, Pow24PolynomialWithinBoundOfExactPower) {
    const auto inputs = floats_between(0.0904f, 1.0f);
    const auto out = map_lanes<TypeParam>(inputs, [](TypeParam v) { return pow_2_4_approx_ps(v); });
    ErrorStats stats;
    for (size_t i = 0; i < inputs.size(); ++i) {
        stats.add(inputs[i], std::fabs(out[i] - std::pow(static_cast<double>(inputs[i]), 2.4)));
    }
    report("pow_2_4_approx", stats);
    EXPECT_LE(stats.max_error, 1.8e-5);
}

TYPED_TEST(LabLanes, MantissaPolynomialWithinBoundOnHalfToOne) {
    const auto inputs = floats_between(0.5f, std::nextafter(1.0f, 0.0f));
    const auto out =
        map_lanes<TypeParam>(inputs, [](TypeParam v) { return pow_5_12_mantissa_poly_ps(v); });
    ErrorStats stats;
    for (size_t i = 0; i < inputs.size(); ++i) {
        stats.add(inputs[i],
                  std::fabs(out[i] - std::pow(static_cast<double>(inputs[i]), 5.0 / 12.0)));
    }
    report("pow_5_12_mantissa_poly", stats);
    // The polynomial's own bound plus the rounding of its float evaluation
    // (one unit in the last place near 0.75).
    EXPECT_LE(stats.max_error, 1.8e-5 + 6e-8);
}

// Relative error over every binade, denormals included: a wrong exponent
// split or table entry would be off by a factor, not by 1e-5.
TYPED_TEST(LabLanes, FiveTwelfthsPowerHoldsInEveryBinade) {
    const auto inputs = floats_between(std::numeric_limits<float>::denorm_min(), 1.0f, 4093);
    const auto out =
        map_lanes<TypeParam>(inputs, [](TypeParam v) { return pow_1_over_2_4_approx_ps(v); });
    ErrorStats stats;
    for (size_t i = 0; i < inputs.size(); ++i) {
        const double exact = std::pow(static_cast<double>(inputs[i]), 5.0 / 12.0);
        stats.add(inputs[i], std::fabs(out[i] - exact) / exact);
    }
    report("pow_1_over_2_4_approx (relative)", stats);
    // The mantissa bound relative to the smallest mantissa power, 0.5^(5/12).
    EXPECT_LE(stats.max_error, 1.8e-5 / 0.749 + 1e-6);
}

TYPED_TEST(LabLanes, FiveTwelfthsPowerEnds) {
    EXPECT_EQ(lane(pow_1_over_2_4_approx_ps(splat<TypeParam>(0.0f)), 0), 0.0f);
    // 0.74917 * 2^(5/12) slightly exceeds 1 and is clamped.
    EXPECT_EQ(lane(pow_1_over_2_4_approx_ps(splat<TypeParam>(1.0f)), 0), 1.0f);
    EXPECT_EQ(lane(pow_1_over_2_4_approx_ps(splat<TypeParam>(-0.5f)), 0), 0.0f);
    // Past the split's exact range the clamped power is still right.
    for (float v : {0x1p103f, FLT_MAX, std::numeric_limits<float>::infinity()}) {
        EXPECT_EQ(lane(pow_1_over_2_4_approx_ps(splat<TypeParam>(v)), 0), 1.0f) << v;
    }
    EXPECT_EQ(lane(pow_1_over_2_4_approx_ps(splat<TypeParam>(std::nanf(""))), 0), 0.0f);
}

// Every float above the encode threshold, and a stride below it.
TYPED_TEST(LabLanes, LinearToSrgbWithinBoundOfExactCurve) {
    auto inputs = floats_between(0.0f, 0.0031308f, 101);
    const auto upper = floats_between(0.0031308f, 1.0f);
    inputs.insert(inputs.end(), upper.begin(), upper.end());
    const auto out = map_lanes<TypeParam>(inputs, [](TypeParam v) { return linear_to_srgb_ps(v); });
    ErrorStats stats;
    for (size_t i = 0; i < inputs.size(); ++i) {
        stats.add(inputs[i], std::fabs(out[i] - linear_to_srgb_exact(inputs[i])));
        ASSERT_TRUE(out[i] >= 0.0f && out[i] <= 1.0f) << inputs[i];
    }
    report("linear_to_srgb_ps", stats);
    EXPECT_LE(stats.max_error, 1.9e-5);
}

TYPED_TEST(LabLanes, SrgbToLinearWithinBoundOfExactCurve) {
    auto inputs = floats_between(0.0f, 0.04045f, 101);
    const auto upper = floats_between(0.04045f, 1.0f);
    inputs.insert(inputs.end(), upper.begin(), upper.end());
    const auto out = map_lanes<TypeParam>(inputs, [](TypeParam v) { return srgb_to_linear_ps(v); });
    ErrorStats stats;
    for (size_t i = 0; i < inputs.size(); ++i) {
        stats.add(inputs[i], std::fabs(out[i] - srgb_to_linear_exact(inputs[i])));
    }
    report("srgb_to_linear_ps", stats);
    EXPECT_LE(stats.max_error, 1.8e-5);
}

TYPED_TEST(LabLanes, TransferCurvesStayInUnitRangeOutsideIt) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (float v : {-1.0f, -1e-30f, 1.0000001f, 1.5f, 255.0f, inf, -inf, nan}) {
        const float encoded = lane(linear_to_srgb_ps(splat<TypeParam>(v)), 0);
        EXPECT_TRUE(encoded >= 0.0f && encoded <= 1.0f) << v;
    }
    // Above 1 the decode's polynomial input and output are clamped.
    for (float v : {1.0f, 1.5f, 100.0f, inf}) {
        EXPECT_LE(lane(srgb_to_linear_ps(splat<TypeParam>(v)), 0), 1.0f) << v;
    }
}

// The vector cube root against the exact (double) root for every float in
// (epsilon, 2], in units in the last place of the exact root's binade.
TYPED_TEST(LabLanes, CubeRootWithinOneUlpAboveEpsilon) {
    constexpr int n = lane_count<TypeParam>;
    const auto inputs = floats_between(std::nextafter(k_lab_epsilon, 1.0f), 2.0f);
    double worst = 0.0;
    double worst_library = 0.0;
    float worst_input = 0.0f;
    for (size_t i = 0; i + n <= inputs.size() + n - 1; i += n) {
        float group[n];
        for (int q = 0; q < n; ++q) {
            group[q] = inputs[std::min(i + q, inputs.size() - 1)];
        }
        const TypeParam roots = cbrt_positive_ps(load_lanes<TypeParam>(group));
        for (int q = 0; q < n; ++q) {
            const double exact = std::cbrt(static_cast<double>(group[q]));
            const double ulp = std::ldexp(1.0, std::ilogb(exact) - 23);
            const double error = std::fabs(lane(roots, q) - exact) / ulp;
            if (error > worst) {
                worst = error;
                worst_input = group[q];
            }
            worst_library = std::fmax(worst_library, std::fabs(std::cbrt(group[q]) - exact) / ulp);
        }
    }
    std::printf("  cube root over %zu floats: max %.4f ulp at %.9g (library cbrtf: %.4f ulp)\n",
                inputs.size(), worst, static_cast<double>(worst_input), worst_library);
    EXPECT_LE(worst, 1.0);
}

// The components pick the cube root above epsilon and the linear segment
// (the scalar form's, bit for bit) at or below it; the inverse is the
// scalar form's bit for bit.
TYPED_TEST(LabLanes, LabComponentsTakeTheirSegments) {
    auto inputs = floats_between(0.0f, 1.2f, 37);
    for (float v : {-0.5f, -1e-3f, k_lab_epsilon, std::nextafter(k_lab_epsilon, 1.0f)}) {
        inputs.push_back(v);
    }
    const auto forward =
        map_lanes<TypeParam>(inputs, [](TypeParam v) { return xyz_to_lab_component_ps(v); });
    const auto roots =
        map_lanes<TypeParam>(inputs, [](TypeParam v) { return cbrt_positive_ps(v); });
    const auto inverse =
        map_lanes<TypeParam>(inputs, [](TypeParam v) { return lab_to_xyz_component_ps(v); });
    for (size_t i = 0; i < inputs.size(); ++i) {
        const float expected = inputs[i] > k_lab_epsilon ? roots[i] : xyz_to_lab_component(inputs[i]);
        ASSERT_EQ(forward[i], expected) << inputs[i];
        ASSERT_EQ(inverse[i], lab_to_xyz_component(inputs[i])) << inputs[i];
    }
}

// The library route the vector split replaces, one lane at a time.
struct LibrarySplit {
    float mantissa;
    int quotient;
    int remainder;
    float scale;
};

LibrarySplit split_by_library(float value) {
    int exponent = 0;
    LibrarySplit out{};
    out.mantissa = std::frexp(value, &exponent);
    int quotient = 0;
    int remainder = 0;
    split_exponent_by_12(exponent, &quotient, &remainder);
    out.quotient = quotient;
    out.remainder = remainder;
    out.scale = value > 0.0f ? pow_5_12_scale(remainder, quotient) : 0.0f;
    return out;
}

uint32_t bits_of(float f) {
    uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}

// Lanes of the vector split whose mantissa, quotient, remainder or scale
// differs in any bit from the library route, over the floats with bit
// patterns first, first + stride, ... up to last.
template <typename V>
uint64_t split_mismatches(uint32_t first, uint32_t last, uint32_t stride, uint64_t *checked) {
    constexpr int n = lane_count<V>;
    uint64_t bad = 0;
    uint64_t bits = first;
    while (bits <= last) {
        float group[n];
        for (int q = 0; q < n; ++q) {
            const uint32_t word = static_cast<uint32_t>(std::min<uint64_t>(bits + q * uint64_t{stride}, last));
            std::memcpy(&group[q], &word, 4);
        }
        const exponent_split_12<V> split = split_for_5_12_power_ps(load_lanes<V>(group));
        int32_t quotients[n];
        int32_t remainders[n];
        std::memcpy(quotients, &split.quotient, sizeof quotients);
        std::memcpy(remainders, &split.remainder, sizeof remainders);
        for (int q = 0; q < n; ++q) {
            const LibrarySplit ref = split_by_library(group[q]);
            bad += bits_of(lane(split.mantissa, q)) != bits_of(ref.mantissa) ||
                   quotients[q] != ref.quotient || remainders[q] != ref.remainder ||
                   bits_of(lane(split.scale, q)) != bits_of(ref.scale);
        }
        *checked += n;
        bits += n * uint64_t{stride};
    }
    return bad;
}

// Every float the encode's power receives (its input is clamped to [0, 1]),
// then every 997th float of either sign below 2^103.
TYPED_TEST(LabLanes, ExponentSplitMatchesLibraryBitForBit) {
    uint64_t checked = 0;
    const uint32_t below_2_103 = bits_of(0x1p103f) - 1;
    EXPECT_EQ(split_mismatches<TypeParam>(0, bits_of(1.0f), 1, &checked), 0u);
    EXPECT_EQ(split_mismatches<TypeParam>(0, below_2_103, 997, &checked), 0u);
    EXPECT_EQ(split_mismatches<TypeParam>(0x80000000u, 0x80000000u | below_2_103, 997, &checked), 0u);
    std::printf("  exponent split: %llu lanes, all bit-identical to frexpf/ldexpf\n",
                static_cast<unsigned long long>(checked));
}

TEST(ExponentSplit, RemainderInRangeAndQuotientFloors) {
    for (int exponent = -300; exponent <= 300; ++exponent) {
        int quotient = 0;
        int remainder = 0;
        split_exponent_by_12(exponent, &quotient, &remainder);
        ASSERT_EQ(12 * quotient + remainder, exponent);
        ASSERT_TRUE(remainder >= 0 && remainder < 12) << exponent;
    }
    int quotient = 0;
    int remainder = 0;
    split_exponent_by_12(-1, &quotient, &remainder);  // values in [0.25, 0.5)
    EXPECT_EQ(quotient, -1);
    EXPECT_EQ(remainder, 11);
}

// Each product of a table entry and a power of two is the correctly rounded
// 2^(5e/12) for every exponent e of a float up to 1 (denormals included).
TEST(ScaleTable, EntriesGiveRoundedPowersForEveryExponent) {
    for (int exponent = -148; exponent <= 1; ++exponent) {
        int quotient = 0;
        int remainder = 0;
        split_exponent_by_12(exponent, &quotient, &remainder);
        const float expected = static_cast<float>(std::exp2(5.0 * exponent / 12.0));
        ASSERT_EQ(pow_5_12_scale(remainder, quotient), expected) << exponent;
    }
    EXPECT_EQ(pow_5_12_scale(11, -1), 23.972914f / 32.0f);
}

// ---- scalar forms ---------------------------------------------------------

TEST(ScalarTransfer, SegmentsAndEnds) {
    EXPECT_EQ(srgb_to_linear_unit(0.04045f), 0.04045f / 12.92f);
    const float above = std::nextafter(0.04045f, 1.0f);
    EXPECT_NEAR(srgb_to_linear_unit(above), 0.04045 / 12.92, 1e-8);
    EXPECT_EQ(linear_to_srgb_unit(-0.25f), 0.0f);
    EXPECT_EQ(linear_to_srgb_unit(2.0f), linear_to_srgb_unit(1.0f));
    EXPECT_EQ(linear_to_srgb_unit(0.0031308f), 0.0031308f * 12.92f);
}

TEST(ScalarTransfer, CloseToExactCurveEverywhere) {
    const auto inputs = floats_between(0.0f, 1.0f, 211);
    double worst_decode = 0.0;
    double worst_encode = 0.0;
    for (float v : inputs) {
        worst_decode = std::fmax(worst_decode, std::fabs(srgb_to_linear_unit(v) - srgb_to_linear_exact(v)));
        worst_encode = std::fmax(worst_encode, std::fabs(linear_to_srgb_unit(v) - linear_to_srgb_exact(v)));
    }
    std::printf("  scalar transfer curves: decode %.3g, encode %.3g\n", worst_decode, worst_encode);
    EXPECT_LE(worst_decode, 2e-7);
    EXPECT_LE(worst_encode, 2e-7);
}

TEST(ScalarLab, WhiteAndBlack) {
    const lab_triplet white = rgb_to_lab_triplet({1.0f, 1.0f, 1.0f});
    EXPECT_NEAR(white.l, 100.0f, 1e-4);
    EXPECT_NEAR(white.a, 0.0f, 1e-4);
    EXPECT_NEAR(white.b, 0.0f, 1e-4);
    const lab_triplet black = rgb_to_lab_triplet({0.0f, 0.0f, 0.0f});
    EXPECT_EQ(black.a, 0.0f);
    EXPECT_EQ(black.b, 0.0f);
    EXPECT_NEAR(black.l, 0.0f, 1e-6);
}

// An independent double model of sRGB -> XYZ -> Lab.
lab_triplet lab_of_exact(double r, double g, double b) {
    const double red = srgb_to_linear_exact(r);
    const double green = srgb_to_linear_exact(g);
    const double blue = srgb_to_linear_exact(b);
    const double x = (0.4124564 * red + 0.3575761 * green + 0.1804375 * blue) / 0.95047;
    const double y = 0.2126729 * red + 0.7151522 * green + 0.072175 * blue;
    const double z = (0.0193339 * red + 0.119192 * green + 0.9503041 * blue) / 1.08883;
    auto f = [](double t) {
        return t > 216.0 / 24389.0 ? std::cbrt(t) : (t * 24389.0 / 27.0 + 16.0) / 116.0;
    };
    return lab_triplet{static_cast<float>(116.0 * f(y) - 16.0),
                       static_cast<float>(500.0 * (f(x) - f(y))),
                       static_cast<float>(200.0 * (f(y) - f(z)))};
}

// Every colour of a 33-step grid of the unit cube through both forms and the
// double model; then back to RGB.
template <typename V>
void check_lab_grid(const char *name) {
    constexpr int n = lane_count<V>;
    const int steps = 33;
    double worst_scalar = 0.0;
    double worst_vector = 0.0;
    double worst_round_trip_scalar = 0.0;
    double worst_round_trip_vector = 0.0;
    std::vector<float> rs;
    std::vector<float> gs;
    std::vector<float> bs;
    for (int i = 0; i < steps; ++i) {
        for (int j = 0; j < steps; ++j) {
            for (int k = 0; k < steps; ++k) {
                rs.push_back(i / 32.0f);
                gs.push_back(j / 32.0f);
                bs.push_back(k / 32.0f);
            }
        }
    }
    for (size_t p = 0; p + n <= rs.size(); p += n) {
        V l;
        V a;
        V b;
        rgb_to_lab_ps(load_lanes<V>(&rs[p]), load_lanes<V>(&gs[p]), load_lanes<V>(&bs[p]), &l, &a,
                      &b);
        V r2;
        V g2;
        V b2;
        lab_to_rgb_ps(l, a, b, &r2, &g2, &b2);
        for (int q = 0; q < n; ++q) {
            const rgb_triplet rgb{rs[p + q], gs[p + q], bs[p + q]};
            const lab_triplet exact = lab_of_exact(rgb.r, rgb.g, rgb.b);
            const lab_triplet scalar = rgb_to_lab_triplet(rgb);
            const rgb_triplet back = lab_to_rgb_triplet(scalar);
            const float vl = lane(l, q);
            const float va = lane(a, q);
            const float vb = lane(b, q);
            worst_scalar = std::fmax(worst_scalar, std::fmax(std::fabs(scalar.l - exact.l),
                                     std::fmax(std::fabs(scalar.a - exact.a), std::fabs(scalar.b - exact.b))));
            worst_vector = std::fmax(worst_vector, std::fmax(std::fabs(vl - exact.l),
                                     std::fmax(std::fabs(va - exact.a), std::fabs(vb - exact.b))));
            worst_round_trip_scalar = std::fmax(worst_round_trip_scalar,
                std::fmax(std::fabs(back.r - rgb.r), std::fmax(std::fabs(back.g - rgb.g), std::fabs(back.b - rgb.b))));
            worst_round_trip_vector = std::fmax(worst_round_trip_vector,
                std::fmax(std::fabs(lane(r2, q) - rgb.r),
                          std::fmax(std::fabs(lane(g2, q) - rgb.g), std::fabs(lane(b2, q) - rgb.b))));
        }
    }
    std::printf("  %s Lab vs double model: scalar %.3g, vector %.3g; RGB round trip: scalar %.3g, vector %.3g\n",
                name, worst_scalar, worst_vector, worst_round_trip_scalar, worst_round_trip_vector);
    // Lab units (L 0..100): the vector decode's 1.8e-5 is magnified by up
    // to kappa (903) in dark colours.
    EXPECT_LE(worst_scalar, 2e-4);
    EXPECT_LE(worst_vector, 0.025);
    EXPECT_LE(worst_round_trip_scalar, 1e-5);
    EXPECT_LE(worst_round_trip_vector, 1e-4);
}

TEST(LabConversions, GridAgainstDoubleModelAndRoundTrip128) { check_lab_grid<__m128>("4-lane"); }
TEST(LabConversions, GridAgainstDoubleModelAndRoundTrip256) { check_lab_grid<__m256>("8-lane"); }

TYPED_TEST(LabLanes, OutOfGamutLabIsClippedPerChannel) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> l_dist(-20.0f, 130.0f);
    std::uniform_real_distribution<float> ab_dist(-200.0f, 200.0f);
    for (int trial = 0; trial < 20000; ++trial) {
        const lab_triplet lab{l_dist(rng), ab_dist(rng), ab_dist(rng)};
        const rgb_triplet scalar = lab_to_rgb_triplet(lab);
        TypeParam r;
        TypeParam g;
        TypeParam b;
        lab_to_rgb_ps(splat<TypeParam>(lab.l), splat<TypeParam>(lab.a), splat<TypeParam>(lab.b),
                      &r, &g, &b);
        for (float c : {scalar.r, scalar.g, scalar.b, lane(r, 0), lane(g, 0), lane(b, 0)}) {
            ASSERT_TRUE(c >= 0.0f && c <= 1.0f) << lab.l << " " << lab.a << " " << lab.b;
        }
    }
}

}  // namespace
