// Helpers for the C interface's tests: a simulated sensor aimed at a handle stream, and a frame
// recorder to pass as a callback's user pointer.
#ifndef TARN_TESTS_API_API_TEST_SUPPORT_H
#define TARN_TESTS_API_API_TEST_SUPPORT_H

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/scene.h"
#include "sim/stream_sender.h"
#include "tarn/tarn.h"
#include "tests/stream/stream_test_support.h"

namespace tarn::api::test {

constexpr const char* kLoopback = "127.0.0.1";

// The simulated sensor's default wall.
inline const sim::Scene& scene() {
    static const sim::Scene wall({});
    return wall;
}

// What a stream's frame callback saw.
struct FrameRecorder {
    std::mutex mutex;
    std::vector<tarn_frame_info> infos;
    std::vector<uint64_t> tags;  // the tag of cell [0][0] of each frame
    std::vector<tarn_point> grid = std::vector<tarn_point>(TARN_CELLS);  // the latest frame
    std::atomic<int> frames{0};

    static void onFrame(const tarn_point* grid, const tarn_frame_info* info, void* user) {
        auto* self = static_cast<FrameRecorder*>(user);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->infos.push_back(*info);
        self->tags.push_back(grid[0].tag);
        std::memcpy(self->grid.data(), grid, sizeof(tarn_point) * TARN_CELLS);
        self->frames.fetch_add(1);
    }

    std::vector<tarn_frame_info> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return infos;
    }
};

// A simulated sensor and a handle stream listening to it.
struct SensorAndStream {
    uint16_t localPort = stream::test::freeUdpPort();
    sim::StreamSender sender{sim::SenderConfig{kLoopback, 0, kLoopback, localPort}};
    FrameRecorder recorder;
    tarn_stream* stream = nullptr;

    tarn_stream_config config() {
        tarn_stream_config config;
        tarn_stream_config_init(&config);
        config.local_address = kLoopback;
        config.local_port = localPort;
        config.device_address = kLoopback;
        config.device_port = sender.sourcePort();
        config.on_frame = &FrameRecorder::onFrame;
        config.frame_user = &recorder;
        return config;
    }

    int open() {
        const tarn_stream_config c = config();
        return tarn_stream_open(&c, &stream);
    }

    ~SensorAndStream() {
        if (stream != nullptr) {
            tarn_stream_close(stream);
        }
    }

    tarn_stream_stats stats() {
        tarn_stream_stats stats{};
        tarn_stream_get_stats(stream, &stats);
        return stats;
    }
};

}  // namespace tarn::api::test

#endif  // TARN_TESTS_API_API_TEST_SUPPORT_H
