#include "control/package_size.h"

#include <string>

#include "control/exchange.h"
#include "control/frame.h"

namespace {

constexpr std::size_t kPkgSizeLen = 4;

}  // namespace

uint32_t get_max_pkg_size() {
    std::string reply;
    if (send_cmd_tcp(kCmdGetMaxPkgSize, nullptr, 0, reply, kCtrlWaitMs, kCtrlAttempts) != 0 ||
        reply.size() < kPkgSizeLen) {
        return 0;
    }
    const auto reported = static_cast<int32_t>(
        tarn::control::loadLe32(reinterpret_cast<const unsigned char*>(reply.data())));
    if (reported >= static_cast<int32_t>(kWantedMaxPkgSize)) {
        return static_cast<uint32_t>(reported);
    }
    if (set_max_pkg_size(kWantedMaxPkgSize)) {
        return kWantedMaxPkgSize;
    }
    return reported < 0 ? 0 : static_cast<uint32_t>(reported);
}

bool set_max_pkg_size(uint32_t size) {
    const unsigned char payload[kPkgSizeLen] = {
        static_cast<unsigned char>(size), static_cast<unsigned char>(size >> 8),
        static_cast<unsigned char>(size >> 16), static_cast<unsigned char>(size >> 24)};
    std::string reply;
    return send_cmd_tcp(kCmdSetMaxPkgSize, payload, kPkgSizeLen, reply, kCtrlWaitMs,
                        kCtrlAttempts) == 0;
}
