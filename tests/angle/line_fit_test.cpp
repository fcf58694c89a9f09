#include "angle/line_fit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
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
