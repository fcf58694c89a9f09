// Capture files for tarn.read_pcap, read with the library's recording reader (tarn/recording.h),
// so that a recording decodes here exactly as the command-line tool and the frame source see it.
#include <memory>
#include <mutex>
#include <string>

#include "bindings.h"
#include "tarn/recording.h"

namespace tarn::python {
namespace {

constexpr std::size_t kErrorBytes = 512;

std::string dotted(uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

[[noreturn]] void raiseOsError(const std::string& text) {
    PyErr_SetString(PyExc_OSError, text.c_str());
    throw py::error_already_set();
}

// Iterates (payload, capture time in ns, source address, source port) of every measurement
// datagram. A file cut inside a record ends at the cut with one RuntimeWarning.
class PcapFile {
  public:
    explicit PcapFile(const std::string& path) {
        char error[kErrorBytes] = {};
        const int result = tarn_recording_open(textArgument(path), &reader_, error, sizeof error);
        if (result != TARN_OK) {
            raiseOsError(error[0] != '\0' ? error : tarn_recording_strerror(result));
        }
    }
    ~PcapFile() { tarn_recording_close(reader_); }
    PcapFile(const PcapFile&) = delete;
    PcapFile& operator=(const PcapFile&) = delete;

    py::tuple next() {
        tarn_recording_datagram datagram{};
        std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
        int result = TARN_OK;
        {
            py::gil_scoped_release release;
            lock.lock();
            result = tarn_recording_next(reader_, &datagram);
        }
        if (result == TARN_RECORDING_END) {
            tarn_recording_stats stats{};
            tarn_recording_get_stats(reader_, &stats);
            if (stats.cut && !warned_) {
                warned_ = true;
                if (PyErr_WarnEx(PyExc_RuntimeWarning, tarn_recording_error(reader_), 1) != 0) {
                    throw py::error_already_set();
                }
            }
            throw py::stop_iteration();
        }
        if (result != TARN_OK) {
            raiseOsError(result == TARN_ERR_RECORDING_DAMAGED ? tarn_recording_error(reader_)
                                                              : tarn_recording_strerror(result));
        }
        const py::bytes payload(reinterpret_cast<const char*>(datagram.payload), datagram.length);
        return py::make_tuple(payload, datagram.capture_realtime_ns,
                              dotted(datagram.source_address), datagram.source_port);
    }

  private:
    std::mutex mutex_;  // one reader at a time while the GIL is released
    tarn_recording_reader* reader_ = nullptr;
    bool warned_ = false;  // with the GIL held
};

}  // namespace

void bindPcap(py::module_& module) {
    py::class_<PcapFile>(module, "PcapFile")
        .def(py::init<const std::string&>(), py::arg("path"))
        .def("__iter__", [](PcapFile& file) -> PcapFile& { return file; })
        .def("__next__", &PcapFile::next);
}

}  // namespace tarn::python
