// Everything one simulated sensor is configured with, and the table of options that sets it from
// text: the single definition of every option's name, value syntax, range, help and default, from
// which the command lines, the usage texts and the Python keywords are all built.
#ifndef TARN_SIM_OPTIONS_H
#define TARN_SIM_OPTIONS_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/control_server.h"
#include "sim/faults.h"
#include "sim/scene.h"
#include "sim/stream_sender.h"
#include "tarn/sim.h"

namespace tarn::sim {

struct ControlFaultSetting {
    uint16_t command = 0;
    FaultPlan plan;
};

struct SensorConfig {
    SensorConfig();

    SenderConfig sender;
    SceneConfig scene;
    double fps = 15.0;
    double imuRate = 100.0;
    uint8_t pixelType = kPixelType10Bytes;
    uint8_t tag = 0;
    double spread = 0.5;      // share of the frame period a frame's datagrams are spread over
    uint64_t frames = 0;      // 0: no bound
    double seconds = 0.0;     // 0: no bound
    uint64_t firstFrame = 1;  // scene frame number and timestamp of the first frame
    bool streaming = true;
    RandomFaults random;
    std::vector<DatagramFault> faults;  // frames counted from 0, the first frame sent

    std::string control;  // dotted loopback address of the control server; empty for none
    int32_t pkgSize = 8192;
    std::vector<ControlFaultSetting> controlFaults;
};

// The option table (see tarn/sim.h).
std::size_t optionCount();
const tarn_sim_option* optionAt(std::size_t index);
const tarn_sim_option* findOption(const std::string& name);

// Sets option name (or its alias) from text. Returns nullopt on success, else the line that
// completes the option's name ("must be a number from 0.1 to 1000, not '0'"); an unknown option
// gives "is not an option". The configuration is unchanged on a refusal.
std::optional<std::string> setOption(SensorConfig& config, const std::string& name,
                                     const std::string& text);

// The control fault named name ("refuse", "late", ...).
std::optional<ReplyFault> replyFaultNamed(const std::string& name);

// Usage line(s) of an option as shown under the name `shown`.
std::string optionUsage(const tarn_sim_option& option, const std::string& shown,
                        const std::string& prefix);

// A dotted address within 127.0.0.0/8 without leading zeros, or nullopt.
std::optional<std::string> loopbackText(const std::string& text);

}  // namespace tarn::sim

#endif  // TARN_SIM_OPTIONS_H
