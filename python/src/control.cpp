// The control channel: the sensor's network settings, the address check and CRC-8.
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <utility>

#include "KESOApi.h"
#include "bindings.h"
#include "tarn/control.h"

namespace tarn::python {
namespace {

constexpr std::size_t kSettingsBytes = sizeof(KESOIpInfo);
constexpr int kLargestByte = std::numeric_limits<uint8_t>::max();

// The library's control calls share unlocked state; Python threads take turns here, with the
// GIL released.
std::mutex controlMutex;

py::bytes getNetInfo(const std::string& ip, int timeoutMs) {
    const char* address = textArgument(ip);
    KESOIpInfo info{};
    int code = KESO_OK;
    {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(controlMutex);
        code = KESOGetNetInfo(address, timeoutMs, &info);
    }
    check(code);
    return py::bytes(reinterpret_cast<const char*>(info.bytes), kSettingsBytes);
}

void setNetInfo(const std::string& ip, int timeoutMs, const py::bytes& settings) {
    const char* address = textArgument(ip);
    const std::string record = settings;
    if (record.size() != kSettingsBytes) {
        throw py::value_error("the network settings are 44 bytes");
    }
    KESOIpInfo info{};
    std::copy(record.begin(), record.end(), info.bytes);
    int code = KESO_OK;
    {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(controlMutex);
        code = KESOSetNetInfo(address, timeoutMs, info);
    }
    check(code);
}

// One sensor's control handle. A call holds its own reference to the handle while the GIL is
// released, so close() from another thread meanwhile frees it only once that call has ended.
class Control {
  public:
    Control(const std::string& ip, int timeoutMs) {
        const char* address = textArgument(ip);
        tarn_control* opened = nullptr;
        check(tarn_control_open(address, timeoutMs, &opened));
        handle_.reset(opened, &tarn_control_close);
    }

    py::bytes getNetInfo() {
        const std::shared_ptr<tarn_control> handle = open();
        uint8_t record[kSettingsBytes] = {};
        int code = TARN_OK;
        {
            py::gil_scoped_release release;
            code = tarn_control_get_net_info(handle.get(), record);
        }
        check(code);
        return py::bytes(reinterpret_cast<const char*>(record), kSettingsBytes);
    }

    void setNetInfo(const py::bytes& settings) {
        const std::string record = settings;
        if (record.size() != kSettingsBytes) {
            throw py::value_error("the network settings are 44 bytes");
        }
        const std::shared_ptr<tarn_control> handle = open();
        int code = TARN_OK;
        {
            py::gil_scoped_release release;
            code = tarn_control_set_net_info(handle.get(),
                                             reinterpret_cast<const uint8_t*>(record.data()));
        }
        check(code);
    }

    std::string address() const {
        if (!handle_) {
            throw py::value_error("the control handle is closed");
        }
        return tarn_control_address(handle_.get());
    }

    void close() { handle_.reset(); }
    bool closed() const { return !handle_; }

  private:
    std::shared_ptr<tarn_control> open() const {
        if (!handle_) {
            throw py::value_error("the control handle is closed");
        }
        return handle_;
    }

    std::shared_ptr<tarn_control> handle_;
};

int crc8(const py::bytes& data, int init) {
    if (init < 0 || init > kLargestByte) {
        throw py::value_error("init is a byte, 0 to 255");
    }
    char* bytes = nullptr;
    Py_ssize_t length = 0;
    PyBytes_AsStringAndSize(data.ptr(), &bytes, &length);
    if (static_cast<uint64_t>(length) > std::numeric_limits<uint32_t>::max()) {
        throw py::value_error("CRC-8 covers at most 4 GiB at once");
    }
    return KESOCrc8(reinterpret_cast<const unsigned char*>(bytes), static_cast<uint32_t>(length),
                    static_cast<unsigned char>(init));
}

}  // namespace

void bindControl(py::module_& module) {
    module.def("get_net_info", &getNetInfo, py::arg("ip"), py::arg("timeout_ms"));
    module.def("set_net_info", &setNetInfo, py::arg("ip"), py::arg("timeout_ms"), py::arg("info"));
    module.def("check_ip_format", &KESOCheckIpFormat, py::arg("text"));
    module.def("crc8", &crc8, py::arg("data"), py::arg("init"));
    py::class_<Control>(module, "Control")
        .def(py::init<const std::string&, int>(), py::arg("ip"), py::arg("timeout_ms"))
        .def("get_net_info", &Control::getNetInfo)
        .def("set_net_info", &Control::setNetInfo, py::arg("info"))
        .def_property_readonly("address", &Control::address)
        .def_property_readonly("closed", &Control::closed)
        .def("close", &Control::close);
}

}  // namespace tarn::python
