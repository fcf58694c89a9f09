// The simulated sensor of tarn/sim.h for tarn.sim: its option table, configurations set from it,
// and sensors that stream on a thread of their own. No thread of the simulated sensor ever touches
// Python.
#include <pybind11/stl.h>

#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "bindings.h"
#include "tarn/sim.h"

namespace tarn::python {
namespace {

constexpr std::size_t kErrorBytes = 256;
constexpr int kNoLimit = -1;

void checkSim(int code) {
    if (code == TARN_SIM_ERR_NO_MEMORY) {
        throw std::bad_alloc();
    }
    if (code == TARN_SIM_ERR_NO_CONTROL) {
        throw std::runtime_error("this simulated sensor serves no control port (control=None)");
    }
    if (code == TARN_SIM_ERR_ARGUMENT) {
        throw py::value_error(tarn_sim_strerror(code));
    }
    if (code != TARN_SIM_OK) {
        throw std::runtime_error(std::string("the simulated sensor: ") + tarn_sim_strerror(code));
    }
}

py::list options() {
    py::list table;
    for (std::size_t i = 0; i < tarn_sim_option_count(); ++i) {
        const tarn_sim_option* option = tarn_sim_option_at(i);
        py::dict entry;
        entry["name"] = option->name;
        entry["alias"] = option->alias != nullptr ? py::object(py::str(option->alias)) : py::none();
        entry["syntax"] =
            option->syntax != nullptr ? py::object(py::str(option->syntax)) : py::none();
        entry["help"] = option->help;
        entry["default"] =
            option->fallback != nullptr ? py::object(py::str(option->fallback)) : py::none();
        entry["repeated"] = option->kind == TARN_SIM_OPTION_REPEATED;
        entry["flag"] = option->kind == TARN_SIM_OPTION_FLAG;
        table.append(entry);
    }
    return table;
}

class Config {
  public:
    Config() {
        tarn_sim_config* config = nullptr;
        checkSim(tarn_sim_config_new(&config));
        config_.reset(config);
    }

    // ValueError with the component's reason, KeyError for an unknown option.
    void set(const std::string& name, const std::string& value) {
        char error[kErrorBytes] = {};
        const int code = tarn_sim_config_set(config_.get(), textArgument(name), textArgument(value),
                                             error, sizeof error);
        if (code == TARN_SIM_ERR_UNKNOWN_OPTION) {
            throw py::key_error(name);
        }
        if (code == TARN_SIM_ERR_VALUE) {
            throw py::value_error(error);
        }
        checkSim(code);
    }

    py::dict expected(int row, int column, uint64_t frame) const {
        tarn_sim_point point{};
        if (tarn_sim_expected_point(config_.get(), row, column, frame, &point) != TARN_SIM_OK) {
            throw py::value_error("row is 0 to 149 and column 0 to 359");
        }
        py::dict dict;
        dict["distance"] = point.distance;
        dict["intensity"] = point.intensity;
        dict["x"] = point.x;
        dict["y"] = point.y;
        dict["z"] = point.z;
        return dict;
    }

    std::vector<py::bytes> encodeFrame(uint64_t frame) const {
        std::vector<py::bytes> datagrams;
        checkSim(tarn_sim_encode_frame(
            config_.get(), frame,
            [](const uint8_t* bytes, size_t size, void* user) {
                static_cast<std::vector<py::bytes>*>(user)->emplace_back(
                    reinterpret_cast<const char*>(bytes), size);
            },
            &datagrams));
        return datagrams;
    }

    const tarn_sim_config* get() const { return config_.get(); }

  private:
    struct Free {
        void operator()(tarn_sim_config* config) const { tarn_sim_config_free(config); }
    };
    std::unique_ptr<tarn_sim_config, Free> config_;
};

class Sensor {
  public:
    explicit Sensor(const Config& config) {
        tarn_sim_summary s{};
        tarn_sim_config_summary(config.get(), &s);
        tarn_sim* sim = nullptr;
        const int code = tarn_sim_open(config.get(), &sim);
        if (code == TARN_SIM_ERR_CONTROL) {
            throw std::runtime_error(std::string("cannot serve the control port on ") +
                                     s.control_address + ":6501 (port in use)");
        }
        if (code == TARN_SIM_ERR_SOCKET) {
            throw std::runtime_error(std::string("cannot send from ") + s.source_address + ":" +
                                     std::to_string(s.source_port) + " (port in use)");
        }
        checkSim(code);
        sim_.reset(sim);
    }

    int sourcePort() const {
        int port = 0;
        tarn_sim_source_port(live(), &port);
        return port;
    }

    void start() { checkSim(tarn_sim_start(live())); }

