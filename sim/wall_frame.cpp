#include "sim/wall_frame.h"

#include <cmath>

namespace tarn::sim {

void fillGrid(const Scene& scene, uint64_t frameIndex, KESOPointData (*grid)[KESO_COLUMNS]) {
    for (int row = 0; row < KESO_ROWS; ++row) {
        for (int column = 0; column < KESO_COLUMNS; ++column) {
            const RawPoint raw = scene.point(row, column, frameIndex);
            KESOPointData& cell = grid[row][column];
            cell = KESOPointData{};
            cell.row = static_cast<uint16_t>(row);
            cell.column = static_cast<uint16_t>(column);
            cell.distance = static_cast<float>(raw.distance);
            cell.intensity = raw.intensity;
            cell.x = Scene::decode(raw.x);
            cell.y = Scene::decode(raw.y);
            cell.z = Scene::decode(raw.z);
            cell.timestamp = frameIndex;
        }
    }
}

namespace {

constexpr int32_t kDistanceMargin = 1000;

}  // namespace

KESOAngleMeasureParam wallAngleParam(float wallDistance) {
    const auto distance = static_cast<int32_t>(std::lround(wallDistance));
    KESOAngleMeasureParam param{};
    param.xLower = -1000;
    param.xUpper = 1000;
    param.yLower = -400;
    param.yUpper = 400;
    param.windowWidth = 200;
    param.windowStep = 10;
    param.binWidth = 50;
    param.zUpper = distance + kDistanceMargin;
    param.zLower = distance - kDistanceMargin;
    param.minFitPoints = 100;
    param.angleTolerance = 5.0f;
    param.extendAngle = 60.0f;
    param.resetAngle = 0.0f;
    return param;
}

}  // namespace tarn::sim
