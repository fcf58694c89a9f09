// The socket-less decoder. Python keeps the GIL through every call, which also gives the
// decoder the one-thread-at-a-time use it needs.
#include "grid.h"

namespace tarn::python {
namespace {

class Decoder {
  public:
    Decoder() { check(tarn_decoder_open(&handle_)); }
    ~Decoder() { close(); }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    // TARN_FRAME_READY, TARN_IMU_READY, TARN_DATAGRAM_TAKEN or a negative code.
    int push(const py::bytes& datagram, int64_t monotonicNs, int64_t realtimeNs) {
        char* bytes = nullptr;
        Py_ssize_t length = 0;
        PyBytes_AsStringAndSize(datagram.ptr(), &bytes, &length);
        return tarn_decoder_push(open(), bytes, static_cast<std::size_t>(length), monotonicNs,
                                 realtimeNs);
    }

    py::dict frame(const py::object& points) {
        tarn_frame_info info{};
        check(tarn_decoder_frame(open(), gridOf(points, true), &info));
        return infoDict(info);
    }

    py::tuple imu() {
        tarn_imu_sample sample{};
        check(tarn_decoder_imu(open(), &sample));
        return imuTuple(sample);
    }

    py::dict stats() {
        tarn_stream_stats stats{};
        check(tarn_decoder_get_stats(open(), &stats));
        return statsDict(stats);
    }

    void close() {
        if (handle_ != nullptr) {
            tarn_decoder_close(handle_);
            handle_ = nullptr;
        }
    }

  private:
    tarn_decoder* open() const {
        if (handle_ == nullptr) {
            throw LibraryError{TARN_ERR_INVALID_HANDLE};
        }
        return handle_;
    }

    tarn_decoder* handle_ = nullptr;
};

}  // namespace

void bindDecoder(py::module_& module) {
    py::class_<Decoder>(module, "Decoder")
        .def(py::init<>())
        .def("push", &Decoder::push, py::arg("datagram"), py::arg("receive_monotonic_ns"),
             py::arg("receive_realtime_ns"))
        .def("frame", &Decoder::frame, py::arg("points"))
        .def("imu", &Decoder::imu)
        .def("stats", &Decoder::stats)
        .def("close", &Decoder::close);
}

}  // namespace tarn::python
