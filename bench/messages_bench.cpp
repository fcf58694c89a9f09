// One frame's sensor_msgs/msg/PointCloud2 serialised against a memcpy of as many bytes, and one
// frame recorded into MCAP (cloud, depth and intensity) with each compression.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "tarn/mcap.h"
#include "tarn/messages.h"

namespace {

struct Frame {
    std::vector<tarn_point> grid = std::vector<tarn_point>(TARN_CELLS);
    tarn_frame_info info{};
    // cellsWritten below TARN_CELLS leaves the first rows to an earlier frame.
    explicit Frame(uint32_t cellsWritten) {
        for (std::size_t i = 0; i < grid.size(); ++i) {
            tarn_point& p = grid[i];
            p.row = static_cast<uint16_t>(i / TARN_COLUMNS);
            p.column = static_cast<uint16_t>(i % TARN_COLUMNS);
            p.x = 2000.0f + static_cast<float>(p.row);
            p.y = static_cast<float>(p.column) * 5.0f - 900.0f;
            p.z = static_cast<float>(p.row) * 5.0f - 375.0f;
            p.distance = p.x;
            p.intensity = static_cast<uint32_t>(i % 251);
            p.timestamp = i < TARN_CELLS - cellsWritten ? 6 : 7;
        }
        info.cells_written = cellsWritten;
        info.first_timestamp = info.last_timestamp = 7;
        info.receive_realtime_ns = 1765000000123456789;
    }
};

size_t cloudBytes(const tarn_messages* m, const Frame& frame) {
    size_t length = 0;
    tarn_messages_point_cloud(m, frame.grid.data(), &frame.info, nullptr, 0, &length);
    return length;
}

tarn_messages* openMessages() {
    tarn_messages_config config;
    tarn_messages_config_init(&config);
    tarn_messages* m = nullptr;
    tarn_messages_open(&config, &m);
    return m;
}

// Baseline: a copy of as many bytes as the cloud message holds.
void BM_PointCloudMemcpy(benchmark::State& state) {
    tarn_messages* m = openMessages();
    const Frame frame(TARN_CELLS);
    const std::vector<uint8_t> source(cloudBytes(m, frame), 1);
    std::vector<uint8_t> target(source.size());
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), source.size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * source.size()));
    tarn_messages_close(m);
}
BENCHMARK(BM_PointCloudMemcpy);

// The whole message into a reused buffer; the argument is the cells the frame wrote.
void BM_PointCloudSerialise(benchmark::State& state) {
    tarn_messages* m = openMessages();
    const Frame frame(static_cast<uint32_t>(state.range(0)));
    std::vector<uint8_t> target(cloudBytes(m, frame));
    for (auto _ : state) {
        size_t length = 0;
        tarn_messages_point_cloud(m, frame.grid.data(), &frame.info, target.data(), target.size(),
                                  &length);
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * target.size()));
    tarn_messages_close(m);
}
BENCHMARK(BM_PointCloudSerialise)->Arg(TARN_CELLS)->Arg(TARN_CELLS - 4000);

// A simulated scene's wall changes little from cell to cell; so do real ones. Counters: the
// file's bytes per frame, against the raw cloud's 1,296,000.
void BM_McapWriteFrame(benchmark::State& state) {
    const Frame frame(TARN_CELLS);
    tarn_mcap_config config;
    tarn_mcap_config_init(&config);
    config.compression = static_cast<int>(state.range(0));
    const char* path = "/tmp/tarn_bench.mcap";
    tarn_mcap_writer* writer = nullptr;
    if (tarn_mcap_open(path, &config, &writer) != TARN_OK) {
        state.SkipWithError("cannot create /tmp/tarn_bench.mcap");
        return;
    }
    tarn_frame_info info = frame.info;
    for (auto _ : state) {
        info.receive_realtime_ns += 50000000;
        tarn_mcap_write_frame(writer, frame.grid.data(), &info);
    }
    tarn_mcap_close(writer);
    if (std::FILE* file = std::fopen(path, "rb")) {
        std::fseek(file, 0, SEEK_END);
        state.counters["bytes_per_frame"] =
            static_cast<double>(std::ftell(file)) / static_cast<double>(state.iterations());
        std::fclose(file);
    }
    std::remove(path);
}
BENCHMARK(BM_McapWriteFrame)
    ->ArgName("compression")
    ->Arg(TARN_MCAP_ZSTD)
    ->Arg(TARN_MCAP_LZ4)
    ->Arg(TARN_MCAP_NONE);

}  // namespace
