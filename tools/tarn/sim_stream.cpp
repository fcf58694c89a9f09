#include "tools/tarn/sim_stream.h"

#include <new>

#include "tools/common/sim_options.h"
#include "tools/tarn/exit_status.h"

namespace tarn::cli {
namespace {

constexpr std::size_t kErrorBytes = 256;

}  // namespace

void addSimOptions(CLI::App& app, const SimOptionNames& names, SimConfig& config,
                   const std::string& group, const std::string& prefix) {
    tools::addSimTableOptions(
        app, names,
        [&config](const std::string& name, const std::string& value) { config.set(name, value); },
        group, prefix);
}

SimConfig::SimConfig() {
    tarn_sim_config* config = nullptr;
    if (tarn_sim_config_new(&config) != TARN_SIM_OK) {
        throw std::bad_alloc();
    }
    config_.reset(config);
}

SimConfig::SimConfig(const SimConfig& other) {
    tarn_sim_config* config = nullptr;
    if (tarn_sim_config_copy(other.get(), &config) != TARN_SIM_OK) {
        throw std::bad_alloc();
    }
    config_.reset(config);
}

SimConfig& SimConfig::operator=(const SimConfig& other) {
    if (this != &other) {
        SimConfig copy(other);
        config_.swap(copy.config_);
    }
    return *this;
}

void SimConfig::set(const std::string& name, const std::string& value) {
    char error[kErrorBytes] = {};
    const int result =
        tarn_sim_config_set(config_.get(), name.c_str(), value.c_str(), error, sizeof error);
    if (result == TARN_SIM_ERR_NO_MEMORY) {
        throw std::bad_alloc();
    }
    if (result != TARN_SIM_OK) {
        throw UsageError("--" + name + " " + error);
    }
}

tarn_sim_summary SimConfig::summary() const {
    tarn_sim_summary summary{};
    tarn_sim_config_summary(config_.get(), &summary);
    return summary;
}

SimSensor::SimSensor(const SimConfig& config) {
    const tarn_sim_summary s = config.summary();
    tarn_sim* sim = nullptr;
    const int result = tarn_sim_open(config.get(), &sim);
    if (result == TARN_SIM_ERR_CONTROL) {
        throw Failure(ExitStatus::socket, std::string("cannot serve the control port on ") +
                                              s.control_address +
                                              ":6501 (in use, or not a local address)");
    }
    if (result == TARN_SIM_ERR_SOCKET) {
        throw Failure(ExitStatus::socket, std::string("cannot send from ") + s.source_address +
                                              ":" + std::to_string(s.source_port) + ": " +
                                              tarn_sim_strerror(result));
    }
    if (result != TARN_SIM_OK) {
        throw Failure(ExitStatus::failure, std::string("cannot start the simulated sensor: ") +
                                               tarn_sim_strerror(result));
    }
    sim_.reset(sim);
}

int SimSensor::sourcePort() const {
    int port = 0;
    tarn_sim_source_port(sim_.get(), &port);
    return port;
}

void SimSensor::start() {
    const int result = tarn_sim_start(sim_.get());
    if (result != TARN_SIM_OK) {
        throw Failure(ExitStatus::failure, std::string("cannot start the simulated sensor: ") +
                                               tarn_sim_strerror(result));
    }
}

bool SimSensor::wait(int timeoutMs) {
    return tarn_sim_wait(sim_.get(), timeoutMs) == TARN_SIM_OK;
}

tarn_sim_counters SimSensor::counters() const {
    tarn_sim_counters counters{};
    tarn_sim_get_counters(sim_.get(), &counters);
    return counters;
}

}  // namespace tarn::cli
