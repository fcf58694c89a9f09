// Capture files for tarn.read_pcap, read with the reader of tarn replay and tarn export, so that
// a recording decodes here exactly as the command-line tool sees it.
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "bindings.h"
#include "tools/tarn/capture/pcap_reader.h"

namespace tarn::python {
namespace {

std::string dotted(const capture::Ipv4& address) {
    return std::to_string(address[0]) + "." + std::to_string(address[1]) + "." +
           std::to_string(address[2]) + "." + std::to_string(address[3]);
}

std::unique_ptr<capture::PcapReader> openCapture(const std::string& path) {
    try {
        return std::make_unique<capture::PcapReader>(path);
    } catch (const std::runtime_error& error) {
        PyErr_SetString(PyExc_OSError, error.what());
        throw py::error_already_set();
    }
}

// Iterates (payload, capture time in ns, source address, source port) of every UDP datagram.
class PcapFile {
  public:
    explicit PcapFile(const std::string& path) : reader_(openCapture(path)) {}

    py::tuple next() {
        capture::UdpPacket packet;
        bool more = false;
        std::string failure;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(mutex_);
            try {
                more = reader_->next(packet);
            } catch (const std::runtime_error& error) {
                failure = error.what();
            }
        }
        if (!failure.empty()) {
            PyErr_SetString(PyExc_OSError, failure.c_str());
            throw py::error_already_set();
        }
        if (!more) {
            throw py::stop_iteration();
        }
        const py::bytes payload(reinterpret_cast<const char*>(packet.payload.data()),
                                packet.payload.size());
        return py::make_tuple(payload, packet.timeNs, dotted(packet.route.source),
                              packet.route.sourcePort);
    }

  private:
    std::mutex mutex_;  // one reader at a time while the GIL is released
    const std::unique_ptr<capture::PcapReader> reader_;
};

}  // namespace

void bindPcap(py::module_& module) {
    py::class_<PcapFile>(module, "PcapFile")
        .def(py::init<const std::string&>(), py::arg("path"))
        .def("__iter__", [](PcapFile& file) -> PcapFile& { return file; })
        .def("__next__", &PcapFile::next);
}

}  // namespace tarn::python
