// Rotation of a whole frame grid against copying the same bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "KESOApi.h"
#include "geometry/point_cloud.h"
#include "geometry/rotation.h"

namespace {

constexpr KESORotateInfo kTurn{12.5f, -3.0f, 40.0f, 10.0f, -20.0f, 5.0f};

std::unique_ptr<KESOPointData[][KESO_COLUMNS]> makeGrid() {
    auto grid = std::make_unique<KESOPointData[][KESO_COLUMNS]>(KESO_ROWS);
    for (int row = 0; row < KESO_ROWS; ++row) {
        for (int column = 0; column < KESO_COLUMNS; ++column) {
            KESOPointData& cell = grid[row][column];
            cell.x = 2000.0f + static_cast<float>(row);
            cell.y = static_cast<float>(column) * 5.0f - 900.0f;
            cell.z = static_cast<float>(row) * 5.0f - 375.0f;
        }
    }
    return grid;
}

// Baseline: the bytes of one grid copied once.
void BM_GridMemcpy(benchmark::State& state) {
    auto source = makeGrid();
    auto target = std::make_unique<KESOPointData[][KESO_COLUMNS]>(KESO_ROWS);
    for (auto _ : state) {
        std::memcpy(target.get(), source.get(), sizeof(KESOPointData) * kGridPoints);
        benchmark::DoNotOptimize(target.get());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(sizeof(KESOPointData) * kGridPoints));
}
BENCHMARK(BM_GridMemcpy);

// Baseline for the transformation alone: the bytes of one cloud (12 of every 40 grid bytes).
void BM_CloudMemcpy(benchmark::State& state) {
    auto grid = makeGrid();
    const std::unique_ptr<PointcloudData> source = gridToPointcloudData(grid.get());
    std::vector<PointXYZ> target(source->points.size());
    for (auto _ : state) {
        std::memcpy(target.data(), source->points.data(), sizeof(PointXYZ) * target.size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(sizeof(PointXYZ) * kGridPoints));
}
BENCHMARK(BM_CloudMemcpy);

// The exported call: conversion, rotation and write-back of one grid.
void BM_KESOGetRotatePointcloudData(benchmark::State& state) {
    auto grid = makeGrid();
    for (auto _ : state) {
        KESOGetRotatePointcloudData(grid.get(), kTurn);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(kGridPoints));
}
BENCHMARK(BM_KESOGetRotatePointcloudData);

// The per-point transformation alone, on a cloud of one grid.
void BM_RotatePointcloudData(benchmark::State& state) {
    auto grid = makeGrid();
    std::unique_ptr<PointcloudData> cloud = gridToPointcloudData(grid.get());
    for (auto _ : state) {
        rotatePointcloudData(*cloud, kTurn);
        benchmark::DoNotOptimize(cloud->points.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(kGridPoints));
}
BENCHMARK(BM_RotatePointcloudData);

}  // namespace