    bool wait(double timeoutSeconds) {
        tarn_sim* sim = live();
        const int timeoutMs =
            timeoutSeconds < 0 ? kNoLimit : static_cast<int>(timeoutSeconds * 1000.0);
        py::gil_scoped_release release;
        return tarn_sim_wait(sim, timeoutMs) == TARN_SIM_OK;
    }

    // The streaming thread never needs the GIL, so waiting for it with the GIL released is safe.
    void stop() {
        if (sim_ == nullptr) {
            return;
        }
        py::gil_scoped_release release;
        tarn_sim_stop(sim_.get());
    }

    // The counters stay readable once the sensor is closed.
    void close() {
        if (sim_ == nullptr) {
            return;
        }
        stop();
        tarn_sim_get_counters(sim_.get(), &final_);
        tarn_sim* sim = sim_.release();
        py::gil_scoped_release release;
        tarn_sim_close(sim);
    }

    py::dict counters() const {
        tarn_sim_counters c = final_;
        if (sim_ != nullptr) {
            tarn_sim_get_counters(sim_.get(), &c);
        }
        py::dict dict;
        dict["frames"] = c.frames;
        dict["datagrams"] = c.datagrams;
        dict["point_datagrams"] = c.point_datagrams;
        dict["imu"] = c.imu_datagrams;
        dict["send_errors"] = c.send_errors;
        dict["dropped"] = c.dropped;
        dict["duplicated"] = c.duplicated;
        dict["reordered"] = c.reordered;
        dict["truncated"] = c.truncated;
        dict["corrupted"] = c.corrupted;
        dict["foreign"] = c.foreign;
        dict["control_connections"] = c.control_connections;
        dict["control_requests"] = c.control_requests;
        return dict;
    }

    py::bytes settings() const {
        uint8_t record[TARN_SIM_SETTINGS_BYTES] = {};
        checkSim(tarn_sim_get_settings(live(), record));
        return py::bytes(reinterpret_cast<const char*>(record), sizeof record);
    }

    void setSettings(const py::bytes& bytes) {
        const std::string text = bytes;
        if (text.size() != TARN_SIM_SETTINGS_BYTES) {
            throw py::value_error("the settings record is 44 bytes");
        }
        checkSim(tarn_sim_set_settings(live(), reinterpret_cast<const uint8_t*>(text.data())));
    }

    void setControlFault(int command, const std::string& fault, int replies, uint32_t status) {
        if (command < 0 || command > 0xFFFF) {
            throw py::value_error("a control command is 0 to 0xFFFF");
        }
        const int code = tarn_sim_set_control_fault(live(), static_cast<uint16_t>(command),
                                                    textArgument(fault), replies, status);
        if (code == TARN_SIM_ERR_ARGUMENT) {
            throw py::value_error("unknown control fault '" + fault + "', or replies below -1");
        }
        checkSim(code);
    }

    void clearControlFaults() { checkSim(tarn_sim_clear_control_faults(live())); }

    std::vector<uint16_t> receivedCommands() const {
        size_t count = 0;
        checkSim(tarn_sim_received_commands(live(), nullptr, 0, &count));
        std::vector<uint16_t> commands(count);
        checkSim(tarn_sim_received_commands(live(), commands.data(), commands.size(), &count));
        commands.resize(std::min(count, commands.size()));
        return commands;
    }

  private:
    tarn_sim* live() const {
        if (sim_ == nullptr) {
            throw std::runtime_error("the simulated sensor is closed");
        }
        return sim_.get();
    }

    struct Close {
        void operator()(tarn_sim* sim) const { tarn_sim_close(sim); }
    };
    std::unique_ptr<tarn_sim, Close> sim_;
    tarn_sim_counters final_{};  // what a closed sensor sent
};

}  // namespace

void bindSim(py::module_& module) {
    module.def("sim_options", &options);

    py::class_<Config>(module, "SimConfig")
        .def(py::init<>())
        .def("set", &Config::set, py::arg("name"), py::arg("value"))
        .def("expected", &Config::expected, py::arg("row"), py::arg("column"), py::arg("frame"))
        .def("encode_frame", &Config::encodeFrame, py::arg("frame"));

    py::class_<Sensor>(module, "SimSensor")
        .def(py::init<const Config&>(), py::arg("config"))
        .def_property_readonly("source_port", &Sensor::sourcePort)
        .def("start", &Sensor::start)
        .def("wait", &Sensor::wait, py::arg("timeout"))
        .def("stop", &Sensor::stop)
        .def("close", &Sensor::close)
        .def("counters", &Sensor::counters)
        .def("settings", &Sensor::settings)
        .def("set_settings", &Sensor::setSettings, py::arg("record"))
        .def("set_control_fault", &Sensor::setControlFault, py::arg("command"), py::arg("fault"),
             py::arg("replies"), py::arg("status"))
        .def("clear_control_faults", &Sensor::clearControlFaults)
        .def("received_commands", &Sensor::receivedCommands);
}

}  // namespace tarn::python
