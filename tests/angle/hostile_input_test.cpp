// The measurement survives any grid and any configuration: NaN, infinities, huge values,
// reversed ranges and extreme parameters give result codes, never undefined behaviour.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "angle_test_support.h"

namespace {

using angle_test::emptyGrid;
using angle_test::Grid;

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();
const float kMax = std::numeric_limits<float>::max();

// Values no sensor should send, mixed with ordinary ones.
const float kHostileValues[] = {
    kNaN,           kInf,   -kInf, kMax, -kMax,   3e9f,    -3e9f,   2.1e9f, -2.1e9f, 2147483520.0f,
    -2147483520.0f, 1e-40f, -0.0f, 0.0f, 2000.0f, 1999.5f, -450.0f, 372.0f, 1e7f,    -1e7f};
constexpr uint32_t kHostileCount = sizeof kHostileValues / sizeof kHostileValues[0];

// A grid of hostile values in an order that differs from seed to seed.
Grid hostileGrid(uint32_t seed) {
    Grid grid = emptyGrid();
    uint32_t state = seed;
    const auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return kHostileValues[(state >> 16) % kHostileCount];
    };
    for (int row = 0; row < KESO_ROWS; ++row) {
        for (int column = 0; column < KESO_COLUMNS; ++column) {
            grid[row][column].x = next();
            grid[row][column].y = next();
            grid[row][column].z = next();
        }
    }
    return grid;
}

Grid uniformGrid(float value) {
    Grid grid = emptyGrid();
    for (int row = 0; row < KESO_ROWS; ++row) {
        for (int column = 0; column < KESO_COLUMNS; ++column) {
            grid[row][column].x = grid[row][column].y = grid[row][column].z = value;
        }
    }
    return grid;
}

KESOAngleMeasureParam widest() {
    KESOAngleMeasureParam param{};
    param.xLower = param.yLower = param.zLower = INT_MIN;
    param.xUpper = param.yUpper = param.zUpper = INT_MAX;
    param.windowWidth = 200;
    param.windowStep = 10;
    param.binWidth = 1;
    param.minFitPoints = 2;
    param.angleTolerance = 10.0f;
    param.extendAngle = 20.0f;
    param.resetAngle = 1.0f;
    return param;
}

std::vector<KESOAngleMeasureParam> extremeParams() {
    std::vector<KESOAngleMeasureParam> params;
    for (int32_t width : {1, -1, 0, INT_MIN, INT_MAX, 7}) {
        KESOAngleMeasureParam param = widest();
        param.binWidth = width;
        params.push_back(param);
    }
    for (int32_t minimum : {INT_MIN, -1, 0, 1, INT_MAX}) {
        KESOAngleMeasureParam param = widest();
        param.minFitPoints = minimum;
        params.push_back(param);
    }
    for (int32_t shift : {INT_MIN, INT_MAX, -5000}) {
        KESOAngleMeasureParam param = widest();
        param.windowStep = shift;
        param.windowWidth = shift / -2;
        params.push_back(param);
    }
    for (float degrees : {kNaN, kInf, -kInf, 0.0f, 1000.0f}) {
        KESOAngleMeasureParam param = widest();
        param.angleTolerance = degrees;
        param.extendAngle = -degrees;
        param.resetAngle = degrees;
        params.push_back(param);
    }
    KESOAngleMeasureParam reversed = widest();
    std::swap(reversed.xLower, reversed.xUpper);
    std::swap(reversed.yLower, reversed.yUpper);
    std::swap(reversed.zLower, reversed.zUpper);
    params.push_back(reversed);
    return params;
}

bool isKnownCode(int32_t code) {
    return code == 0 || code == -98 || code == -99;
}

TEST(HostileInput, GridsOfNaNInfinityAndHugeValuesGiveResultCodes) {
    ASSERT_TRUE(KESOEnableAngleMeasure(true, widest()));
    for (float value : {kNaN, kInf, -kInf}) {
        Grid grid = uniformGrid(value);
        float angle = 0.0f;
        const KESOAngleResult result = KESOGetPlaneAngle(grid.get(), &angle);
        EXPECT_EQ(result.code, -99);
        EXPECT_STREQ(result.message, "Hashmap is empty");
        EXPECT_TRUE(std::isnan(angle));
    }
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        Grid grid = hostileGrid(seed);
        float angle = 0.0f;
        EXPECT_TRUE(isKnownCode(KESOGetPlaneAngle(grid.get(), &angle).code));
    }
    KESOEnableAngleMeasure(false, widest());
}

TEST(HostileInput, EveryParameterExtremeSurvivesSeveralFrames) {
    testing::internal::CaptureStderr();  // reversed ranges and zero widths warn
    const std::vector<KESOAngleMeasureParam> params = extremeParams();
    for (std::size_t i = 0; i < params.size(); ++i) {
        ASSERT_TRUE(KESOEnableAngleMeasure(true, params[i]));
        for (uint32_t frame = 0; frame < 4; ++frame) {
            Grid grid = hostileGrid(static_cast<uint32_t>(i * 31 + frame));
            float angle = 0.0f;
            const KESOAngleResult result = KESOGetPlaneAngle(grid.get(), &angle);
            EXPECT_TRUE(isKnownCode(result.code)) << "parameter set " << i;
        }
    }
    KESOEnableAngleMeasure(false, widest());
    testing::internal::GetCapturedStderr();
}

}  // namespace
