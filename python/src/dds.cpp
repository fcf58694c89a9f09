// The DDS publisher of tarn/dds.h in tarn._tarn, for tarn.dds.Publisher: DdsPublisher, the
// DdsSensor handles it gives, and dds_type_hash.
#include <pybind11/pybind11.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "bindings.h"
#include "grid.h"
#include "tarn/dds.h"

namespace tarn::python {
namespace {

void checkDds(int rc) {
    if (rc != TARN_OK) {
        throw std::runtime_error(std::string(tarn_dds_strerror(rc)) + " (" + std::to_string(rc) +
                                 ")");
    }
}

// The publisher, shared by the Python object and the sensors it gave, so a sensor outliving a
// closed publisher raises instead of reaching freed memory.
class PublisherState {
  public:
    explicit PublisherState(tarn_dds* dds) : dds_(dds) {}
    ~PublisherState() { close(); }
    void close() {
        tarn_dds_close(dds_);
        dds_ = nullptr;
    }
    tarn_dds* live() const {
        if (dds_ == nullptr) {
            throw std::runtime_error("the DDS publisher is closed");
        }
        return dds_;
    }

  private:
    tarn_dds* dds_;
};

class DdsSensor {
  public:
    static constexpr size_t kInfoFields = 12;  // tarn.FrameInfo's, in tarn_frame_info's order

    DdsSensor(std::shared_ptr<PublisherState> publisher, tarn_dds_sensor* sensor)
        : publisher_(std::move(publisher)), sensor_(sensor) {}

    // grid: a grid array (tarn.POINT_DTYPE, 150 x 360, as gridOf takes it); info: the FrameInfo
    // fields.
    void publishFrame(const py::object& grid, const py::tuple& info) {
        publisher_->live();
        const tarn_point* points = gridOf(grid, false);
        if (info.size() != kInfoFields) {
            throw std::invalid_argument("info must hold the fields of tarn.FrameInfo");
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
        fi.redelivered = info[11].cast<bool>();
        py::gil_scoped_release release;
        checkDds(tarn_dds_publish_frame(sensor_, points, &fi));
    }

    py::dict stats() const {
        publisher_->live();
        tarn_dds_topic_stats s[TARN_DDS_TOPICS];
        checkDds(tarn_dds_sensor_stats(sensor_, s));
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
    }

  private:
    std::shared_ptr<PublisherState> publisher_;
    tarn_dds_sensor* sensor_;  // freed with the publisher, so used only while it is live
};

class DdsPublisher {
  public:
    DdsPublisher(int domain, const std::string& ddsConfig, bool reliable, int depth,
                 bool reliableDiagnostics, int diagnosticsPeriodMs) {
        tarn_dds_config config;
        tarn_dds_config_init(&config);
        config.domain_id = domain;
        config.cyclonedds_config = textArgument(ddsConfig);
        config.data_qos = {reliable ? 1 : 0, depth};
        config.diagnostics_qos.reliable = reliableDiagnostics ? 1 : 0;
        config.diagnostics_period_ms = diagnosticsPeriodMs;
        tarn_dds* dds = nullptr;
        checkDds(tarn_dds_open(&config, &dds));
        state_ = std::make_shared<PublisherState>(dds);
    }
    DdsSensor addSensor(const std::string& ns, const std::string& frameId) {
        tarn_dds_sensor_config config;
        tarn_dds_sensor_config_init(&config);
        config.namespace_name = textArgument(ns);
        config.messages.frame_id = textArgument(frameId);
        tarn_dds_sensor* sensor = nullptr;
        checkDds(tarn_dds_add_sensor(state_->live(), &config, &sensor));
        return DdsSensor(state_, sensor);
    }
    void close() {
        py::gil_scoped_release release;
        state_->close();
    }

  private:
    std::shared_ptr<PublisherState> state_;
};

}  // namespace

void bindDds(py::module_& module) {
    py::class_<DdsSensor>(module, "DdsSensor")
        .def("publish_frame", &DdsSensor::publishFrame)
        .def("stats", &DdsSensor::stats);
    py::class_<DdsPublisher>(module, "DdsPublisher")
        .def(py::init<int, const std::string&, bool, int, bool, int>())
        .def("add_sensor", &DdsPublisher::addSensor)
        .def("close", &DdsPublisher::close);
    module.def("dds_type_hash", [](int kind) {
        const char* h = tarn_dds_type_hash(kind);
        return h != nullptr ? std::string(h) : std::string();
    });
}

}  // namespace tarn::python
