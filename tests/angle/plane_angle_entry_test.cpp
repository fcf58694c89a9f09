#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>

#include "angle/angle_result.h"
#include "angle_test_support.h"

namespace {

using angle_test::addPlane;
using angle_test::angleOfSlope;
using angle_test::emptyGrid;
using angle_test::Grid;
using angle_test::planeParam;

// A grid holding the given points in its first cells; the other cells have no measurement
// (x = 0 lies outside every box used here).
Grid gridOf(const std::vector<PointXYZ>& points) {
    Grid grid = emptyGrid();
    for (std::size_t i = 0; i < points.size(); ++i) {
        KESOPointData& cell = grid[i / KESO_COLUMNS][i % KESO_COLUMNS];
        cell.x = points[i].x;
        cell.y = points[i].y;
        cell.z = points[i].z;
    }
    return grid;
}

Grid planeGrid(float slope) {
    std::vector<PointXYZ> points;
    addPlane(points, slope, {15, 25, 35});
    return gridOf(points);
}

bool isQuietNaN(float value) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits == 0x7FC00000u;
}

TEST(KESOGetPlaneAngle, RefusesWhileDisabledAndLeavesTheAngleAlone) {
    Grid grid = planeGrid(-0.5f);
    float angle = 123.0f;
    KESOAngleResult result = KESOGetPlaneAngle(grid.get(), &angle);
    EXPECT_EQ(result.code, -100);
    EXPECT_STREQ(result.message, "Do not init algotithm module");
    EXPECT_EQ(angle, 123.0f);

    KESOEnableAngleMeasure(true, planeParam());
    KESOEnableAngleMeasure(false, planeParam());
    result = KESOGetPlaneAngle(grid.get(), &angle);
    EXPECT_EQ(result.code, -100);
    EXPECT_EQ(angle, 123.0f);
}

TEST(KESOGetPlaneAngle, MeasuresAnExactPlane) {
    ASSERT_TRUE(KESOEnableAngleMeasure(true, planeParam()));
    Grid grid = planeGrid(-0.5f);
    float angle = 0.0f;
    const KESOAngleResult result = KESOGetPlaneAngle(grid.get(), &angle);
    EXPECT_EQ(result.code, 0);
    EXPECT_STREQ(result.message, "OK");
    EXPECT_EQ(angle, angleOfSlope(-0.5f));
    KESOEnableAngleMeasure(false, planeParam());
}

TEST(KESOGetPlaneAngle, ReportsEveryFailureWithItsTextAndNaN) {
    ASSERT_TRUE(KESOEnableAngleMeasure(true, planeParam()));
    float angle = 5.0f;

    Grid nothing = emptyGrid();
    KESOAngleResult result = KESOGetPlaneAngle(nothing.get(), &angle);
    EXPECT_EQ(result.code, -99);
    EXPECT_STREQ(result.message, "Hashmap is empty");
    EXPECT_TRUE(isQuietNaN(angle));

    Grid lonely = gridOf({{1000, 0, 15}, {1000, 8, 25}, {1000, 16, 35}});
    angle = 5.0f;
    result = KESOGetPlaneAngle(lonely.get(), &angle);
    EXPECT_EQ(result.code, -99);
    EXPECT_STREQ(result.message, "Hashmap is error");
    EXPECT_TRUE(isQuietNaN(angle));

    KESOAngleMeasureParam demanding = planeParam();
    demanding.minFitPoints = 100000;
    ASSERT_TRUE(KESOEnableAngleMeasure(true, demanding));
    Grid plane = planeGrid(-0.5f);
    angle = 5.0f;
    result = KESOGetPlaneAngle(plane.get(), &angle);
    EXPECT_EQ(result.code, -99);
    EXPECT_STREQ(result.message, "Angle data is error");
    EXPECT_TRUE(isQuietNaN(angle));

    ASSERT_TRUE(KESOEnableAngleMeasure(true, planeParam()));
    for (int frame = 1; frame <= 5; ++frame) {
        ASSERT_EQ(KESOGetPlaneAngle(plane.get(), &angle).code, 0) << frame;
    }
    angle = 5.0f;
    result = KESOGetPlaneAngle(plane.get(), &angle);
    EXPECT_EQ(result.code, -98);
    EXPECT_STREQ(result.message, "History data is error");
    EXPECT_TRUE(isQuietNaN(angle));
    KESOEnableAngleMeasure(false, planeParam());
}

