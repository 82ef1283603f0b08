// The LCH routine: vector forms against the scalar form over pairs from the
// unit cube, output range, and the achromatic cases.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "colour_lch.hpp"
#include "lane_sweep.hpp"

namespace {

struct Flags {
    const char *mode;
    int use_l;
    int use_c;
    int use_h;
    double tolerance;  // largest |vector - scalar| per channel
};

// Pairs with a grey on either side are included: a grey counts as having no
// hue in every form, so the forms agree there too.
// A hue taken from a dark foreground whose channels sit just above the
// decode threshold, where the polynomial's 1.8e-5 is largest relative to
// x^2.4, turns by up to about a degree; on a bright, saturated background
// that moves a dark output channel by up to 0.016 (4 byte steps).
constexpr Flags k_modes[] = {
    {"lch_lightness", 1, 0, 0, 0.003},
    {"lch_hue", 0, 0, 1, 0.02},
    {"lch_color", 0, 1, 1, 0.003},
    {"lch_chroma", 0, 1, 0, 0.003},
};

struct PairSet {
    std::vector<rgb_triplet> bg;
    std::vector<rgb_triplet> fg;
};

// Every pair of a 9-step grid of the unit cube, and random byte colours.
PairSet unit_cube_pairs() {
    std::vector<rgb_triplet> grid;
    for (int i = 0; i <= 8; ++i) {
        for (int j = 0; j <= 8; ++j) {
            for (int k = 0; k <= 8; ++k) {
                grid.push_back({i / 8.0f, j / 8.0f, k / 8.0f});
            }
        }
    }
    PairSet pairs;
    for (const auto &bg : grid) {
        for (const auto &fg : grid) {
            pairs.bg.push_back(bg);
            pairs.fg.push_back(fg);
        }
    }
    // Every byte grey on either side of every grid colour.
    for (int v = 0; v < 256; ++v) {
        const rgb_triplet grey{v / 255.0f, v / 255.0f, v / 255.0f};
        for (const auto &colour : grid) {
            pairs.bg.push_back(grey);
            pairs.fg.push_back(colour);
            pairs.bg.push_back(colour);
            pairs.fg.push_back(grey);
        }
    }
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> byte(0, 255);
    auto colour = [&] {
        return rgb_triplet{byte(rng) / 255.0f, byte(rng) / 255.0f, byte(rng) / 255.0f};
    };
    while (pairs.bg.size() % 8 != 0 || pairs.bg.size() < 1600000) {
        pairs.bg.push_back(colour());
        pairs.fg.push_back(colour());
    }
    return pairs;
}

template <typename V>
void lch_group(const PairSet &pairs, size_t p, const Flags &f, V *r, V *g, V *b) {
    constexpr int n = lane_count<V>;
    float c[6][n];
    for (int q = 0; q < n; ++q) {
        c[0][q] = pairs.bg[p + q].r;
        c[1][q] = pairs.bg[p + q].g;
        c[2][q] = pairs.bg[p + q].b;
        c[3][q] = pairs.fg[p + q].r;
        c[4][q] = pairs.fg[p + q].g;
        c[5][q] = pairs.fg[p + q].b;
    }
    lch_blend_ps(load_lanes<V>(c[0]), load_lanes<V>(c[1]), load_lanes<V>(c[2]),
                 load_lanes<V>(c[3]), load_lanes<V>(c[4]), load_lanes<V>(c[5]), f.use_l, f.use_c,
                 f.use_h, r, g, b);
}

template <typename V>
class LchLanes : public ::testing::Test {};
using LaneTypes = ::testing::Types<__m128, __m256>;
TYPED_TEST_SUITE(LchLanes, LaneTypes);

TYPED_TEST(LchLanes, VectorWithinToleranceOfScalarAndInUnitRange) {
    constexpr int n = lane_count<TypeParam>;
    const PairSet pairs = unit_cube_pairs();
    for (const Flags &f : k_modes) {
        double worst = 0.0;
        rgb_triplet worst_bg{};
        rgb_triplet worst_fg{};
        for (size_t p = 0; p + n <= pairs.bg.size(); p += n) {
            TypeParam r, g, b;
            lch_group(pairs, p, f, &r, &g, &b);
            for (int q = 0; q < n; ++q) {
                const rgb_triplet &bg = pairs.bg[p + q];
                const rgb_triplet &fg = pairs.fg[p + q];
                const rgb_triplet s = lch_blend_triplet(bg, fg, f.use_l, f.use_c, f.use_h);
                const float v[3] = {lane(r, q), lane(g, q), lane(b, q)};
                const float sv[3] = {s.r, s.g, s.b};
                double diff = 0.0;
                for (int k = 0; k < 3; ++k) {
                    ASSERT_TRUE(v[k] >= 0.0f && v[k] <= 1.0f) << f.mode;
                    ASSERT_TRUE(sv[k] >= 0.0f && sv[k] <= 1.0f) << f.mode;
                    diff = std::fmax(diff, std::fabs(v[k] - sv[k]));
                }
                if (diff > worst) {
                    worst = diff;
                    worst_bg = bg;
                    worst_fg = fg;
                }
            }
        }
        std::printf("  %-13s vector - scalar: %.3g (bg %.4g %.4g %.4g, fg %.4g %.4g %.4g)\n",
                    f.mode, worst, worst_bg.r, worst_bg.g, worst_bg.b, worst_fg.r, worst_fg.g,
                    worst_fg.b);
        EXPECT_LE(worst, f.tolerance) << f.mode;
    }
}

// Colours outside the unit range (float images hold any value) still give
// outputs in [0, 1].
TYPED_TEST(LchLanes, OutputsClippedForOutOfRangeInputs) {
    constexpr int n = lane_count<TypeParam>;
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> wide(-2.0f, 3.0f);
    PairSet pairs;
    for (int i = 0; i < 8000; ++i) {
        pairs.bg.push_back({wide(rng), wide(rng), wide(rng)});
        pairs.fg.push_back({wide(rng), wide(rng), wide(rng)});
    }
    for (const Flags &f : k_modes) {
        for (size_t p = 0; p + n <= pairs.bg.size(); p += n) {
            TypeParam r, g, b;
            lch_group(pairs, p, f, &r, &g, &b);
            for (int q = 0; q < n; ++q) {
                const rgb_triplet s =
                    lch_blend_triplet(pairs.bg[p + q], pairs.fg[p + q], f.use_l, f.use_c, f.use_h);
                for (float c : {lane(r, q), lane(g, q), lane(b, q), s.r, s.g, s.b}) {
                    ASSERT_TRUE(c >= 0.0f && c <= 1.0f) << f.mode;
                }
            }
        }
    }
}

TEST(LchLaneWidths, FourAndEightLanesAgreeExactly) {
    const PairSet pairs = unit_cube_pairs();
    for (const Flags &f : k_modes) {
        for (size_t p = 0; p + 8 <= 200000; p += 8) {
            __m256 r8, g8, b8;
            __m128 r4[2], g4[2], b4[2];
            lch_group(pairs, p, f, &r8, &g8, &b8);
            lch_group(pairs, p, f, &r4[0], &g4[0], &b4[0]);
            lch_group(pairs, p + 4, f, &r4[1], &g4[1], &b4[1]);
            for (int q = 0; q < 8; ++q) {
                ASSERT_EQ(lane(r8, q), lane(r4[q / 4], q % 4));
                ASSERT_EQ(lane(g8, q), lane(g4[q / 4], q % 4));
                ASSERT_EQ(lane(b8, q), lane(b4[q / 4], q % 4));
            }
        }
    }
}

// Exact greys carry a chroma residue from rounding; it must stay far below
// the chroma that counts as grey, in every form. All byte greys as either
// read gives them (v / 255 and v times the nearest float to 1/255), and
// float greys from 0 to 255 in steps of 1/256.
TEST(LchGreys, ResidueChromaFarBelowGreyThreshold) {
    std::vector<float> greys;
    for (int v = 0; v < 256; ++v) {
        greys.push_back(v / 255.0f);
        greys.push_back(v * 0x1.010102p-8f);
    }
    for (int i = 0; i <= 255 * 256; ++i) {
        greys.push_back(i / 256.0f / 255.0f);
    }
    double scalar = 0.0;
    double vector = 0.0;
    for (float g : greys) {
        const lab_triplet lab = rgb_to_lab_triplet({g, g, g});
        scalar = std::fmax(scalar, std::hypot(lab.a, lab.b));
        const __m256 v = splat<__m256>(g);
        __m256 l, a, b;
        rgb_to_lab_ps(v, v, v, &l, &a, &b);
        vector = std::fmax(vector, lane(lane_sqrt(mul_add(a, a, b * b)), 0));
    }
    std::printf("  grey residue chroma: scalar %.3g, vector %.3g (threshold %g)\n", scalar, vector,
                static_cast<double>(k_lch_grey_chroma));
    EXPECT_LE(std::fmax(scalar, vector), k_lch_grey_chroma / 50);
}

// Chroma exactly 0 (black and white have a = b = 0 exactly).
TEST(LchScalar, AchromaticCases) {
    const rgb_triplet red{0.8f, 0.1f, 0.1f};
    const rgb_triplet black{0.0f, 0.0f, 0.0f};
    const rgb_triplet white{1.0f, 1.0f, 1.0f};
    for (const rgb_triplet &grey : {black, white}) {
        const rgb_triplet kept = lch_blend_triplet(red, grey, 0, 0, 1);
        EXPECT_NEAR(kept.r, red.r, 1e-5);
        EXPECT_NEAR(kept.g, red.g, 1e-5);
        EXPECT_NEAR(kept.b, red.b, 1e-5);
    }
    // "lch_chroma" over black: lightness 0 with the foreground's chroma along
    // +a, a dark red after clipping.
    const rgb_triplet dark = lch_blend_triplet(black, {0.2f, 0.4f, 0.9f}, 0, 1, 0);
    EXPECT_GT(dark.r, 0.0f);
    EXPECT_EQ(dark.g, 0.0f);
    // "lch_color" of black over a colour: a grey of the colour's lightness.
    const rgb_triplet grey = lch_blend_triplet(red, black, 0, 1, 1);
    EXPECT_NEAR(grey.r, grey.g, 1e-5);
    EXPECT_NEAR(grey.g, grey.b, 1e-5);
}

}  // namespace
