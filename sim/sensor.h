// One whole simulated sensor as configured by SensorConfig: its measurement stream, paced on a
// thread of its own with the configured faults, and its control server.
#ifndef TARN_SIM_SENSOR_H
#define TARN_SIM_SENSOR_H

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "sim/control_server.h"
#include "sim/faults.h"
#include "sim/options.h"
#include "sim/scene.h"
#include "sim/stream_sender.h"

namespace tarn::sim {

struct SensorCounts {
    uint64_t frames = 0;  // frames sent whole
    uint64_t datagrams = 0;
    uint64_t pointDatagrams = 0;
    uint64_t imuDatagrams = 0;
    uint64_t sendErrors = 0;
    FaultCounters faults;
};

// The settings record the control server starts with (see tarn/sim.h).
SettingsRecord initialSettings(const SensorConfig& config, uint16_t sourcePort);

class Sensor {
  public:
    // Binds the sending socket (std::system_error when it cannot) and starts the control server
    // (ControlUnavailable when it cannot listen).
    explicit Sensor(const SensorConfig& config);
    // Stops streaming and serving.
    ~Sensor();
    Sensor(const Sensor&) = delete;
    Sensor& operator=(const Sensor&) = delete;

    uint16_t sourcePort() const;

    // Starts the stream's thread once; later calls, and calls after stop, do nothing.
    void start();
    // True once the stream has ended or was never started, within timeout (negative: no limit).
    bool wait(std::chrono::milliseconds timeout);
    // Ends the stream within a few milliseconds and joins its thread.
    void stop();

    // Any thread: the counters as they stood after the last datagram sent.
    SensorCounts counts() const;
    // Null without a control address. The server is safe to use from any thread.
    ControlServer* control() const { return control_.get(); }

  private:
    using Clock = std::chrono::steady_clock;

    void run();
    // Sleeps until `until`, sending the IMU samples that fall due meanwhile; false when stopped.
    bool waitUntil(Clock::time_point until);
    bool sleepUntil(Clock::time_point until);
    void sendImu(Clock::time_point due);
    void publish();

    const SensorConfig config_;
    const Scene scene_;
    std::unique_ptr<StreamSender> sender_;  // the stream's thread only, while it runs
    FaultInjector faults_;                  // likewise
    std::unique_ptr<ControlServer> control_;
    uint64_t framesSent_ = 0;  // likewise
    Clock::time_point start_;
    Clock::time_point nextImu_;
    Clock::duration imuPeriod_{};

    mutable std::mutex mutex_;  // guards everything below
    std::condition_variable changed_;
    bool started_ = false;
    bool stopping_ = false;
    bool finished_ = false;
    SensorCounts published_;
    std::thread thread_;  // started and joined under no lock, by the owner's thread
};

class ControlUnavailable : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace tarn::sim

#endif  // TARN_SIM_SENSOR_H
