#include "angle/line_fit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

#include "angle/window_cut.h"

namespace {

constexpr RansacSettings kDefaults{10, 5, 0};

AngleFit fit(const std::vector<float>& ys, const std::vector<float>& xs,
             const RansacSettings& settings = kDefaults) {
    return fitLine(ys.data(), xs.data(), ys.size(), settings);
}

// Samples on x = offset + slope * y for whole-number y from first to last (step 1).
void line(std::vector<float>& ys, std::vector<float>& xs, float slope, float offset, int first,
          int last) {
    ys.clear();
    xs.clear();
    for (int y = first; y <= last; ++y) {
        ys.push_back(static_cast<float>(y));
        xs.push_back(offset + slope * static_cast<float>(y));
    }
}

// The fit written out directly: every sample's distance divided out in double and compared as a
// float, the draws taken from rand() seeded with the current second.
AngleFit referenceFit(const std::vector<float>& ys, const std::vector<float>& xs,
                      const RansacSettings& settings) {
    std::srand(static_cast<unsigned int>(std::time(nullptr)));
    const std::size_t count = ys.size();
    if (settings.iterations <= 0 || count <= 1) {
        return kFailedFit;
    }
    const float limit = static_cast<float>(settings.inlierDistance);
    int64_t bestInliers = 0;
    float bestSlope = 0.0f;
    for (int32_t trial = 0; trial < settings.iterations; ++trial) {
        const std::size_t a = static_cast<std::size_t>(std::rand()) % count;
        std::size_t b = static_cast<std::size_t>(std::rand()) % count;
        while (b == a) {
            b = static_cast<std::size_t>(std::rand()) % count;
        }
        const float slope = (xs[b] - xs[a]) / (ys[b] - ys[a]);
        const float offset = xs[a] - ys[a] * slope;
        const double norm = std::sqrt(static_cast<double>(slope * slope + 1.0f));
        int64_t inliers = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const float product = std::trunc(ys[i]) * slope;
            const float difference = product - std::trunc(xs[i]);
            const float error = std::fabs(difference + offset);
            if (static_cast<float>(static_cast<double>(error) / norm) < limit) {
                ++inliers;
            }
        }
        if (inliers > bestInliers && inliers >= settings.minInliers) {
            bestInliers = inliers;
            bestSlope = slope;
        }
    }
    if (bestInliers == 0) {
        return kFailedFit;
    }
    const float degrees =
        static_cast<float>(static_cast<double>(-std::atan(bestSlope)) * 180.0 / 3.141592653589793);
    return AngleFit{degrees, correlationQuality(ys.data(), xs.data(), count)};
}

// Small whole-number coordinates put many samples exactly at the inlier distance; wide ones,
// fractions and the odd NaN or huge value cover the rest.
TEST(FitLine, MatchesTheDirectFitBitForBit) {
    std::mt19937 random(8);
    std::uniform_int_distribution<int> size(2, 300);
    std::uniform_int_distribution<int> small(-12, 12);
    std::uniform_real_distribution<float> wide(-3000.0f, 3000.0f);
    std::uniform_int_distribution<int> rare(0, 99);
    for (int round = 0; round < 400; ++round) {
        std::vector<float> ys, xs;
        const int count = size(random);
        for (int i = 0; i < count; ++i) {
            const bool whole = round % 2 == 0;
            ys.push_back(whole ? static_cast<float>(small(random)) : wide(random));
            xs.push_back(whole ? static_cast<float>(small(random)) : wide(random));
            if (rare(random) == 0) {
                xs.back() = rare(random) < 50 ? NAN : 3e38f;
            }
        }
        const RansacSettings settings{1 + round % 12, round % 9, round % 7 == 0 ? count / 4 : 0};
        AngleFit expected;
        AngleFit actual;
        std::time_t second;
        do {  // both fits must draw from the same second's sequence
            second = std::time(nullptr);
            expected = referenceFit(ys, xs, settings);
            actual = fit(ys, xs, settings);
        } while (std::time(nullptr) != second);
        ASSERT_EQ(std::memcmp(&actual, &expected, sizeof actual), 0)
            << "round " << round << ": " << actual.first << " " << expected.first;
    }
}

TEST(FitLine, ExactLinesGiveTheirAngleWhateverTheDraws) {
    std::vector<float> ys, xs;
    for (int run = 0; run < 5; ++run) {
        line(ys, xs, 1.0f, 100.0f, -30 - run, 40 + run);
        const AngleFit rising = fit(ys, xs);
        EXPECT_FLOAT_EQ(rising.first, -45.0f);
        EXPECT_FLOAT_EQ(rising.second, 1.0f);

        line(ys, xs, -1.0f, 100.0f, -30 - run, 40 + run);
        const AngleFit falling = fit(ys, xs);
        EXPECT_FLOAT_EQ(falling.first, 45.0f);
        EXPECT_FLOAT_EQ(falling.second, 1.0f);
    }
}

