#include "tools/common/sim_options.h"

#include <stdexcept>

#include "tarn/sim.h"

namespace tarn::tools {

void addSimTableOptions(CLI::App& app, const std::vector<const char*>& names,
                        const SimOptionSetter& set, const std::string& group,
                        const std::string& prefix) {
    for (const char* name : names) {
        const tarn_sim_option* option = tarn_sim_option_find(name);
        if (option == nullptr) {
            throw std::logic_error(std::string("no simulated sensor option ") + name);
        }
        std::string help = prefix + option->help;
        if (option->fallback != nullptr) {
            help += std::string(" [") + option->fallback + "]";
        }
        const std::string flag = std::string("--") + name;
        const std::string key = name;
        CLI::Option* added = nullptr;
        if (option->kind == TARN_SIM_OPTION_FLAG) {
            added = app.add_flag_function(
                flag, [set, key](std::int64_t) { set(key, ""); }, help);
        } else if (option->kind == TARN_SIM_OPTION_REPEATED) {
            added = app.add_option_function<std::vector<std::string>>(
                           flag,
                           [set, key](const std::vector<std::string>& values) {
                               for (const std::string& value : values) {
                                   set(key, value);
                               }
                           },
                           help)
                        ->allow_extra_args(false);
        } else {
            added = app.add_option_function<std::string>(
                flag, [set, key](const std::string& value) { set(key, value); }, help);
        }
        if (option->syntax != nullptr) {
            added->type_name(option->syntax);
        }
        added->group(group);
    }
}

}  // namespace tarn::tools
