#include "control/net_settings.h"

#include <cstring>
#include <string>

#include "api/log.h"
#include "control/channel.h"
#include "control/exchange.h"
#include "control/frame.h"

namespace tarn::control {

bool writeNetInfo(Channel& channel, const KESOIpInfo& info) {
    std::string reply;
    return exchange(channel, kCmdSetNetInfo, info.bytes, sizeof info.bytes, reply, kCtrlWaitMs,
                    kCtrlAttempts) == 0;
}

bool readNetInfo(Channel& channel, KESOIpInfo* info) {
    std::string reply;
    if (info == nullptr ||
        exchange(channel, kCmdGetNetInfo, nullptr, 0, reply, kCtrlWaitMs, kCtrlAttempts) != 0 ||
        reply.size() != sizeof info->bytes) {
        return false;
    }
    std::memcpy(info->bytes, reply.data(), sizeof info->bytes);
    return true;
}

bool linkForSettings(Channel& channel, const char* ip, int timeoutMs) {
    if (ip == nullptr) {
        tarn::log::line(nullptr, tarn::log::Destination::kStandardOutput,
                        "ctrl-server address is null");
        return false;
    }
    // Passed on as unsigned, -1 would become a wait of 49 days.
    if (timeoutMs < 0) {
        tarn::log::format(nullptr, tarn::log::Destination::kStandardOutput,
                          "ctrl-server time-out %d ms is negative", timeoutMs);
        return false;
    }
    return linkChannel(channel, ip, static_cast<uint32_t>(timeoutMs)) == KESO_OK;
}

bool linkForSettings(const char* ip, int timeoutMs) {
    return linkForSettings(defaultChannel(), ip, timeoutMs);
}

}  // namespace tarn::control

bool set_ipport(KESOIpInfo info) {
    return tarn::control::writeNetInfo(tarn::control::defaultChannel(), info);
}

bool get_ipport(KESOIpInfo* info) {
    return tarn::control::readNetInfo(tarn::control::defaultChannel(), info);
}
