// Shared builders for the plane angle tests: clouds of exact planes and frame grids.
#ifndef TARN_TESTS_ANGLE_ANGLE_TEST_SUPPORT_H
#define TARN_TESTS_ANGLE_ANGLE_TEST_SUPPORT_H

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

#include "KESOApi.h"
#include "angle/angle_measure.h"
#include "geometry/point_cloud.h"
#include "sim/scene.h"

namespace angle_test {

using Grid = std::unique_ptr<KESOPointData[][KESO_COLUMNS]>;

inline Grid emptyGrid() {
    return std::make_unique<KESOPointData[][KESO_COLUMNS]>(KESO_ROWS);
}

// A box around everything the exact-plane clouds below hold, slices of 10 along z.
inline KESOAngleMeasureParam planeParam() {
    KESOAngleMeasureParam param{};
    param.xLower = -1000;
    param.xUpper = 1000;
    param.yLower = -1000;
    param.yUpper = 1000;
    param.windowWidth = 50;
    param.windowStep = 10;
    param.binWidth = 10;
    param.zUpper = 5000;
    param.zLower = 0;
    param.minFitPoints = 5;
    param.angleTolerance = 10.0f;
    param.extendAngle = 60.0f;
    param.resetAngle = 0.0f;
    return param;
}

// Points on x = 1000 + slope * y for y = -200, -192, ..., 200, one slice per z. With slopes
// that are multiples of 1/8 every coordinate is a whole number and every two-point trial finds
// the same line exactly.
inline void addPlane(std::vector<PointXYZ>& points, float slope, std::initializer_list<float> zs) {
    for (float z : zs) {
        for (int y = -200; y <= 200; y += 8) {
            const float fy = static_cast<float>(y);
            points.push_back(PointXYZ{1000.0f + slope * fy, fy, z});
        }
    }
}

inline PointcloudData planeCloud(float slope, std::initializer_list<float> zs = {15, 25, 35}) {
    PointcloudData cloud;
    addPlane(cloud.points, slope, zs);
    return cloud;
}

// The angle a fit gives for an exact slope of x over y.
inline float angleOfSlope(float slope) {
    return static_cast<float>(static_cast<double>(-std::atan(slope)) * 180.0 / 3.141592653589793);
}

}  // namespace angle_test

#endif  // TARN_TESTS_ANGLE_ANGLE_TEST_SUPPORT_H
