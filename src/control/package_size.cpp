#include "control/package_size.h"

#include <string>

#include "control/channel.h"
#include "control/exchange.h"
#include "control/frame.h"

namespace {

constexpr std::size_t kPkgSizeLen = 4;

}  // namespace

namespace tarn::control {

uint32_t negotiatePkgSize(Channel& channel) {
    std::string reply;
    if (exchange(channel, kCmdGetMaxPkgSize, nullptr, 0, reply, kCtrlWaitMs, kCtrlAttempts) != 0 ||
        reply.size() < kPkgSizeLen) {
        return 0;
    }
    const auto reported =
        static_cast<int32_t>(loadLe32(reinterpret_cast<const unsigned char*>(reply.data())));
    if (reported >= static_cast<int32_t>(kWantedMaxPkgSize)) {
        return static_cast<uint32_t>(reported);
    }
    if (requestPkgSize(channel, kWantedMaxPkgSize)) {
        return kWantedMaxPkgSize;
    }
    return reported < 0 ? 0 : static_cast<uint32_t>(reported);
}

bool requestPkgSize(Channel& channel, uint32_t size) {
    const unsigned char payload[kPkgSizeLen] = {
        static_cast<unsigned char>(size), static_cast<unsigned char>(size >> 8),
        static_cast<unsigned char>(size >> 16), static_cast<unsigned char>(size >> 24)};
    std::string reply;
    return exchange(channel, kCmdSetMaxPkgSize, payload, kPkgSizeLen, reply, kCtrlWaitMs,
                    kCtrlAttempts) == 0;
}

}  // namespace tarn::control

uint32_t get_max_pkg_size() {
    return tarn::control::negotiatePkgSize(tarn::control::defaultChannel());
}

bool set_max_pkg_size(uint32_t size) {
    return tarn::control::requestPkgSize(tarn::control::defaultChannel(), size);
}
