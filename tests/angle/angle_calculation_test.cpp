#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <vector>

#include "angle/angle_measure.h"
#include "angle/line_fit.h"
#include "angle_test_support.h"

namespace {

using angle_test::angleOfSlope;
using angle_test::planeParam;
using Windows = std::vector<std::pair<float, float>>;

const Windows kWholeData{{-1000.0f, 1000.0f}};
// Lies beyond every sample: both bounds meet the last sample, so the window is always skipped.
const std::pair<float, float> kEmptyWindow{5000.0f, 6000.0f};

// A slice on x = 1000 + slope * y for whole y from -40 to 40, with the samples at the given
// y moved off the line by 30 (they lower the quality but never win a trial).
XZPoint slice(float slope, std::vector<int> outliersAt = {}) {
    XZPoint bin;
    for (int y = -40; y <= 40; ++y) {
        float x = 1000.0f + slope * static_cast<float>(y);
        for (int outlier : outliersAt) {
            if (outlier == y) {
                x += 30.0f;
            }
        }
        bin.yValues.push_back(static_cast<float>(y));
        bin.xValues.push_back(x);
    }
    bin.pointCount = bin.yValues.size();
    return bin;
}

// The quality the fit of kWholeData gives: the sample nearest the upper bound is left out.
float wholeWindowQuality(const XZPoint& bin) {
    return correlationQuality(bin.yValues.data(), bin.xValues.data(), bin.pointCount - 1);
}

class ProcessAngleCal : public testing::Test {
  protected:
    AngleMeasure measure{planeParam()};
};

TEST_F(ProcessAngleCal, FirstWindowAcceptsFitsStrictlyWithinTolerance) {
    const std::map<int, XZPoint> map{{1, slice(-0.5f)}, {2, slice(-0.5f)}};
    const float angle = angleOfSlope(-0.5f);
    const float ref = angle - 7.0f;
    const float deviation = std::fabs(angle - ref);

    measure.param.angleTolerance = deviation;
    EXPECT_EQ(measure.processAngleCal(map, kWholeData, ref).first, kNoAngle);

    measure.param.angleTolerance = std::nextafter(deviation, 100.0f);
    const std::pair<float, float> result = measure.processAngleCal(map, kWholeData, ref);
    EXPECT_EQ(result.first, angle);
    EXPECT_FLOAT_EQ(result.second, 1.0f);
}

TEST_F(ProcessAngleCal, SecondWindowIsAFaceFoldedTowardsTheReference) {
    const std::map<int, XZPoint> rising{{0, slice(-1.0f)}};  // fits 45 degrees
    const Windows second{kEmptyWindow, kWholeData[0]};
    EXPECT_FLOAT_EQ(measure.processAngleCal(rising, second, -45.0f).first, -45.0f);
    // The same fit as the plane's own angle is 90 degrees off the reference.
    EXPECT_EQ(measure.processAngleCal(rising, kWholeData, -45.0f).first, kNoAngle);
    // Agreeing with the reference is no face at right angles.
    EXPECT_EQ(measure.processAngleCal(rising, second, 45.0f).first, kNoAngle);

    const std::map<int, XZPoint> falling{{0, slice(1.0f)}};  // fits -45 degrees
    EXPECT_FLOAT_EQ(measure.processAngleCal(falling, second, 45.0f).first, 45.0f);
    // A reference of 0 folds upwards too.
    const std::map<int, XZPoint> steep{{0, slice(100.0f)}};  // fits -89.4 degrees
    EXPECT_FLOAT_EQ(measure.processAngleCal(steep, second, 0.0f).first,
                    angleOfSlope(100.0f) + 90.0f);
    // Folding up would leave -90 to 90: the face folds the other way.
    const std::map<int, XZPoint> upright{{0, slice(-100.0f)}};  // fits 89.4 degrees
    EXPECT_FLOAT_EQ(measure.processAngleCal(upright, second, 0.0f).first,
                    angleOfSlope(-100.0f) - 90.0f);
}

TEST_F(ProcessAngleCal, LaterWindowsNeverCount) {
    const std::map<int, XZPoint> map{{0, slice(-1.0f)}};
    const Windows third{kEmptyWindow, kEmptyWindow, kWholeData[0]};
    EXPECT_EQ(measure.processAngleCal(map, third, 45.0f).first, kNoAngle);
    EXPECT_EQ(measure.processAngleCal(map, third, -45.0f).first, kNoAngle);
}

TEST_F(ProcessAngleCal, ReturnsTheMeanAngleAndTheMedianQuality) {
    const std::map<int, XZPoint> map{
        {-3, slice(-1.0f, {-30, -20, -10, 10, 20, 30})},  // 45 degrees, lowest quality
        {0, slice(-0.5f, {5})},                           // 26.57 degrees, middle quality
        {7, slice(-0.75f)},                               // 36.87 degrees, exact
    };
    const float qualities[3] = {wholeWindowQuality(map.at(-3)), wholeWindowQuality(map.at(0)),
                                wholeWindowQuality(map.at(7))};
    ASSERT_LT(qualities[0], qualities[1]);
    ASSERT_LT(qualities[1], qualities[2]);

    measure.param.angleTolerance = 20.0f;
    const std::pair<float, float> all = measure.processAngleCal(map, kWholeData, 35.0f);
    EXPECT_NEAR(all.first, (45.0f + angleOfSlope(-0.5f) + angleOfSlope(-0.75f)) / 3.0f, 1e-4f);
    EXPECT_EQ(all.second, qualities[1]);

    // Two accepted fits: the upper of the two middle qualities, the larger one.
    measure.param.angleTolerance = 10.0f;
    const std::pair<float, float> two = measure.processAngleCal(map, kWholeData, 42.0f);
    EXPECT_NEAR(two.first, (45.0f + angleOfSlope(-0.75f)) / 2.0f, 1e-4f);
    EXPECT_EQ(two.second, qualities[2]);
}

TEST_F(ProcessAngleCal, NaNQualitiesSortBeforeEveryNumber) {
    XZPoint flat = slice(0.0f);  // correlation 0/0
    const std::map<int, XZPoint> map{{0, flat},
                                     {1, slice(-1.0f, {-30, 10, 20})},
                                     {2, slice(-0.5f)},
                                     {3, flat},
                                     {4, slice(-0.75f, {7})}};
    measure.param.angleTolerance = 90.0f;
    ASSERT_LT(wholeWindowQuality(map.at(1)), wholeWindowQuality(map.at(4)));
    ASSERT_LT(wholeWindowQuality(map.at(4)), wholeWindowQuality(map.at(2)));
    const std::pair<float, float> result = measure.processAngleCal(map, kWholeData, 20.0f);
    // Sorted: NaN, NaN, then the three numbers ascending; index 2 is the smallest number.
    EXPECT_EQ(result.second, wholeWindowQuality(map.at(1)));
    EXPECT_NEAR(result.first, (45.0f + angleOfSlope(-0.5f) + angleOfSlope(-0.75f)) / 5.0f, 1e-4f);
}

TEST_F(ProcessAngleCal, NothingToFitOrAcceptGivesTheFailurePair) {
    const std::map<int, XZPoint> map{{0, slice(-1.0f)}};
    const std::pair<float, float> failure{kNoAngle, kNoAngle};
    EXPECT_EQ(measure.processAngleCal({}, kWholeData, 45.0f), failure);
    EXPECT_EQ(measure.processAngleCal(map, {}, 45.0f), failure);
    EXPECT_EQ(measure.processAngleCal(map, {kEmptyWindow}, 45.0f), failure);
}

// A failed fit (404, 404) is no angle, even where the tolerance would admit it.
TEST_F(ProcessAngleCal, AFailedFitIsNeverAccepted) {
    XZPoint pair;  // the whole window holds one sample of it: its fit fails
    pair.yValues = {0.0f, 100.0f};
    pair.xValues = {1000.0f, 1000.0f};
    pair.pointCount = 2;
    const std::map<int, XZPoint> map{{0, slice(-1.0f)}, {1, pair}};
    const std::pair<float, float> failure{kNoAngle, kNoAngle};
    measure.param.minFitPoints = 1;
    measure.param.angleTolerance = 1000.0f;
    EXPECT_EQ(measure.processAngleCal(map, kWholeData, 0.0f).first, 45.0f);
    // 404 is 90 degrees from a reference of 314, so as a face it would have been folded in.
    measure.ransacIterations = 0;
    EXPECT_EQ(measure.processAngleCal(map, {kWholeData[0], kWholeData[0]}, 314.0f), failure);
}

// Windows of 0 or 1 samples (allowed by a small minFitPoints) give the failure pair; a window
// whose upper bound lies below its lower one is never fitted, even with a negative minimum.
TEST_F(ProcessAngleCal, ShortAndReversedWindowsStayHarmless) {
    const std::map<int, XZPoint> map{{0, slice(-1.0f)}};
    for (int minimum : {1, 0, -1, -1000000}) {
        measure.param.minFitPoints = minimum;
        EXPECT_EQ(measure.processAngleCal(map, {{10.2f, 10.4f}}, 45.0f).first, kNoAngle);
        EXPECT_EQ(measure.processAngleCal(map, {{10.2f, 11.4f}}, 45.0f).first, kNoAngle);
        EXPECT_EQ(measure.processAngleCal(map, {{30.0f, -30.0f}}, 45.0f).first, kNoAngle);
    }
}

}  // namespace
