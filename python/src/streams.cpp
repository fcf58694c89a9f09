// Handle streams, the KESO connection's default stream and the socket-less decoder. No library
// thread ever calls into Python: IMU samples wait in a queue here until Python takes them.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "KESOApi.h"
#include "grid.h"

namespace tarn::python {
namespace {

// The longest single wait on a stream. Python waits in slices of this length, so Ctrl-C and a
// close() from another thread take effect within one slice.
constexpr int kWaitSliceMs = 100;
// Samples kept for Python; at the sensor's IMU rates this is several seconds.
constexpr std::size_t kImuQueueCapacity = 4096;

int sliceOf(int timeoutMs) {
    return timeoutMs < 0 ? kWaitSliceMs : std::min(timeoutMs, kWaitSliceMs);
}

// IMU samples from a stream's assembler thread to Python, the oldest dropped when full.
class ImuQueue {
  public:
    // The stream's assembler thread.
    void push(const tarn_imu_sample& sample) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (samples_.size() == kImuQueueCapacity) {
                samples_.pop_front();
                ++dropped_;
            }
            samples_.push_back(sample);
        }
        ready_.notify_one();
    }

    // Any thread, without the GIL. TARN_OK with a sample, TARN_ERR_TIMEOUT, or
    // TARN_ERR_NOT_CONNECTED once closed and empty.
    int pop(int timeoutMs, tarn_imu_sample& sample) {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                        [this] { return !samples_.empty() || closed_; });
        if (samples_.empty()) {
            return closed_ ? TARN_ERR_NOT_CONNECTED : TARN_ERR_TIMEOUT;
        }
        sample = samples_.front();
        samples_.pop_front();
        return TARN_OK;
    }

    void close() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
        }
        ready_.notify_all();
    }

    uint64_t dropped() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return dropped_;
    }

  private:
    mutable std::mutex mutex_;  // guards everything below
    std::condition_variable ready_;
    std::deque<tarn_imu_sample> samples_;
    bool closed_ = false;
    uint64_t dropped_ = 0;
};

void onImu(const tarn_imu_sample* sample, void* user) {
    static_cast<ImuQueue*>(user)->push(*sample);
}

// One stream as Python sees it. Every call on the handle is counted, and close() waits for the
// counted calls (each at most one wait slice) before closing the handle, so no call can reach
// the library with a handle that was closed and perhaps reused by a newer stream.
class Stream {
  public:
    Stream(const std::string& device, int devicePort, const std::string& localAddress,
           int localPort, int alternatePort, int64_t receiveBufferBytes)
        : imu_(std::make_shared<ImuQueue>()) {
        tarn_stream_config config;
        tarn_stream_config_init(&config);
        config.device_address = textArgument(device);
        config.device_port = devicePort;
        config.local_address = textArgument(localAddress);
        config.local_port = localPort;
        config.alternate_port = alternatePort;
        config.receive_buffer_bytes = receiveBufferBytes;
        config.on_imu = onImu;
        config.imu_user = imu_.get();
        int code = TARN_OK;
        {
            py::gil_scoped_release release;
            code = tarn_stream_open(&config, &handle_);
        }
        check(code);
    }

    // The KESO connection's stream, read only: closing this object leaves the connection alone.
    explicit Stream(tarn_stream* defaultStream)
        : handle_(defaultStream), default_(true), imu_(std::make_shared<ImuQueue>()) {
        imu_->close();
    }

    // Reached only when no call is running, since each holds a reference; the GIL is kept, which
    // the library's threads never need.
    ~Stream() { closeHandle(); }

    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    bool isDefault() const { return default_; }

    // (code, info): TARN_OK with the frame written into points, TARN_ERR_TIMEOUT after at most
    // one slice, TARN_ERR_NOT_CONNECTED once the stream is closed or disconnected.
    py::tuple waitFrame(const py::object& points, int timeoutMs) {
        tarn_point* grid = gridOf(points, true);
        tarn_frame_info info{};
        int code = TARN_ERR_NOT_CONNECTED;
        {
            py::gil_scoped_release release;
            Call call(*this);
            if (call.admitted()) {
                code = tarn_stream_wait_frame(handle_, sliceOf(timeoutMs), grid, &info);
            }
        }
        return py::make_tuple(code, code == TARN_OK ? py::object(infoDict(info)) : py::none());
    }

