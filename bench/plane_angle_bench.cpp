// One plane angle measurement of a simulated frame, through the exported call.
#include <benchmark/benchmark.h>

#include <memory>

#include "KESOApi.h"
#include "sim/scene.h"

namespace {

// The simulated wall at a tilt of 12 degrees, decoded as the library decodes a sensor frame.
std::unique_ptr<KESOPointData[][KESO_COLUMNS]> wallFrame(uint64_t frameIndex) {
    tarn::sim::SceneConfig config;
    config.tiltDegrees = 12.0f;
    const tarn::sim::Scene scene(config);
    auto grid = std::make_unique<KESOPointData[][KESO_COLUMNS]>(KESO_ROWS);
    for (int row = 0; row < KESO_ROWS; ++row) {
        for (int column = 0; column < KESO_COLUMNS; ++column) {
            const tarn::sim::RawPoint raw = scene.point(row, column, frameIndex);
            grid[row][column].x = tarn::sim::Scene::decode(raw.x);
            grid[row][column].y = tarn::sim::Scene::decode(raw.y);
            grid[row][column].z = tarn::sim::Scene::decode(raw.z);
        }
    }
    return grid;
}

KESOAngleMeasureParam wallParam() {
    KESOAngleMeasureParam param{};
    param.xLower = -1000;
    param.xUpper = 1000;
    param.yLower = -400;
    param.yUpper = 400;
    param.windowWidth = 200;
    param.windowStep = 10;
    param.binWidth = 50;
    param.zUpper = 3000;
    param.zLower = 1000;
    param.minFitPoints = 100;
    param.angleTolerance = 5.0f;
    param.extendAngle = 60.0f;
    param.resetAngle = 0.5f;
    return param;
}

// Alternates two frames so the history never turns degenerate; after the first call every
// measurement is a tracking step (three window trials).
void BM_KESOGetPlaneAngle(benchmark::State& state) {
    const auto even = wallFrame(0);
    const auto odd = wallFrame(1);
    KESOPointData(*frames[2])[KESO_COLUMNS] = {even.get(), odd.get()};
    KESOEnableAngleMeasure(true, wallParam());
    uint64_t call = 0;
    for (auto _ : state) {
        float angle = 0.0f;
        const KESOAngleResult result = KESOGetPlaneAngle(frames[call++ % 2], &angle);
        benchmark::DoNotOptimize(result);
        benchmark::DoNotOptimize(angle);
    }
    KESOEnableAngleMeasure(false, wallParam());
}
BENCHMARK(BM_KESOGetPlaneAngle)->Unit(benchmark::kMillisecond);

}  // namespace
