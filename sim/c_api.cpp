// The C interface of tarn/sim.h: each handle wraps its C++ object, and each function forwards to
// it, turning exceptions into result codes.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <system_error>

#include "sim/frame_encoder.h"
#include "sim/options.h"
#include "sim/sensor.h"
#include "sim/wall_frame.h"
#include "tarn/sim.h"

struct tarn_sim_config {
    tarn::sim::SensorConfig rep;
};

struct tarn_sim {
    explicit tarn_sim(const tarn::sim::SensorConfig& config) : rep(config) {}
    tarn::sim::Sensor rep;
};

namespace {

namespace core = tarn::sim;

// Copies text into buffer as snprintf would; returns text's length.
int copyText(const std::string& text, char* buffer, std::size_t size) {
    if (buffer != nullptr && size > 0) {
        const std::size_t count = std::min(text.size(), size - 1);
        std::memcpy(buffer, text.data(), count);
        buffer[count] = '\0';
    }
    return static_cast<int>(text.size());
}

void copyAddress(const std::string& address, char (&field)[16]) {
    copyText(address, field, sizeof field);
}

// Runs body, turning the exceptions it may throw into codes.
template <typename Body>
int guarded(Body body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return TARN_SIM_ERR_NO_MEMORY;
    } catch (const std::system_error&) {
        return TARN_SIM_ERR_THREAD;
    } catch (...) {
        return TARN_SIM_ERR_ARGUMENT;
    }
}

}  // namespace

