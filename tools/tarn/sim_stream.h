// The simulated sensor of tarn/sim.h as the tool uses it: its options offered on a command line
// and described in a usage text straight from the component's option table, and a sensor handle
// that closes itself.
#ifndef TARN_TOOLS_TARN_SIM_STREAM_H
#define TARN_TOOLS_TARN_SIM_STREAM_H

#include <memory>
#include <string>
#include <vector>

#include "tarn/sim.h"
#include "tools/tarn/options.h"

namespace tarn::cli {

// The options a command offers, by name, in the order its usage text lists them.
using SimOptionNames = std::vector<const char*>;

class SimConfig;

// Registers the options names in group, straight from the component's option table: the value's
// form, the help text (after prefix) with the default, and the check (tarn_sim_config_set, whose
// refusal is the UsageError). Each value given is set on config.
void addSimOptions(CLI::App& app, const SimOptionNames& names, SimConfig& config,
                   const std::string& group, const std::string& prefix = "");

class SimConfig {
  public:
    SimConfig();  // every option at its default
    SimConfig(const SimConfig& other);
    SimConfig& operator=(const SimConfig& other);

    // Throws UsageError naming the option ("--fps must be a number from 0.1 to 1000, not '0'").
    void set(const std::string& name, const std::string& value);

    tarn_sim_summary summary() const;
    const tarn_sim_config* get() const { return config_.get(); }

  private:
    struct Free {
        void operator()(tarn_sim_config* config) const { tarn_sim_config_free(config); }
    };
    std::unique_ptr<tarn_sim_config, Free> config_;
};

class SimSensor {
  public:
    // Opens the sensor (tarn_sim_open); throws Failure with ExitStatus::socket when its socket or
    // control port cannot be bound.
    explicit SimSensor(const SimConfig& config);

    int sourcePort() const;
    void start();
    // True once the stream has ended, within timeoutMs.
    bool wait(int timeoutMs);
    void stop() { tarn_sim_stop(sim_.get()); }
    tarn_sim_counters counters() const;
    tarn_sim* get() const { return sim_.get(); }

  private:
    struct Close {
        void operator()(tarn_sim* sim) const { tarn_sim_close(sim); }
    };
    std::unique_ptr<tarn_sim, Close> sim_;
};

}  // namespace tarn::cli

#endif  // TARN_TOOLS_TARN_SIM_STREAM_H