// Once enabled, null pointers are refused without touching the measurement.
TEST(KESOGetPlaneAngle, RefusesNullPointers) {
    Grid grid = planeGrid(-0.5f);
    float angle = 5.0f;
    EXPECT_EQ(KESOGetPlaneAngle(nullptr, nullptr).code, -100);
    ASSERT_TRUE(KESOEnableAngleMeasure(true, planeParam()));
    for (const KESOAngleResult& result :
         {KESOGetPlaneAngle(nullptr, &angle), KESOGetPlaneAngle(grid.get(), nullptr),
          KESOGetPlaneAngle(nullptr, nullptr)}) {
        EXPECT_EQ(result.code, -99);
        EXPECT_STREQ(result.message, "Frame or angle is null");
    }
    EXPECT_EQ(angle, 5.0f);
    // Nothing entered the history: the next frame is still the first.
    ASSERT_EQ(KESOGetPlaneAngle(grid.get(), &angle).code, 0);
    EXPECT_EQ(angle, angleOfSlope(-0.5f));
    KESOEnableAngleMeasure(false, planeParam());
}

// Every slice fit fails when all points share one y: that is no measurement, however often.
TEST(KESOGetPlaneAngle, SlicesWithoutALineNeverGiveAnAngle) {
    ASSERT_TRUE(KESOEnableAngleMeasure(true, planeParam()));
    std::vector<PointXYZ> points;
    for (float z : {15.0f, 25.0f, 35.0f}) {
        for (int i = 0; i < 10; ++i) {
            points.push_back(PointXYZ{1000.0f + static_cast<float>(8 * i), 7.0f, z});
        }
    }
    Grid grid = gridOf(points);
    for (int frame = 1; frame <= 6; ++frame) {
        float angle = 5.0f;
        const KESOAngleResult result = KESOGetPlaneAngle(grid.get(), &angle);
        EXPECT_EQ(result.code, -99) << "frame " << frame << " angle " << angle;
        EXPECT_STREQ(result.message, "Angle data is error");
        EXPECT_TRUE(isQuietNaN(angle));
    }
    KESOEnableAngleMeasure(false, planeParam());
}

// Measurements and reconfigurations from two threads are serialised by the lock.
TEST(KESOGetPlaneAngle, MeasuresWhileAnotherThreadReconfigures) {
    constexpr int kRounds = 30;
    Grid grid = planeGrid(-0.5f);
    int unknownCodes = 0;
    std::thread measurer([&] {
        for (int round = 0; round < kRounds; ++round) {
            float angle = 0.0f;
            const int32_t code = KESOGetPlaneAngle(grid.get(), &angle).code;
            if (code != 0 && code != -98 && code != -99 && code != -100) {
                ++unknownCodes;
            }
        }
    });
    for (int round = 0; round < kRounds; ++round) {
        KESOEnableAngleMeasure(round % 3 != 2, planeParam());
    }
    measurer.join();
    EXPECT_EQ(unknownCodes, 0);
    KESOEnableAngleMeasure(false, planeParam());
}

TEST(AngleResultForStatus, UnknownStatusesAreErrors) {
    for (int status : {-1, 5, 1000}) {
        const KESOAngleResult result = angleResultForStatus(status);
        EXPECT_EQ(result.code, -99);
        EXPECT_STREQ(result.message, "Error return code");
    }
}

}  // namespace