extern "C" {

const char* tarn_sim_strerror(int code) {
    switch (code) {
        case TARN_SIM_OK:
            return "success";
        case TARN_SIM_ERR_NULL_ARGUMENT:
            return "a required argument is null";
        case TARN_SIM_ERR_UNKNOWN_OPTION:
            return "no simulated sensor option of that name";
        case TARN_SIM_ERR_VALUE:
            return "the option's value was refused";
        case TARN_SIM_ERR_NO_MEMORY:
            return "out of memory";
        case TARN_SIM_ERR_SOCKET:
            return "the simulated sensor's socket could not be bound";
        case TARN_SIM_ERR_CONTROL:
            return "the control port could not be served";
        case TARN_SIM_ERR_THREAD:
            return "the simulated sensor's thread could not be started";
        case TARN_SIM_ERR_TIMEOUT:
            return "still streaming at the end of the time-out";
        case TARN_SIM_ERR_NO_CONTROL:
            return "this simulated sensor serves no control port";
        case TARN_SIM_ERR_ARGUMENT:
            return "an argument is out of its range";
        default:
            return "unknown result code";
    }
}

size_t tarn_sim_option_count(void) {
    return core::optionCount();
}

const tarn_sim_option* tarn_sim_option_at(size_t index) {
    return core::optionAt(index);
}

const tarn_sim_option* tarn_sim_option_find(const char* name) {
    return name != nullptr ? core::findOption(name) : nullptr;
}

int tarn_sim_option_usage(const char* name, const char* prefix, char* buffer, size_t size) {
    if (name == nullptr || (buffer == nullptr && size > 0)) {
        return TARN_SIM_ERR_NULL_ARGUMENT;
    }
    return guarded([&] {
        const tarn_sim_option* option = core::findOption(name);
        if (option == nullptr) {
            return TARN_SIM_ERR_UNKNOWN_OPTION;
        }
        return copyText(core::optionUsage(*option, name, prefix != nullptr ? prefix : ""), buffer,
                        size);
    });
}

int tarn_sim_config_new(tarn_sim_config** config) {
    if (config == nullptr) {
        return TARN_SIM_ERR_NULL_ARGUMENT;
    }
    return guarded([&] {
        *config = new tarn_sim_config;
        return TARN_SIM_OK;
    });
}

void tarn_sim_config_free(tarn_sim_config* config) {
    delete config;
}

int tarn_sim_config_copy(const tarn_sim_config* config, tarn_sim_config** copy) {
    if (config == nullptr || copy == nullptr) {
        return TARN_SIM_ERR_NULL_ARGUMENT;
    }
    return guarded([&] {
        *copy = new tarn_sim_config(*config);
        return TARN_SIM_OK;
    });
}

int tarn_sim_config_set(tarn_sim_config* config, const char* name, const char* value, char* error,
                        size_t error_size) {
    if (config == nullptr || name == nullptr) {
        return TARN_SIM_ERR_NULL_ARGUMENT;
    }
    return guarded([&] {
        const tarn_sim_option* option = core::findOption(name);
        if (option == nullptr) {
            copyText("is not an option", error, error_size);
            return TARN_SIM_ERR_UNKNOWN_OPTION;
        }
        if (value == nullptr && option->kind != TARN_SIM_OPTION_FLAG) {
            copyText("needs a value", error, error_size);
            return TARN_SIM_ERR_VALUE;
        }
        const std::optional<std::string> refusal =
            core::setOption(config->rep, name, value != nullptr ? value : "");
        if (refusal) {
            copyText(*refusal, error, error_size);
            return TARN_SIM_ERR_VALUE;
        }
        return TARN_SIM_OK;
    });
}

int tarn_sim_config_summary(const tarn_sim_config* config, tarn_sim_summary* summary) {
    if (config == nullptr || summary == nullptr) {
        return TARN_SIM_ERR_NULL_ARGUMENT;
    }
    const core::SensorConfig& c = config->rep;
    *summary = tarn_sim_summary{};
    summary->tilt_degrees = c.scene.tiltDegrees;
    summary->distance = c.scene.wallDistance;
    summary->fps = c.fps;
    summary->imu_rate = c.imuRate;
    summary->duration_seconds = c.seconds;
    summary->frames = c.frames;
    summary->pixel_type = c.pixelType;
    summary->streaming = c.streaming ? 1 : 0;
    copyAddress(c.sender.sourceAddress, summary->source_address);
    summary->source_port = c.sender.sourcePort;
    copyAddress(c.sender.destinationAddress, summary->destination_address);
    summary->destination_port = c.sender.destinationPort;
    copyAddress(c.control, summary->control_address);
    return TARN_SIM_OK;
}

int tarn_sim_expected_point(const tarn_sim_config* config, int row, int column, uint64_t frame,
                            tarn_sim_point* point) {
    if (config == nullptr || point == nullptr) {
        return TARN_SIM_ERR_NULL_ARGUMENT;
    }
    if (row < 0 || row >= core::kRows || column < 0 || column >= core::kColumns) {
        return TARN_SIM_ERR_ARGUMENT;
    }
    const core::RawPoint raw = core::Scene(config->rep.scene).point(row, column, frame);
    point->distance = static_cast<float>(raw.distance);
    point->intensity = raw.intensity;
    point->x = core::Scene::decode(raw.x);
    point->y = core::Scene::decode(raw.y);
    point->z = core::Scene::decode(raw.z);
    return TARN_SIM_OK;
}

int tarn_sim_encode_frame(const tarn_sim_config* config, uint64_t frame, tarn_sim_datagram_fn fn,
                          void* user) {
    if (config == nullptr || fn == nullptr) {
        return TARN_SIM_ERR_NULL_ARGUMENT;
    }
    return guarded([&] {
        const core::SensorConfig& c = config->rep;
        const core::FrameFormat format{c.pixelType, c.tag, frame};
        for (const core::Datagram& datagram :
             core::encodeFrame(core::Scene(c.scene), frame, format)) {
            fn(datagram.data(), datagram.size(), user);
        }
        return TARN_SIM_OK;
    });
}

int tarn_sim_datagrams_per_frame(int pixel_type) {
    if (pixel_type < core::kPixelType4Bytes || pixel_type > core::kPixelType10Bytes) {
        return 0;
    }
    return core::datagramsPerFrame(static_cast<uint8_t>(pixel_type));
}

int tarn_sim_wall_angle_param(const tarn_sim_config* config, tarn_sim_angle_param* param) {
    if (param == nullptr) {
        return TARN_SIM_ERR_NULL_ARGUMENT;
    }
    const float distance =
        config != nullptr ? config->rep.scene.wallDistance : core::SceneConfig{}.wallDistance;
    const KESOAngleMeasureParam p = core::wallAngleParam(distance);
    *param = {p.xLower,         p.xUpper,      p.yLower,    p.yUpper, p.windowWidth,
              p.windowStep,     p.binWidth,    p.zUpper,    p.zLower, p.minFitPoints,
              p.angleTolerance, p.extendAngle, p.resetAngle};
    return TARN_SIM_OK;
}

int tarn_sim_open(const tarn_sim_config* config, tarn_sim** sim) {
    if (config == nullptr || sim == nullptr) {
        return TARN_SIM_ERR_NULL_ARGUMENT;
    }
    try {
        *sim = new tarn_sim(config->rep);
        return TARN_SIM_OK;
    } catch (const std::bad_alloc&) {
        return TARN_SIM_ERR_NO_MEMORY;
    } catch (const core::ControlUnavailable&) {
        return TARN_SIM_ERR_CONTROL;
    } catch (const std::system_error& e) {
        // The sender reports a failed socket or bind; a thread that cannot start, its own code.
        return e.code() == std::errc::resource_unavailable_try_again ? TARN_SIM_ERR_THREAD
                                                                     : TARN_SIM_ERR_SOCKET;
    } catch (...) {
        return TARN_SIM_ERR_SOCKET;
    }
}

int tarn_sim_start(tarn_sim* sim) {
    if (sim == nullptr) {
        return TARN_SIM_ERR_NULL_ARGUMENT;
    }
    try {
        sim->rep.start();
        return TARN_SIM_OK;
    } catch (...) {
        return TARN_SIM_ERR_THREAD;
    }
}

int tarn_sim_wait(tarn_sim* sim, int timeout_ms) {
    if (sim == nullptr) {
        return TARN_SIM_ERR_NULL_ARGUMENT;
    }
    return guarded([&] {
        return sim->rep.wait(std::chrono::milliseconds(timeout_ms)) ? TARN_SIM_OK
                                                                    : TARN_SIM_ERR_TIMEOUT;
    });
}

int tarn_sim_stop(tarn_sim* sim) {
    if (sim == nullptr) {
        return TARN_SIM_ERR_NULL_ARGUMENT;
    }
    return guarded([&] {
        sim->rep.stop();
        return TARN_SIM_OK;
    });
}

void tarn_sim_close(tarn_sim* sim) {
    delete sim;
}

int tarn_sim_source_port(const tarn_sim* sim, int* port) {
    if (sim == nullptr || port == nullptr) {
        return TARN_SIM_ERR_NULL_ARGUMENT;
    }
    *port = sim->rep.sourcePort();
    return TARN_SIM_OK;
}

int tarn_sim_get_counters(const tarn_sim* sim, tarn_sim_counters* counters) {
    if (sim == nullptr || counters == nullptr) {
        return TARN_SIM_ERR_NULL_ARGUMENT;
    }
    return guarded([&] {
        const core::SensorCounts c = sim->rep.counts();
        *counters = tarn_sim_counters{};
        counters->frames = c.frames;
        counters->datagrams = c.datagrams;
        counters->point_datagrams = c.pointDatagrams;
        counters->imu_datagrams = c.imuDatagrams;
        counters->send_errors = c.sendErrors;
        counters->dropped = c.faults.dropped;
        counters->duplicated = c.faults.duplicated;
        counters->reordered = c.faults.reordered;
        counters->truncated = c.faults.truncated;
        counters->corrupted = c.faults.corrupted;
        counters->foreign = c.faults.foreign;
        if (const core::ControlServer* control = sim->rep.control()) {
            counters->control_connections = static_cast<uint64_t>(control->connectionsAccepted());
            counters->control_requests = control->received().size();
        }
        return TARN_SIM_OK;
    });
}

int tarn_sim_get_settings(const tarn_sim* sim, uint8_t* record) {
    if (sim == nullptr || record == nullptr) {
        return TARN_SIM_ERR_NULL_ARGUMENT;
    }
    const core::ControlServer* control = sim->rep.control();
    if (control == nullptr) {
        return TARN_SIM_ERR_NO_CONTROL;
    }
    return guarded([&] {
        const core::SettingsRecord settings = control->settings();
        std::copy(settings.begin(), settings.end(), record);
        return TARN_SIM_OK;
    });
}

int tarn_sim_set_settings(tarn_sim* sim, const uint8_t* record) {
    if (sim == nullptr || record == nullptr) {
        return TARN_SIM_ERR_NULL_ARGUMENT;
    }
    core::ControlServer* control = sim->rep.control();
    if (control == nullptr) {
        return TARN_SIM_ERR_NO_CONTROL;
    }
    return guarded([&] {
        core::SettingsRecord settings{};
        std::copy(record, record + settings.size(), settings.begin());
        control->setSettings(settings);
        return TARN_SIM_OK;
    });
}

int tarn_sim_set_control_fault(tarn_sim* sim, uint16_t command, const char* fault, int replies,
                               uint32_t status) {
    if (sim == nullptr || fault == nullptr) {
        return TARN_SIM_ERR_NULL_ARGUMENT;
    }
    core::ControlServer* control = sim->rep.control();
    if (control == nullptr) {
        return TARN_SIM_ERR_NO_CONTROL;
    }
    return guarded([&] {
        const std::optional<core::ReplyFault> kind = core::replyFaultNamed(fault);
        if (!kind || replies < core::FaultPlan::kEveryReply) {
            return TARN_SIM_ERR_ARGUMENT;
        }
        core::FaultPlan plan;
        plan.fault = *kind;
        plan.replies = replies;
        plan.status = status;
        control->setFault(command, plan);
        return TARN_SIM_OK;
    });
}

int tarn_sim_clear_control_faults(tarn_sim* sim) {
    if (sim == nullptr) {
        return TARN_SIM_ERR_NULL_ARGUMENT;
    }
    core::ControlServer* control = sim->rep.control();
    if (control == nullptr) {
        return TARN_SIM_ERR_NO_CONTROL;
    }
    return guarded([&] {
        control->clearFaults();
        return TARN_SIM_OK;
    });
}

int tarn_sim_received_commands(const tarn_sim* sim, uint16_t* commands, size_t capacity,
                               size_t* count) {
    if (sim == nullptr || count == nullptr || (commands == nullptr && capacity > 0)) {
        return TARN_SIM_ERR_NULL_ARGUMENT;
    }
    const core::ControlServer* control = sim->rep.control();
    if (control == nullptr) {
        return TARN_SIM_ERR_NO_CONTROL;
    }
    return guarded([&] {
        const std::vector<uint16_t> received = control->receivedCommands();
        std::copy_n(received.begin(), std::min(capacity, received.size()), commands);
        *count = received.size();
        return TARN_SIM_OK;
    });
}

}  // extern "C"
