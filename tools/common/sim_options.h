// The simulated sensor's options (tarn/sim.h) on a tool's command line, straight from the
// component's option table: each option's value form, help text with its default, and check
// (tarn_sim_config_set, through the setter).
#ifndef TARN_TOOLS_SIM_OPTIONS_H
#define TARN_TOOLS_SIM_OPTIONS_H

#include <CLI/CLI.hpp>
#include <functional>
#include <string>
#include <vector>

namespace tarn::tools {

// Sets one option from its text; throws UsageError when the component refuses it.
using SimOptionSetter = std::function<void(const std::string& name, const std::string& value)>;

// Registers the options names (table names or aliases) in group, each help text after prefix. A
// flag is set with an empty value; a repeatable option once per value given.
void addSimTableOptions(CLI::App& app, const std::vector<const char*>& names,
                        const SimOptionSetter& set, const std::string& group,
                        const std::string& prefix = "");

}  // namespace tarn::tools

#endif  // TARN_TOOLS_SIM_OPTIONS_H
