// The KESO connection's idle cost and frame delay, measured in one run against the simulated
// sensor on loopback:
//   - thread wake-ups per second and CPU per second while connected with no traffic;
//   - the delay from the send of a frame's last datagram to the start of the frame callback, at
//     20 frames per second (median and 99th percentile).
// Uses the public KESO functions only. Run: build/release/bench/tarn_stream_latency [seconds]
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "KESOApi.h"
#include "sim/frame_encoder.h"
#include "sim/scene.h"
#include "sim/stream_sender.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kLocalPort = 47123;
constexpr double kFramesPerSecond = 20.0;

std::atomic<int64_t> lastCallbackNs{0};
std::atomic<int> callbacks{0};

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

void onFrame(KESOPointData (*)[KESO_COLUMNS]) {
    lastCallbackNs.store(nowNs());
    callbacks.fetch_add(1);
}

struct Usage {
    double cpuSeconds;
    long contextSwitches;
};

Usage usage() {
    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    const double cpu = static_cast<double>(self.ru_utime.tv_sec + self.ru_stime.tv_sec) +
                       static_cast<double>(self.ru_utime.tv_usec + self.ru_stime.tv_usec) / 1e6;
    return Usage{cpu, self.ru_nvcsw + self.ru_nivcsw};
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    tarn::sim::StreamSender sender({"127.0.0.1", 0, "127.0.0.1", kLocalPort});
    KESORegisterCallbackUpdateFrame(onFrame);
    if (KESOConnectDevice(kLocalPort, "127.0.0.1", sender.sourcePort()) != 0) {
        std::fprintf(stderr, "connect failed\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    // Idle: the main thread sleeps once, so nearly every context switch is a library thread's.
    const Usage idleStart = usage();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const Usage idleEnd = usage();
    std::printf("idle: %.1f wake-ups/s, %.3f%% of one core\n",
                static_cast<double>(idleEnd.contextSwitches - idleStart.contextSwitches) / seconds,
                100.0 * (idleEnd.cpuSeconds - idleStart.cpuSeconds) / seconds);

    // Delay at 20 frames per second.
    const tarn::sim::Scene scene({});
    const auto period = std::chrono::duration<double>(1.0 / kFramesPerSecond);
    const int frames = static_cast<int>(seconds * kFramesPerSecond);
    std::vector<double> delaysMs;
    const Usage streamStart = usage();
    auto next = Clock::now();
    for (int i = 0; i < frames; ++i) {
        const std::vector<tarn::sim::Datagram> datagrams =
            tarn::sim::encodeFrame(scene, static_cast<uint64_t>(i), {2, 0, 0});
        const int before = callbacks.load();
        sender.sendFrame(datagrams);
        const int64_t sentNs = nowNs();
        // The callback stamps its own start; the frame period leaves it ample time.
        next += std::chrono::duration_cast<Clock::duration>(period);
        std::this_thread::sleep_until(next);
        if (callbacks.load() == before + 1) {
            delaysMs.push_back(static_cast<double>(lastCallbackNs.load() - sentNs) / 1e6);
        }
    }
    const Usage streamEnd = usage();
    KESODisconnectDevice();
    std::sort(delaysMs.begin(), delaysMs.end());
    if (delaysMs.empty()) {
        std::fprintf(stderr, "no frame arrived\n");
        return 1;
    }
    const auto at = [&](double share) {
        return delaysMs[std::min(delaysMs.size() - 1,
                                 static_cast<std::size_t>(share * static_cast<double>(delaysMs.size())))];
    };
    std::printf("delay at 20 fps over %zu of %d frames: median %.3f ms, p99 %.3f ms\n",
                delaysMs.size(), frames, at(0.5), at(0.99));
    std::printf("process CPU while streaming (simulated sensor and library): %.1f%% of one core\n",
                100.0 * (streamEnd.cpuSeconds - streamStart.cpuSeconds) / seconds);
    return 0;
}
