// End to end: frames of the simulated tilted wall, measured through the exported calls.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "angle_test_support.h"
#include "sim/scene.h"
#include "sim/wall_frame.h"

namespace {

using angle_test::emptyGrid;
using angle_test::Grid;

// The wall spans y of about -900 to 900 and z of about -372 to 372 at x = 2000 - tan(tilt) * y;
// tarn::sim::wallAngleParam() takes all of it for tilts up to 45 degrees.
using tarn::sim::wallAngleParam;

constexpr int kFrames = 8;
constexpr float kToleranceDegrees = 0.5f;

class SimulatedWall : public testing::TestWithParam<float> {};

TEST_P(SimulatedWall, MeasuresTheTiltFrameAfterFrame) {
    tarn::sim::SceneConfig config;
    config.tiltDegrees = GetParam();
    const tarn::sim::Scene scene(config);
    ASSERT_TRUE(KESOEnableAngleMeasure(true, wallAngleParam()));
    Grid grid = emptyGrid();
    for (int frame = 0; frame < kFrames; ++frame) {
        tarn::sim::fillGrid(scene, static_cast<uint64_t>(frame), grid.get());
        float angle = 0.0f;
        const KESOAngleResult result = KESOGetPlaneAngle(grid.get(), &angle);
        ASSERT_EQ(result.code, 0) << "frame " << frame << ": " << result.message;
        EXPECT_NEAR(angle, config.tiltDegrees, kToleranceDegrees) << "frame " << frame;
        std::printf("tilt %6.2f frame %d measured %9.4f\n", static_cast<double>(config.tiltDegrees),
                    frame, static_cast<double>(angle));
    }
    KESOEnableAngleMeasure(false, wallAngleParam());
}

// A turn larger than angleTolerance between two frames loses the plane for one frame; the
// measurement then finds it again and the history moves over to the new tilt.
TEST(SimulatedWallJump, FollowsATurnLargerThanTheTolerance) {
    ASSERT_TRUE(KESOEnableAngleMeasure(true, wallAngleParam()));
    Grid grid = emptyGrid();
    float angle = 0.0f;
    uint64_t frame = 0;
    for (float tilt : {12.0f, 30.0f}) {
        tarn::sim::SceneConfig config;
        config.tiltDegrees = tilt;
        const tarn::sim::Scene scene(config);
        for (int i = 0; i < kFrames; ++i) {
            tarn::sim::fillGrid(scene, frame++, grid.get());
            ASSERT_EQ(KESOGetPlaneAngle(grid.get(), &angle).code, 0) << "frame " << frame;
        }
        EXPECT_NEAR(angle, tilt, kToleranceDegrees);
    }
    KESOEnableAngleMeasure(false, wallAngleParam());
}

// A one-column object (every point at the same y, so no slice has a line) after a tracked wall:
// the failed fits never pass for a measurement, and the wall is found again when it returns.
TEST(SimulatedWallLost, AnObjectWithoutALineIsNoMeasurement) {
    KESOAngleMeasureParam param = wallAngleParam();
    param.minFitPoints = 5;
    ASSERT_TRUE(KESOEnableAngleMeasure(true, param));
    tarn::sim::SceneConfig config;
    config.tiltDegrees = 12.0f;
    const tarn::sim::Scene scene(config);
    Grid grid = emptyGrid();
    float angle = 0.0f;
    uint64_t frame = 0;
    for (; frame < kFrames; ++frame) {
        tarn::sim::fillGrid(scene, frame, grid.get());
        ASSERT_EQ(KESOGetPlaneAngle(grid.get(), &angle).code, 0);
    }

    Grid column = emptyGrid();
    for (int row = 0; row < KESO_ROWS; ++row) {
        column[row][180].x = 2000.0f;
        column[row][180].z = static_cast<float>(5 * row - 372);
    }
    // Tracking finds nothing in its windows: the previous mean stands in once.
    KESOAngleResult result = KESOGetPlaneAngle(column.get(), &angle);
    ASSERT_EQ(result.code, 0);
    EXPECT_NEAR(angle, 12.0f, kToleranceDegrees);
    for (int i = 0; i < 6; ++i) {
        result = KESOGetPlaneAngle(column.get(), &angle);
        EXPECT_EQ(result.code, -99) << "frame " << i << " angle " << angle;
        EXPECT_STREQ(result.message, "Angle data is error");
    }

    tarn::sim::fillGrid(scene, frame, grid.get());
    ASSERT_EQ(KESOGetPlaneAngle(grid.get(), &angle).code, 0);
    EXPECT_NEAR(angle, 12.0f, kToleranceDegrees);
    KESOEnableAngleMeasure(false, param);
}

INSTANTIATE_TEST_SUITE_P(Tilts, SimulatedWall, testing::Values(-30.0f, -5.0f, 0.0f, 12.0f, 40.0f));

}  // namespace
