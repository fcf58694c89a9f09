// The KESO connection's idle cost, frame delay and CPU at the sensor's rate, measured in one run
// against the simulated sensor sending from its own process (tarn_loopback_sender):
//   - CPU and thread wake-ups per second while connected with no traffic;
//   - the delay from the send of a frame's last datagram to the start of the frame callback, at
//     20 frames per second, each frame's datagrams spread over a share of the period as the
//     sensor sends them (median and 99th percentile);
//   - this process's CPU per frame at that rate: all of it is the library's and the callback's;
//   - as its baseline, the CPU per frame of a bare recvmmsg receiver (BareReceiver) fed the same
//     paced frames afterwards, and its delay from the send of a frame's last datagram to reading
//     it (median and 99th percentile), the least any receiver on this machine can take.
//   - the same delay from the kernel's arrival stamp of the last datagram instead (free of the
//     sender's own delay between the datagram's delivery and its reading of the clock).
// Uses the public KESO functions, and the default stream's published frame info for that stamp.
// Prints one "name value" line per figure.
// Run: build/<flavour>/bench/tarn_stream_latency [seconds] [pixel type] [spread, default 0.5]
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "KESOApi.h"
#include "bench/bare_receiver.h"
#include "bench/sender_process.h"
#include "tarn/tarn.h"

