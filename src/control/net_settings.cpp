#include "control/net_settings.h"

#include <cstring>
#include <string>

#include "api/log.h"
#include "control/exchange.h"
#include "control/frame.h"

bool set_ipport(KESOIpInfo info) {
    std::string reply;
    return send_cmd_tcp(kCmdSetNetInfo, info.bytes, sizeof info.bytes, reply, kCtrlWaitMs,
                        kCtrlAttempts) == 0;
}

bool get_ipport(KESOIpInfo* info) {
    std::string reply;
    if (info == nullptr ||
        send_cmd_tcp(kCmdGetNetInfo, nullptr, 0, reply, kCtrlWaitMs, kCtrlAttempts) != 0 ||
        reply.size() != sizeof info->bytes) {
        return false;
    }
    std::memcpy(info->bytes, reply.data(), sizeof info->bytes);
    return true;
}

namespace tarn::control {

bool linkForSettings(const char* ip, int timeoutMs) {
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
    return KESOLinkDeviceNetControl(ip, static_cast<uint32_t>(timeoutMs)) == KESO_OK;
}

}  // namespace tarn::control
