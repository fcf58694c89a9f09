// The extension module tarn._dds: the DDS publisher of tarn/dds.h for tarn.dds.Publisher. Its
// own module, so Python programs without DDS never load Cyclone DDS.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "tarn/dds.h"

namespace py = pybind11;

namespace {

void check(int rc) {
    if (rc != TARN_OK) {
        throw std::runtime_error(std::string(tarn_dds_strerror(rc)) + " (" + std::to_string(rc) +
                                 ")");
    }
}

class Publisher {
  public:
    Publisher(int domain, const std::string& ddsConfig, bool reliable, int depth,
              bool reliableDiagnostics, int diagnosticsPeriodMs) {
        tarn_dds_config config;
        tarn_dds_config_init(&config);
        config.domain_id = domain;
        config.cyclonedds_config = ddsConfig.c_str();
        config.data_qos = {reliable ? 1 : 0, depth};
        config.diagnostics_qos.reliable = reliableDiagnostics ? 1 : 0;
        config.diagnostics_period_ms = diagnosticsPeriodMs;
        tarn_dds* dds = nullptr;
        check(tarn_dds_open(&config, &dds));
        dds_.reset(dds);
    }
    // Returns the sensor's handle as an integer, for the Python wrapper.
    uintptr_t addSensor(const std::string& ns, const std::string& frameId) {
        tarn_dds_sensor_config config;
        tarn_dds_sensor_config_init(&config);
        config.namespace_name = ns.c_str();
        config.messages.frame_id = frameId.c_str();
        tarn_dds_sensor* sensor = nullptr;
        check(tarn_dds_add_sensor(live(), &config, &sensor));
        return reinterpret_cast<uintptr_t>(sensor);
    }
    void close() {
        py::gil_scoped_release release;
        dds_.reset();
    }
    tarn_dds* live() {
        if (!dds_) {
            throw std::runtime_error("the publisher is closed");
        }
        return dds_.get();
    }

  private:
    struct Close {
        void operator()(tarn_dds* dds) const { tarn_dds_close(dds); }
    };
    std::unique_ptr<tarn_dds, Close> dds_;
};

tarn_dds_sensor* sensorOf(uintptr_t handle) { return reinterpret_cast<tarn_dds_sensor*>(handle); }

}  // namespace

PYBIND11_MODULE(_dds, module) {
    module.doc() = "Bindings of the DDS publisher (tarn/dds.h); use tarn.dds.";
    py::class_<Publisher>(module, "Publisher")
        .def(py::init<int, const std::string&, bool, int, bool, int>())
        .def("add_sensor", &Publisher::addSensor)
        .def("close", &Publisher::close);
    // grid: a C-contiguous array of 54,000 40-byte cells (tarn.POINT_DTYPE); info: the
    // FrameInfo fields in tarn_frame_info's order.
    module.def("publish_frame", [](Publisher& p, uintptr_t sensor, py::buffer grid, py::tuple info) {
        p.live();
        py::buffer_info b = grid.request();
        if (b.size * b.itemsize != ssize_t(TARN_CELLS * sizeof(tarn_point))) {
            throw std::invalid_argument("the grid must hold 150 x 360 points of 40 bytes");
        }
        tarn_frame_info fi{};
        fi.sequence = info[0].cast<uint64_t>();
        fi.datagrams = info[1].cast<uint32_t>();
        fi.cells_written = info[2].cast<uint32_t>();
        fi.complete = info[3].cast<bool>();
        fi.merged = info[4].cast<bool>();
        fi.pixel_type = info[5].cast<uint8_t>();
        fi.mixed_pixel_types = info[6].cast<bool>();
        fi.first_timestamp = info[7].cast<uint64_t>();
        fi.last_timestamp = info[8].cast<uint64_t>();
        fi.receive_monotonic_ns = info[9].cast<int64_t>();
        fi.receive_realtime_ns = info[10].cast<int64_t>();
        const auto* points = static_cast<const tarn_point*>(b.ptr);
        py::gil_scoped_release release;
        check(tarn_dds_publish_frame(sensorOf(sensor), points, &fi));
    });
    module.def("sensor_stats", [](Publisher& p, uintptr_t sensor) {
        p.live();
        tarn_dds_topic_stats s[TARN_DDS_TOPICS];
        check(tarn_dds_sensor_stats(sensorOf(sensor), s));
        py::dict out;
        for (int t = 0; t < TARN_DDS_TOPICS; ++t) {
            py::dict d;
            d["offered"] = s[t].offered;
            d["published"] = s[t].published;
            d["not_published"] = s[t].not_published;
            d["failed"] = s[t].failed;
            d["subscribers"] = s[t].subscribers;
            out[tarn_dds_topic_name(t)] = d;
        }
        return out;
    });
    module.def("type_hash", [](int kind) {
        const char* h = tarn_dds_type_hash(kind);
        return h ? std::string(h) : std::string();
    });
}
