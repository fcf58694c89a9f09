// The simulated sensor's measurement stream as the tool runs it: frames of a tilted wall at a
// frame rate, IMU samples between them, with the simulator's faults, paced on the calling thread
// so the caller can print a status line each second and stop at once on request.
#ifndef TARN_TOOLS_TARN_SIM_STREAM_H
#define TARN_TOOLS_TARN_SIM_STREAM_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include "sim/faults.h"
#include "sim/scene.h"
#include "sim/stream_sender.h"

namespace tarn::cli {

struct SimStreamPlan {
    sim::SenderConfig sender;
    sim::SceneConfig scene;
    double fps = 15.0;
    double imuRate = 100.0;  // IMU samples per second; 0 sends none
    uint8_t pixelType = sim::kPixelType10Bytes;
    uint64_t frames = 0;  // 0: no bound
    sim::RandomFaults random;
    std::vector<sim::DatagramFault> faults;  // frames counted from 0, the first frame sent
};

struct SimCounts {
    uint64_t frames = 0;
    uint64_t pointDatagrams = 0;  // handed to the network after the faults
    uint64_t imuDatagrams = 0;
    uint64_t sendErrors = 0;
    sim::FaultCounters faults;
};

// Not thread-safe: one thread runs the stream and reads the counts.
class SimStream {
  public:
    using Clock = std::chrono::steady_clock;
    // Sleeps until the time point; false ends the stream early.
    using Sleeper = std::function<bool(Clock::time_point)>;

    // Opens the sender. Throws std::invalid_argument for a plan the simulator refuses and
    // std::system_error when the source address and port cannot be bound.
    explicit SimStream(const SimStreamPlan& plan);

    uint16_t sourcePort() const { return sender_.sourcePort(); }
    uint16_t foreignPort() const { return sender_.foreignPort(); }

    // Streams until the plan's frames are sent, until `end`, or until sleep returns false.
    // Calls tick after each whole second since the start, between datagrams.
    void run(Clock::time_point end, const Sleeper& sleep, const std::function<void()>& tick);

    SimCounts counts() const;

  private:
    // Sleeps until `until`, sending the IMU samples and calling the ticks that fall due meanwhile.
    bool waitUntil(Clock::time_point until);
    void sendImu(Clock::time_point due);

    SimStreamPlan plan_;
    sim::StreamSender sender_;
    sim::Scene scene_;
    sim::FaultInjector faults_;
    uint64_t frames_ = 0;

    // Set for the length of one run.
    const Sleeper* sleep_ = nullptr;
    const std::function<void()>* tick_ = nullptr;
    Clock::time_point start_;
    Clock::time_point nextImu_;
    Clock::time_point nextTick_;
    Clock::duration imuPeriod_{};
};

}  // namespace tarn::cli

#endif  // TARN_TOOLS_TARN_SIM_STREAM_H
