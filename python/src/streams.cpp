// Handle streams and the KESO connection's default stream. No library thread ever calls into
// Python: frames and IMU samples wait in queues here until Python takes them.
#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "KESOApi.h"
#include "grid.h"
#include "handover.h"

namespace tarn::python {
namespace {

// The longest single wait on a stream. Python waits in slices of this length, so Ctrl-C and a
// close() from another thread take effect within one slice.
constexpr int kWaitSliceMs = 100;
// Frames kept for Python (2.16 MB each): a frame rate's worth of hiccups (a garbage collection,
// another thread holding the GIL) loses nothing.
constexpr std::size_t kFrameQueueCapacity = 8;
// Samples kept for Python; at the sensor's IMU rates this is several seconds.
constexpr std::size_t kImuQueueCapacity = 4096;

int sliceOf(int timeoutMs) {
    return timeoutMs < 0 ? kWaitSliceMs : std::min(timeoutMs, kWaitSliceMs);
}

// A decoded frame on its way to Python; its cells become the frame's NumPy array uncopied.
struct QueuedFrame {
    std::unique_ptr<tarn_point[]> cells;
    tarn_frame_info info{};
};

using FrameQueue = Handover<QueuedFrame>;
using ImuQueue = Handover<tarn_imu_sample>;

// The stream's decoder thread: the grid is valid only until this returns, so it is copied here,
// once, into the buffer the frame's array will own.
void onFrame(const tarn_point* grid, const tarn_frame_info* info, void* user) {
    auto* queue = static_cast<FrameQueue*>(user);
    QueuedFrame frame;
    frame.cells.reset(new (std::nothrow) tarn_point[TARN_CELLS]);
    if (frame.cells == nullptr) {
        queue->countDropped();
        return;
    }
    std::copy(grid, grid + TARN_CELLS, frame.cells.get());
    frame.info = *info;
    queue->push(std::move(frame));
}

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
        : frames_(std::make_shared<FrameQueue>(kFrameQueueCapacity)),
          imu_(std::make_shared<ImuQueue>(kImuQueueCapacity)) {
        tarn_stream_config config;
        tarn_stream_config_init(&config);
        config.device_address = textArgument(device);
        config.device_port = devicePort;
        config.local_address = textArgument(localAddress);
        config.local_port = localPort;
        config.alternate_port = alternatePort;
        config.receive_buffer_bytes = receiveBufferBytes;
        config.on_frame = onFrame;
        config.frame_user = frames_.get();
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
    // Its frame and IMU callbacks belong to the application, so it has no queues of its own.
    explicit Stream(tarn_stream* defaultStream)
        : handle_(defaultStream),
          default_(true),
          frames_(std::make_shared<FrameQueue>(1)),
          imu_(std::make_shared<ImuQueue>(1)) {
        frames_->close();
        imu_->close();
    }

    // Reached only when no call is running, since each holds a reference; the GIL is kept, which
    // the library's threads never need.
    ~Stream() { closeHandle(); }

    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    bool isDefault() const { return default_; }

    // (code, points, info): TARN_OK with the next frame, TARN_ERR_TIMEOUT after at most one
    // slice, TARN_ERR_NOT_CONNECTED once the stream is closed (or the KESO connection is
    // disconnected). A handle stream gives every frame in order, from its queue; the default
    // stream gives the newest frame not given before, as tarn_stream_wait_frame does.
    py::tuple waitFrame(int timeoutMs) {
        if (default_) {
            return waitPublishedFrame(timeoutMs);
        }
        QueuedFrame frame;
        int code = TARN_OK;
        {
            py::gil_scoped_release release;
            code = frames_->pop(sliceOf(timeoutMs), frame);
        }
        if (code != TARN_OK) {
            return py::make_tuple(code, py::none(), py::none());
        }
        return py::make_tuple(code, adoptGrid(std::move(frame.cells)), infoDict(frame.info));
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
        dict["frame_queue_dropped"] = frames_->dropped();
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
    py::tuple waitPublishedFrame(int timeoutMs) {
        py::array points = newGrid();
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
        if (code != TARN_OK) {
            return py::make_tuple(code, py::none(), py::none());
        }
        return py::make_tuple(code, points, infoDict(info));
    }

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
        frames_->close();
        imu_->close();
    }

    tarn_stream* handle_ = nullptr;
    const bool default_ = false;
    // Both outlive the handle's threads, which push into them, and are closed after them.
    const std::shared_ptr<FrameQueue> frames_;
    const std::shared_ptr<ImuQueue> imu_;
    std::mutex mutex_;  // guards calls_ and closing_
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
        .def("wait_frame", &Stream::waitFrame, py::arg("timeout_ms"))
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