namespace {

constexpr double kFramesPerSecond = 20.0;
// The share of the period over which the sensor sends a frame's datagrams.
constexpr double kSensorSpread = 0.5;
constexpr double kPercentile99 = 0.99;
constexpr auto kSettle = std::chrono::milliseconds(200);
// Callback start times by frame number (the frame's timestamp); frames beyond are not timed.
constexpr std::size_t kMostFrames = 4096;

std::array<std::atomic<int64_t>, kMostFrames> callbackNs{};
// The kernel's arrival time of each frame's last datagram at the library's socket, by frame number
// (from the published frame's info, which is the callback's frame once the callback starts).
std::array<std::atomic<int64_t>, kMostFrames> arrivalNs{};
// When the bare receiver read each frame's last datagram, by frame number.
std::array<std::atomic<int64_t>, kMostFrames> bareLastNs{};

// The sender numbers its frames in the header timestamp (bytes 37 to 44, little-endian); a last
// datagram has flag 2 at byte 20.
constexpr std::size_t kPointHeaderBytes = 45;
constexpr std::size_t kFrameFlagOffset = 20;
constexpr std::size_t kTimestampOffset = 37;
constexpr uint8_t kLastDatagram = 2;

int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void onFrame(KESOPointData (*grid)[KESO_COLUMNS]) {
    const int64_t now = monotonicNs();
    const uint64_t frame = grid[0][0].timestamp;
    if (frame < kMostFrames) {
        callbackNs[frame].store(now);
        tarn_frame_info info{};
        if (tarn_stream_get_frame(tarn_stream_default(), nullptr, &info) == TARN_OK) {
            arrivalNs[frame].store(info.receive_monotonic_ns);
        }
    }
}

// Has the sender send `frames` frames at 20 per second, each spread over `spread` of the period;
// returns (frame number, time of its last datagram's send) for each frame sent.
std::vector<std::pair<long long, long long>> sendPaced(tarn::bench::SenderProcess& sender,
                                                       int pixelType, long long frames,
                                                       double spread) {
    std::vector<std::pair<long long, long long>> sent;
    sender.command("paced " + std::to_string(pixelType) + " " + std::to_string(frames) + " " +
                   std::to_string(kFramesPerSecond) + " " + std::to_string(spread));
    for (long long i = 0; i < frames; ++i) {
        long long frame = 0;
        long long sentNs = 0;
        if (!sender.reply(frame, sentNs)) {
            break;
        }
        sent.emplace_back(frame, sentNs);
    }
    // The last frame is given the same time as every other one.
    std::this_thread::sleep_for(std::chrono::duration<double>(1.0 / kFramesPerSecond));
    return sent;
}

void onBareDatagram(const uint8_t* bytes, std::size_t length) {
    const int64_t now = monotonicNs();
    if (length < kPointHeaderBytes || bytes[kFrameFlagOffset] != kLastDatagram) {
        return;
    }
    uint64_t frame = 0;
    for (int i = 7; i >= 0; --i) {
        frame = (frame << 8) | bytes[kTimestampOffset + static_cast<std::size_t>(i)];
    }
    if (frame < kMostFrames) {
        bareLastNs[frame].store(now);
    }
}

// Delays from each frame's send to the time recorded for it, in milliseconds, sorted.
std::vector<double> delaysOf(const std::vector<std::pair<long long, long long>>& sent,
                             const std::array<std::atomic<int64_t>, kMostFrames>& reachedNs) {
    std::vector<double> delaysMs;
    for (const auto& [frame, sentNs] : sent) {
        const int64_t reached = frame >= 0 && static_cast<std::size_t>(frame) < kMostFrames
                                    ? reachedNs[static_cast<std::size_t>(frame)].load()
                                    : 0;
        if (reached != 0) {
            delaysMs.push_back(static_cast<double>(reached - sentNs) / 1e6);
        }
    }
    std::sort(delaysMs.begin(), delaysMs.end());
    return delaysMs;
}

double percentile(const std::vector<double>& sorted, double share) {
    return sorted[std::min(sorted.size() - 1,
                           static_cast<std::size_t>(share * static_cast<double>(sorted.size())))];
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
    const int pixelType = argc > 2 ? std::atoi(argv[2]) : 2;
    const double spread = argc > 3 ? std::atof(argv[3]) : kSensorSpread;
    const uint16_t localPort = tarn::bench::freeLocalPort();
    tarn::bench::SenderProcess sender(localPort);
    KESORegisterCallbackUpdateFrame(onFrame);
    if (KESOConnectDevice(localPort, "127.0.0.1", sender.sourcePort()) != 0) {
        std::fprintf(stderr, "connect failed\n");
        return 1;
    }
    std::this_thread::sleep_for(kSettle);

    // Idle: the main thread sleeps once, so nearly every context switch is a library thread's.
    const Usage idleStart = usage();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const Usage idleEnd = usage();
    std::printf("idle_wakeups_per_s %.1f\n",
                static_cast<double>(idleEnd.contextSwitches - idleStart.contextSwitches) / seconds);
    std::printf("idle_cpu_percent %.4f\n",
                100.0 * (idleEnd.cpuSeconds - idleStart.cpuSeconds) / seconds);

    // At 20 frames per second; the sender reports each frame's send as it happens.
    const auto frames = static_cast<long long>(
        std::min(seconds * kFramesPerSecond, static_cast<double>(kMostFrames - 1)));
    const Usage streamStart = usage();
    const auto sent = sendPaced(sender, pixelType, frames, spread);
    const Usage streamEnd = usage();
    KESODisconnectDevice();

    // The baseline: the same paced frames into a bare receiver.
    std::atomic<uint64_t> bareDatagrams{0};
    double bareCpuSeconds = 0.0;
    std::vector<std::pair<long long, long long>> bareSent;
    {
        tarn::bench::BareReceiver bare([&bareDatagrams](const uint8_t* bytes, std::size_t length) {
            bareDatagrams.fetch_add(1);
            onBareDatagram(bytes, length);
        });
        if (bare.port() == 0) {
            std::fprintf(stderr, "bind failed\n");
            return 1;
        }
        tarn::bench::SenderProcess bareSender(bare.port());
        const double before = bare.cpuSeconds();
        bareSent = sendPaced(bareSender, pixelType, frames, spread);
        bareCpuSeconds = bare.cpuSeconds() - before;
    }

    const std::vector<double> delaysMs = delaysOf(sent, callbackNs);
    const std::vector<double> bareDelaysMs = delaysOf(bareSent, bareLastNs);
    if (delaysMs.empty() || bareDelaysMs.empty()) {
        std::fprintf(stderr, "no frame arrived (%zu sent, %zu to the bare receiver)\n", sent.size(),
                     bareSent.size());
        return 1;
    }
    const std::size_t bareFrames = bareSent.size();
    const auto at = [&](double share) { return percentile(delaysMs, share); };
    const double streamSeconds = static_cast<double>(sent.size()) / kFramesPerSecond;
    std::printf("spread %.2f\nframes_sent %zu\nframes_delivered %zu\n", spread, sent.size(),
                delaysMs.size());
    std::printf("delay_median_ms %.4f\ndelay_p99_ms %.4f\n", at(0.5), at(kPercentile99));
    // The same from the last datagram's arrival at the socket: without the sender's own delay
    // between the datagram's delivery and its reading of the clock, which on a loaded machine
    // can come after the callback.
    std::vector<double> fromArrivalMs;
    for (std::size_t frame = 0; frame < kMostFrames; ++frame) {
        if (arrivalNs[frame].load() != 0 && callbackNs[frame].load() != 0) {
            fromArrivalMs.push_back(
                static_cast<double>(callbackNs[frame].load() - arrivalNs[frame].load()) / 1e6);
        }
    }
    std::sort(fromArrivalMs.begin(), fromArrivalMs.end());
    if (!fromArrivalMs.empty()) {
        std::printf("delay_from_arrival_median_ms %.4f\ndelay_from_arrival_p99_ms %.4f\n",
                    percentile(fromArrivalMs, 0.5), percentile(fromArrivalMs, kPercentile99));
    }
    std::printf("cpu_percent_at_20fps %.3f\n",
                100.0 * (streamEnd.cpuSeconds - streamStart.cpuSeconds) / streamSeconds);
    const double cpuPerFrame = (streamEnd.cpuSeconds - streamStart.cpuSeconds) /
                               static_cast<double>(std::max<std::size_t>(sent.size(), 1));
    const double bareCpuPerFrame =
        bareCpuSeconds / static_cast<double>(std::max<std::size_t>(bareFrames, 1));
    std::printf("cpu_us_per_frame %.1f\n", 1e6 * cpuPerFrame);
    std::printf("bare_recvmmsg_datagrams %llu\n",
                static_cast<unsigned long long>(bareDatagrams.load()));
    std::printf("bare_recvmmsg_cpu_us_per_frame %.1f\n", 1e6 * bareCpuPerFrame);
    std::printf("bare_recvmmsg_delay_median_ms %.4f\nbare_recvmmsg_delay_p99_ms %.4f\n",
                percentile(bareDelaysMs, 0.5), percentile(bareDelaysMs, kPercentile99));
    return 0;
}
