#include <gtest/gtest.h>

#include <string>

#include "angle/angle_measure.h"
#include "angle/angle_state.h"
#include "angle_test_support.h"

namespace {

using angle_test::planeParam;

std::string warningsOf(const KESOAngleMeasureParam& param) {
    testing::internal::CaptureStderr();
    const AngleMeasure measure(param);
    return testing::internal::GetCapturedStderr();
}

TEST(AngleMeasureConstruction, CopiesTheRecordAndStartsFresh) {
    KESOAngleMeasureParam param = planeParam();
    param.angleTolerance = 2.5f;
    const AngleMeasure measure(param);
    EXPECT_EQ(measure.param.xLower, param.xLower);
    EXPECT_EQ(measure.param.zUpper, param.zUpper);
    EXPECT_EQ(measure.param.angleTolerance, 2.5f);
    EXPECT_EQ(measure.ransacIterations, 10);
    EXPECT_EQ(measure.ransacDistance, 5);
    EXPECT_EQ(measure.ransacMinInliers, 0);
    EXPECT_EQ(measure.historySize, 5);
    EXPECT_TRUE(measure.needInit);
    EXPECT_EQ(measure.meanAngle, 0.0f);
    EXPECT_EQ(measure.currentAngle, 0.0f);
    EXPECT_TRUE(measure.windows.empty());
    EXPECT_TRUE(measure.angleHistory.empty());
}

TEST(AngleMeasureConstruction, WarnsAboutEachReversedRangeInOrder) {
    EXPECT_EQ(warningsOf(planeParam()), "");

    KESOAngleMeasureParam equalX = planeParam();
    equalX.xUpper = equalX.xLower;
    EXPECT_EQ(warningsOf(equalX), "X Upper must be greater than X Lower\n");

    KESOAngleMeasureParam reversedY = planeParam();
    reversedY.yLower = 5;
    reversedY.yUpper = -5;
    EXPECT_EQ(warningsOf(reversedY), "Y Upper must be greater than Y Lower\n");

    KESOAngleMeasureParam everything = planeParam();
    everything.xLower = 1;
    everything.xUpper = 0;
    everything.yLower = 1;
    everything.yUpper = 0;
    everything.binWidth = 0;
    EXPECT_EQ(warningsOf(everything),
              "X Upper must be greater than X Lower\n"
              "Y Upper must be greater than Y Lower\n"
              "Bin width must not be zero\n");
}

TEST(KESOEnableAngleMeasure, ReplacesAndRemovesTheMeasurement) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(KESOEnableAngleMeasure(false, planeParam()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(pAngleMeasure_, nullptr);

    KESOAngleMeasureParam zeroWidth = planeParam();
    zeroWidth.binWidth = 0;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(KESOEnableAngleMeasure(true, zeroWidth));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Bin width must not be zero\n");
    ASSERT_NE(pAngleMeasure_, nullptr);
    EXPECT_EQ(pAngleMeasure_->param.binWidth, 0);

    // Re-enabling with the same record starts over: search pending, no history.
    pAngleMeasure_->needInit = false;
    pAngleMeasure_->angleHistory.push_back(12.0f);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(KESOEnableAngleMeasure(true, zeroWidth));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Bin width must not be zero\n");
    ASSERT_NE(pAngleMeasure_, nullptr);
    EXPECT_TRUE(pAngleMeasure_->needInit);
    EXPECT_TRUE(pAngleMeasure_->angleHistory.empty());

    EXPECT_FALSE(KESOEnableAngleMeasure(false, zeroWidth));
    EXPECT_EQ(pAngleMeasure_, nullptr);
}

}  // namespace
