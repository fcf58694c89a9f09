// The control channel: the sensor's network settings, the address check and CRC-8.
#include <cstdint>
#include <limits>
#include <mutex>

#include "KESOApi.h"
#include "bindings.h"

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
}

}  // namespace tarn::python
