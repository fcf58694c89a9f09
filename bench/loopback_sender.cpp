// The simulated sensor's measurement stream in a process of its own, driven over its standard
// input by the loopback benchmarks (bench/sender_process.h), so that the sender's work never
// counts as the receiver's.
//
// Usage: tarn_loopback_sender DESTINATION_PORT. Prints "port N" (its source port), then answers
// each command line:
//   burst P N      N frames of pixel type P back to back          -> "sent N"
//   frame P        one frame                                        -> "sent NS"
//   paced P N FPS [SPREAD]
//                  N frames at FPS, each frame's datagrams evenly spread over SPREAD of the
//                  period (0, the default, sends each frame back to back); one line per frame as
//                  it is sent                                       -> "sent I NS"
//   quit
// NS is the monotonic clock in nanoseconds right after the frame's last datagram left; every
// frame carries its own number (from 1 on) as its timestamp.
#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "sim/frame_encoder.h"
#include "sim/scene.h"
#include "sim/stream_sender.h"

namespace {

using Frame = std::vector<tarn::sim::Datagram>;

constexpr std::size_t kTimestampOffset = 37;
constexpr int kTimestampBytes = 8;
constexpr std::size_t kCommandBytes = 128;

int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

class Sender {
  public:
    explicit Sender(uint16_t destinationPort)
        : sender_({"127.0.0.1", 0, "127.0.0.1", destinationPort}) {}

    uint16_t sourcePort() const { return sender_.sourcePort(); }

    // Sends the next frame of pixelType datagram by datagram (sendFrame would copy it first for
    // its fault injection), its datagrams `spacingNs` apart, and returns when its last datagram
    // left.
    int64_t send(uint8_t pixelType, int64_t spacingNs = 0) {
        Frame& frame = frameOf(pixelType);
        ++frameNumber_;
        int64_t due = monotonicNs();
        for (auto& datagram : frame) {
            if (spacingNs > 0) {
                const timespec at{static_cast<time_t>(due / 1000000000),
                                  static_cast<long>(due % 1000000000)};
                clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
                due += spacingNs;
            }
            for (int byte = 0; byte < kTimestampBytes; ++byte) {
                datagram[kTimestampOffset + static_cast<std::size_t>(byte)] =
                    static_cast<uint8_t>(frameNumber_ >> (8 * byte));
            }
            sender_.send(datagram);
        }
        return monotonicNs();
    }

    std::size_t datagramsPerFrame(uint8_t pixelType) { return frameOf(pixelType).size(); }

    uint64_t frameNumber() const { return frameNumber_; }

  private:
    Frame& frameOf(uint8_t pixelType) {
        auto found = frames_.find(pixelType);
        if (found == frames_.end()) {
            const tarn::sim::Scene scene(tarn::sim::SceneConfig{});
            found = frames_.emplace(pixelType, tarn::sim::encodeFrame(scene, 0, {pixelType, 0, 0}))
                        .first;
        }
        return found->second;
    }

    tarn::sim::StreamSender sender_;
    std::map<uint8_t, Frame> frames_;
    uint64_t frameNumber_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tarn_loopback_sender DESTINATION_PORT\n");
        return 2;
    }
    Sender sender(static_cast<uint16_t>(std::atoi(argv[1])));
    std::printf("port %u\n", static_cast<unsigned>(sender.sourcePort()));
    std::fflush(stdout);
    char line[kCommandBytes];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        unsigned pixelType = 0;
        unsigned long long count = 0;
        double fps = 0.0;
        double spread = 0.0;
        if (std::sscanf(line, "burst %u %llu", &pixelType, &count) == 2) {
            for (unsigned long long i = 0; i < count; ++i) {
                sender.send(static_cast<uint8_t>(pixelType));
            }
            std::printf("sent %llu\n", count);
        } else if (std::sscanf(line, "paced %u %llu %lf %lf", &pixelType, &count, &fps,
                               &spread) >= 3 &&
                   fps > 0.0 && spread >= 0.0 && spread <= 1.0) {
            const auto period = std::chrono::duration<double>(1.0 / fps);
            const auto spacingNs = static_cast<int64_t>(
                1e9 * spread / fps /
                static_cast<double>(sender.datagramsPerFrame(static_cast<uint8_t>(pixelType))));
            auto next = std::chrono::steady_clock::now();
            for (unsigned long long i = 0; i < count; ++i) {
                std::this_thread::sleep_until(next);
                next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(period);
                const int64_t sentNs = sender.send(static_cast<uint8_t>(pixelType), spacingNs);
                std::printf("sent %llu %lld\n",
                            static_cast<unsigned long long>(sender.frameNumber()),
                            static_cast<long long>(sentNs));
                std::fflush(stdout);
            }
        } else if (std::sscanf(line, "frame %u", &pixelType) == 1) {
            std::printf("sent %lld\n",
                        static_cast<long long>(sender.send(static_cast<uint8_t>(pixelType))));
        } else if (std::strncmp(line, "quit", 4) == 0) {
            return 0;
        } else {
            std::fprintf(stderr, "unknown command: %s", line);
            return 2;
        }
        std::fflush(stdout);
    }
    return 0;
}
