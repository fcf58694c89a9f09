// One plane angle measurement of a simulated frame, through the exported call.
#include <benchmark/benchmark.h>

#include <memory>

#include "KESOApi.h"
#include "sim/scene.h"
#include "sim/wall_frame.h"

namespace {

// The simulated wall at a tilt of 12 degrees, decoded as the library decodes a sensor frame.
std::unique_ptr<KESOPointData[][KESO_COLUMNS]> wallFrame(uint64_t frameIndex) {
    tarn::sim::SceneConfig config;
    config.tiltDegrees = 12.0f;
    const tarn::sim::Scene scene(config);
    auto grid = std::make_unique<KESOPointData[][KESO_COLUMNS]>(KESO_ROWS);
    tarn::sim::fillGrid(scene, frameIndex, grid.get());
    return grid;
}

// Alternates two frames so the history never turns degenerate; after the first call every
// measurement is a tracking step (three window trials).
void BM_KESOGetPlaneAngle(benchmark::State& state) {
    const auto even = wallFrame(0);
    const auto odd = wallFrame(1);
    KESOPointData(*frames[2])[KESO_COLUMNS] = {even.get(), odd.get()};
    KESOEnableAngleMeasure(true, tarn::sim::wallAngleParam());
    uint64_t call = 0;
    for (auto _ : state) {
        float angle = 0.0f;
        const KESOAngleResult result = KESOGetPlaneAngle(frames[call++ % 2], &angle);
        benchmark::DoNotOptimize(result);
        benchmark::DoNotOptimize(angle);
    }
    KESOEnableAngleMeasure(false, tarn::sim::wallAngleParam());
}
BENCHMARK(BM_KESOGetPlaneAngle)->Unit(benchmark::kMillisecond);

}  // namespace
