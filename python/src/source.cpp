// The frame source (tarn/source.h) for tarn.open: a recording or a live stream, read the same way.
// Calls release the GIL while they wait; close() waits for a call in progress to return.
#include <memory>
#include <mutex>
#include <string>

#include "grid.h"
#include "tarn/source.h"

namespace tarn::python {
namespace {

constexpr std::size_t kErrorBytes = 512;
constexpr std::size_t kImuBatch = 256;

class Source {
  public:
    static std::unique_ptr<Source> openRecording(const std::string& path, const std::string& device,
                                                 int devicePort) {
        auto source = std::make_unique<Source>();
        char error[kErrorBytes] = {};
        const char* cPath = textArgument(path);
        const char* cDevice = textArgument(device);
        int result = TARN_OK;
        {
            py::gil_scoped_release release;
            result = tarn_source_open_recording(cPath, cDevice, devicePort, &source->handle_, error,
                                                sizeof error);
        }
        if (result == TARN_ERR_RECORDING_OPEN) {
            PyErr_SetString(PyExc_OSError, error);
            throw py::error_already_set();
        }
        check(result);
        return source;
    }

    static std::unique_ptr<Source> openStream(const std::string& device, int devicePort,
                                              const std::string& localAddress, int localPort,
                                              int alternatePort, int64_t receiveBufferBytes,
                                              std::size_t queueFrames) {
        auto source = std::make_unique<Source>();
        tarn_stream_config config;
        tarn_stream_config_init(&config);
        config.device_address = textArgument(device);
        config.device_port = devicePort;
        config.local_address = textArgument(localAddress);
        config.local_port = localPort;
        config.alternate_port = alternatePort;
        config.receive_buffer_bytes = receiveBufferBytes;
        int result = TARN_OK;
        {
            py::gil_scoped_release release;
            result = tarn_source_open_stream(&config, queueFrames, &source->handle_);
        }
        check(result);
        return source;
    }

    Source() = default;
    ~Source() { close(); }
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;

    // (code, grid or None, info or None); a live source waits at most timeoutMs.
    py::tuple next(int timeoutMs) {
        std::unique_ptr<tarn_point[]> cells(new tarn_point[TARN_CELLS]);
        tarn_frame_info info{};
        int code = TARN_ERR_INVALID_HANDLE;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(mutex_);
            if (handle_ != nullptr) {
                code = tarn_source_next(handle_, timeoutMs, cells.get(), &info);
            }
        }
        if (code != TARN_OK) {
            return py::make_tuple(code, py::none(), py::none());
        }
        return py::make_tuple(code, adoptGrid(std::move(cells)), infoDict(info));
    }

    // Where a cut recording ends, or why it could not be read further; "".
    std::string error() {
        std::lock_guard<std::mutex> lock(mutex_);
        return handle_ == nullptr ? "" : tarn_source_error(handle_);
    }

    py::list imu() {
        py::list samples;
        tarn_imu_sample batch[kImuBatch];
        std::size_t count = 0;
        do {
            std::lock_guard<std::mutex> lock(mutex_);
            check(tarn_source_imu(handle_, batch, kImuBatch, &count));
            for (std::size_t i = 0; i < count; ++i) {
                samples.append(imuTuple(batch[i]));
            }
        } while (count == kImuBatch);
        return samples;
    }

    py::dict stats() {
        tarn_source_stats stats{};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            check(tarn_source_get_stats(handle_, &stats));
        }
        py::dict counts = statsDict(stats.stream);
        counts["frames_returned"] = stats.frames_returned;
        counts["frames_dropped"] = stats.frames_dropped;
        counts["imu_returned"] = stats.imu_returned;
        counts["imu_dropped"] = stats.imu_dropped;
        const tarn_recording_stats& r = stats.recording;
        py::dict recording;
        recording["records"] = r.records;
        recording["measurement"] = r.measurement;
        recording["other_udp"] = r.other_udp;
        recording["not_ipv4"] = r.not_ipv4;
        recording["not_udp"] = r.not_udp;
        recording["fragments"] = r.fragments;
        recording["snapped"] = r.snapped;
        recording["malformed"] = r.malformed;
        recording["cut"] = r.cut != 0;
        counts["recording"] = recording;
        return counts;
    }

    int localPort() {
        std::lock_guard<std::mutex> lock(mutex_);
        int port = 0;
        tarn_stream* stream = handle_ == nullptr ? nullptr : tarn_source_stream(handle_);
        if (stream != nullptr) {
            check(tarn_stream_local_port(stream, &port));
        }
        return port;
    }

    void close() {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(mutex_);
        tarn_source_close(handle_);
        handle_ = nullptr;
    }

  private:
    std::mutex mutex_;  // guards handle_; held through every call on it
    tarn_source* handle_ = nullptr;
};

}  // namespace

void bindSource(py::module_& module) {
    module.attr("RECORDING_END") = static_cast<int>(TARN_RECORDING_END);
    module.attr("SOURCE_DEFAULT_QUEUE") = TARN_SOURCE_DEFAULT_QUEUE;
    py::class_<Source>(module, "Source")
        .def_static("open_recording", &Source::openRecording, py::arg("path"), py::arg("device"),
                    py::arg("device_port"))
        .def_static("open_stream", &Source::openStream, py::arg("device"), py::arg("device_port"),
                    py::arg("local_address"), py::arg("local_port"), py::arg("alternate_port"),
                    py::arg("receive_buffer_bytes"), py::arg("queue_frames"))
        .def("next", &Source::next, py::arg("timeout_ms"))
        .def("error", &Source::error)
        .def("imu", &Source::imu)
        .def("stats", &Source::stats)
        .def("local_port", &Source::localPort)
        .def("close", &Source::close);
}

}  // namespace tarn::python