TEST(FitLine, ConstantXGivesZeroAndNaNQuality) {
    const AngleFit flat = fit({0, 1, 2, 3, 4, 5, 6}, {300, 300, 300, 300, 300, 300, 300});
    EXPECT_EQ(flat.first, 0.0f);
    EXPECT_TRUE(std::isnan(flat.second));
}

TEST(FitLine, FailsWithoutTwoSamplesTrialsOrInliers) {
    const auto failed = [](const AngleFit& result) {
        return result.first == kNoAngle && result.second == kNoAngle;
    };
    EXPECT_TRUE(failed(fitLine(nullptr, nullptr, 0, kDefaults)));
    const float one = 7.0f;
    EXPECT_TRUE(failed(fitLine(&one, &one, 1, kDefaults)));
    EXPECT_TRUE(failed(fit({1, 2, 3}, {4, 5, 6}, RansacSettings{0, 5, 0})));
    EXPECT_TRUE(failed(fit({1, 2, 3}, {4, 5, 6}, RansacSettings{-3, 5, 0})));
    // All y equal: every slope is infinite or NaN, no sample is ever within reach.
    EXPECT_TRUE(failed(fit({5, 5, 5, 5}, {1, 2, 3, 4})));
    // More inliers demanded than there are samples.
    EXPECT_TRUE(failed(fit({1, 2, 3}, {4, 5, 6}, RansacSettings{10, 5, 4})));
    // No sample is closer than a distance of 0.
    EXPECT_TRUE(failed(fit({1, 2, 3}, {4, 5, 6}, RansacSettings{10, 0, 0})));
}

// Coordinates far outside the int32 range still take part in the inlier test.
TEST(FitLine, HugeCoordinatesStayDefined) {
    std::vector<float> ys, xs;
    for (int i = 1; i <= 20; ++i) {
        ys.push_back(static_cast<float>(i) * 1e10f);
        xs.push_back(static_cast<float>(i) * 1e10f);
    }
    EXPECT_FLOAT_EQ(fit(ys, xs).first, -45.0f);
}

TEST(FitLine, QualityIsTheAbsoluteCorrelation) {
    const std::vector<float> ys{0, 1, 2, 3, 4};
    const std::vector<float> xs{10, 11, 10, 11, 12};
    // Sxy = 4, Syy = 10, Sxx = 2.8
    EXPECT_NEAR(correlationQuality(ys.data(), xs.data(), ys.size()), 4.0 / std::sqrt(28.0), 1e-6);
}

TEST(NearestIndex, FindsEqualOrNearestValue) {
    EXPECT_EQ(nearestIndex({}, 3.0f), 0u);
    EXPECT_EQ(nearestIndex({1, 5}, 2.0f), 0u);
    EXPECT_EQ(nearestIndex({1, 5}, 4.0f), 1u);
    EXPECT_EQ(nearestIndex({0, 10, 20, 30, 40}, 30.0f), 3u);
    EXPECT_EQ(nearestIndex({0, 10, 20, 30, 40}, -100.0f), 0u);
    EXPECT_EQ(nearestIndex({0, 10, 20, 30, 40}, 1e9f), 4u);
    // Equally near neighbours: the one probed first (the middle element 20 before 30).
    EXPECT_EQ(nearestIndex({0, 10, 20, 30, 40}, 25.0f), 2u);
    EXPECT_EQ(nearestIndex({0, 10, 20, 30, 40}, std::nanf("")), 2u);
}

TEST(CutWindow, IsHalfOpenInIndexTerms) {
    XZPoint bin{{0, 10, 20, 30, 40}, {5, 5, 5, 5, 5}, 5};
    const WindowSpan whole = cutWindow(bin, {0.0f, 40.0f});
    EXPECT_EQ(whole.begin, 0u);
    EXPECT_EQ(whole.count, 4);  // the sample at 40 is left out

    XZPoint three{{0, 10, 20}, {1, 1, 1}, 3};
    EXPECT_EQ(cutWindow(three, {12.0f, 14.0f}).count, 0);
    const WindowSpan one = cutWindow(three, {12.0f, 18.0f});
    EXPECT_EQ(one.begin, 1u);
    EXPECT_EQ(one.count, 1);
    EXPECT_EQ(cutWindow(three, {20.0f, 0.0f}).count, -2);
}

}  // namespace