    py::dict latest(const py::object& points) {
        tarn_point* grid = gridOf(points, true);
        tarn_frame_info info{};
        Call call(*this);
        check(call.admitted() ? tarn_stream_get_frame(handle_, grid, &info)
                              : TARN_ERR_INVALID_HANDLE);
        return infoDict(info);
    }

    py::dict stats() {
        tarn_stream_stats stats{};
        Call call(*this);
        check(call.admitted() ? tarn_stream_get_stats(handle_, &stats) : TARN_ERR_INVALID_HANDLE);
        py::dict dict = statsDict(stats);
        dict["imu_queue_dropped"] = imu_->dropped();
        return dict;
    }

    int localPort() {
        int port = 0;
        Call call(*this);
        check(call.admitted() ? tarn_stream_local_port(handle_, &port) : TARN_ERR_INVALID_HANDLE);
        return port;
    }

    // (code, sample tuple or None) as for waitFrame.
    py::tuple waitImu(int timeoutMs) {
        tarn_imu_sample sample{};
        int code = TARN_OK;
        {
            py::gil_scoped_release release;
            code = imu_->pop(sliceOf(timeoutMs), sample);
        }
        return py::make_tuple(code, code == TARN_OK ? py::object(imuTuple(sample)) : py::none());
    }

    void close() {
        py::gil_scoped_release release;
        closeHandle();
    }

  private:
    class Call {
      public:
        explicit Call(Stream& stream) : stream_(stream) {
            std::lock_guard<std::mutex> lock(stream_.mutex_);
            admitted_ = !stream_.closing_;
            if (admitted_) {
                ++stream_.calls_;
            }
        }
        ~Call() {
            if (!admitted_) {
                return;
            }
            {
                std::lock_guard<std::mutex> lock(stream_.mutex_);
                --stream_.calls_;
            }
            stream_.idle_.notify_all();
        }
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;
        bool admitted() const { return admitted_; }

      private:
        Stream& stream_;
        bool admitted_ = false;
    };

    void closeHandle() {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (closing_) {
                return;
            }
            closing_ = true;
            idle_.wait(lock, [this] { return calls_ == 0; });
        }
        if (!default_) {
            tarn_stream_close(handle_);
        }
        imu_->close();
    }

    tarn_stream* handle_ = nullptr;
    const bool default_ = false;
    const std::shared_ptr<ImuQueue> imu_;  // outlives the handle's threads: closed after them
    std::mutex mutex_;                     // guards calls_ and closing_
    std::condition_variable idle_;
    int calls_ = 0;
    bool closing_ = false;
};

}  // namespace

void bindStreams(py::module_& module) {
    module.attr("WAIT_SLICE_MS") = kWaitSliceMs;
    py::class_<Stream, std::shared_ptr<Stream>>(module, "Stream")
        .def(py::init<const std::string&, int, const std::string&, int, int, int64_t>(),
             py::arg("device"), py::arg("device_port"), py::arg("local_address"),
             py::arg("local_port"), py::arg("alternate_port"), py::arg("receive_buffer_bytes"))
        .def_property_readonly("is_default", &Stream::isDefault)
        .def("wait_frame", &Stream::waitFrame, py::arg("points"), py::arg("timeout_ms"))
        .def("latest", &Stream::latest, py::arg("points"))
        .def("stats", &Stream::stats)
        .def("local_port", &Stream::localPort)
        .def("wait_imu", &Stream::waitImu, py::arg("timeout_ms"))
        .def("close", &Stream::close);
    module.def("default_stream", [] { return std::make_shared<Stream>(tarn_stream_default()); });
    module.def(
        "connect_device",
        [](int localPort, const std::string& device, int devicePort) {
            int code = TARN_OK;
            {
                py::gil_scoped_release release;
                code = KESOConnectDevice(localPort, textArgument(device), devicePort);
            }
            check(code);
        },
        py::arg("local_port"), py::arg("device"), py::arg("device_port"));
    module.def(
        "disconnect_device", [] { KESODisconnectDevice(); },
        py::call_guard<py::gil_scoped_release>());
}

}  // namespace tarn::python
