// HSV and HSL: the vector forms against the scalar forms over every colour a
// byte image can hold, and over hues, saturations and values outside range.
#include <gtest/gtest.h>

#include <cstdio>

#include "colour_hsv.hpp"
#include "lane_sweep.hpp"

namespace {

struct UlpStats {
    int64_t max_ulps = 0;
    double max_abs = 0.0;
    void add(float vector_value, float scalar_value) {
        max_ulps = std::max(max_ulps, ulp_distance(vector_value, scalar_value));
        max_abs = std::fmax(max_abs, std::fabs(vector_value - scalar_value));
    }
};

// Runs `body(v_a, v_b, v_c, scalar_index)` over all inputs in groups of the
// lane width.
template <typename V, typename Body>
void for_groups(const std::vector<float> &a, const std::vector<float> &b,
                const std::vector<float> &c, Body body) {
    constexpr int n = lane_count<V>;
    for (size_t p = 0; p + n <= a.size(); p += n) {
        body(load_lanes<V>(&a[p]), load_lanes<V>(&b[p]), load_lanes<V>(&c[p]), p);
    }
}

// Every colour of a byte image, read as the scalar path reads it.
void byte_cube(std::vector<float> *r, std::vector<float> *g, std::vector<float> *b) {
    for (int i = 0; i < 256; ++i) {
        for (int j = 0; j < 256; ++j) {
            for (int k = 0; k < 256; ++k) {
                r->push_back(i / 255.0f);
                g->push_back(j / 255.0f);
                b->push_back(k / 255.0f);
            }
        }
    }
}

template <typename V>
class HsvLanes : public ::testing::Test {};
using LaneTypes = ::testing::Types<__m128, __m256>;
TYPED_TEST_SUITE(HsvLanes, LaneTypes);

TYPED_TEST(HsvLanes, FromRgbWithinFewUlpsOfScalar) {
    std::vector<float> r, g, b;
    byte_cube(&r, &g, &b);
    UlpStats hsv_stats;
    UlpStats hsl_stats;
    for_groups<TypeParam>(r, g, b, [&](TypeParam vr, TypeParam vg, TypeParam vb, size_t p) {
        TypeParam h, s, v, hl, sl, l;
        rgb_to_hsv_ps(vr, vg, vb, &h, &s, &v);
        rgb_to_hsl_ps(vr, vg, vb, &hl, &sl, &l);
        for (int q = 0; q < lane_count<TypeParam>; ++q) {
            const rgb_triplet rgb{r[p + q], g[p + q], b[p + q]};
            const hsv_triplet hsv = rgb_to_hsv_triplet(rgb);
            const hsl_triplet hsl = rgb_to_hsl_triplet(rgb);
            hsv_stats.add(lane(h, q), hsv.h);
            hsv_stats.add(lane(s, q), hsv.s);
            hsv_stats.add(lane(v, q), hsv.v);
            hsl_stats.add(lane(hl, q), hsl.h);
            hsl_stats.add(lane(sl, q), hsl.s);
            hsl_stats.add(lane(l, q), hsl.l);
        }
    });
    std::printf("  rgb_to_hsv: %lld ulp (%.3g); rgb_to_hsl: %lld ulp (%.3g)\n",
                static_cast<long long>(hsv_stats.max_ulps), hsv_stats.max_abs,
                static_cast<long long>(hsl_stats.max_ulps), hsl_stats.max_abs);
    EXPECT_LE(hsv_stats.max_ulps, 4);
    EXPECT_LE(hsl_stats.max_ulps, 4);
    EXPECT_LT(hsv_stats.max_abs, 1e-6);
}

// Hues of several turns either way, saturations and values beyond [0, 1].
TYPED_TEST(HsvLanes, ToRgbWithinFewUlpsOfScalar) {
    std::vector<float> h, s, v;
    for (int i = -400; i <= 400; ++i) {
        for (int j = -4; j <= 44; ++j) {
            for (int k = -4; k <= 44; ++k) {
                h.push_back(i / 97.0f);
                s.push_back(j / 40.0f);
                v.push_back(k / 40.0f);
            }
        }
    }
    UlpStats hsv_stats;
    UlpStats hsl_stats;
    for_groups<TypeParam>(h, s, v, [&](TypeParam vh, TypeParam vs, TypeParam vv, size_t p) {
        TypeParam r, g, b, rl, gl, bl;
        hsv_to_rgb_ps(vh, vs, vv, &r, &g, &b);
        hsl_to_rgb_ps(vh, vs, vv, &rl, &gl, &bl);
        for (int q = 0; q < lane_count<TypeParam>; ++q) {
            const rgb_triplet from_hsv = hsv_to_rgb_triplet({h[p + q], s[p + q], v[p + q]});
            const rgb_triplet from_hsl = hsl_to_rgb_triplet({h[p + q], s[p + q], v[p + q]});
            hsv_stats.add(lane(r, q), from_hsv.r);
            hsv_stats.add(lane(g, q), from_hsv.g);
            hsv_stats.add(lane(b, q), from_hsv.b);
            hsl_stats.add(lane(rl, q), from_hsl.r);
            hsl_stats.add(lane(gl, q), from_hsl.g);
            hsl_stats.add(lane(bl, q), from_hsl.b);
        }
    });
    std::printf("  hsv_to_rgb: %lld ulp (%.3g); hsl_to_rgb: %lld ulp (%.3g)\n",
                static_cast<long long>(hsv_stats.max_ulps), hsv_stats.max_abs,
                static_cast<long long>(hsl_stats.max_ulps), hsl_stats.max_abs);
    EXPECT_LE(hsv_stats.max_ulps, 4);
    EXPECT_LE(hsl_stats.max_ulps, 4);
}

TEST(HsvLaneWidths, FourAndEightLanesAgreeExactly) {
    std::vector<float> r, g, b;
    byte_cube(&r, &g, &b);
    for_groups<__m256>(r, g, b, [&](__m256 vr, __m256 vg, __m256 vb, size_t) {
        __m256 h8, s8, v8, r8, g8, b8;
        rgb_to_hsv_ps(vr, vg, vb, &h8, &s8, &v8);
        hsl_to_rgb_ps(h8, s8, v8, &r8, &g8, &b8);
        for (int half = 0; half < 2; ++half) {
            const __m128 lo_r = half ? _mm256_extractf128_ps(vr, 1) : _mm256_castps256_ps128(vr);
            const __m128 lo_g = half ? _mm256_extractf128_ps(vg, 1) : _mm256_castps256_ps128(vg);
            const __m128 lo_b = half ? _mm256_extractf128_ps(vb, 1) : _mm256_castps256_ps128(vb);
            __m128 h4, s4, v4, r4, g4, b4;
            rgb_to_hsv_ps(lo_r, lo_g, lo_b, &h4, &s4, &v4);
            hsl_to_rgb_ps(h4, s4, v4, &r4, &g4, &b4);
            for (int q = 0; q < 4; ++q) {
                ASSERT_EQ(lane(h4, q), lane(h8, 4 * half + q));
                ASSERT_EQ(lane(s4, q), lane(s8, 4 * half + q));
                ASSERT_EQ(lane(r4, q), lane(r8, 4 * half + q));
                ASSERT_EQ(lane(g4, q), lane(g8, 4 * half + q));
                ASSERT_EQ(lane(b4, q), lane(b8, 4 * half + q));
            }
        }
    });
}

TEST(HsvScalar, SharedMaximumTakesTheLaterRule) {
    // Magenta: red and blue share the maximum; yellow: red and green.
    EXPECT_FLOAT_EQ(rgb_to_hsv_triplet({1.0f, 0.0f, 1.0f}).h, 5.0f / 6.0f);
    EXPECT_FLOAT_EQ(rgb_to_hsv_triplet({1.0f, 1.0f, 0.0f}).h, 1.0f / 6.0f);
    const hsv_triplet grey = rgb_to_hsv_triplet({0.4f, 0.4f, 0.4f});
    EXPECT_EQ(grey.h, 0.0f);
    EXPECT_EQ(grey.s, 0.0f);
    EXPECT_EQ(grey.v, 0.4f);
    EXPECT_EQ(rgb_to_hsv_triplet({0.0f, 0.0f, 0.0f}).s, 0.0f);
}

TEST(HsvScalar, HueReducedIntoOneTurn) {
    for (float hue : {1.0f, -1.0f, 2.0f, -3.0f}) {
        const rgb_triplet rgb = hsv_to_rgb_triplet({hue, 1.0f, 1.0f});
        EXPECT_EQ(rgb.r, 1.0f) << hue;
        EXPECT_EQ(rgb.g, 0.0f) << hue;
        EXPECT_EQ(rgb.b, 0.0f) << hue;
    }
    const rgb_triplet blue = hsv_to_rgb_triplet({-1.0f / 3.0f, 1.0f, 1.0f});
    EXPECT_NEAR(blue.b, 1.0f, 1e-6);
    EXPECT_NEAR(blue.r, 0.0f, 1e-6);
}

TEST(HslScalar, WhiteAndBlackLightnessLeaveNoChroma) {
    for (float l : {0.0f, 1.0f}) {
        const rgb_triplet rgb = hsl_to_rgb_triplet({0.6f, 1.0f, l});
        EXPECT_EQ(rgb.r, l);
        EXPECT_EQ(rgb.g, l);
        EXPECT_EQ(rgb.b, l);
    }
    // Out-of-range saturation and lightness are clamped first.
    const rgb_triplet clamped = hsl_to_rgb_triplet({0.0f, 3.0f, 0.5f});
    EXPECT_EQ(clamped.r, 1.0f);
    EXPECT_EQ(clamped.g, 0.0f);
}

}  // namespace
