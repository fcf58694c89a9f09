#include "control/net_settings.h"

#include <cstring>
#include <string>

#include "control/exchange.h"
#include "control/frame.h"

bool set_ipport(KESOIpInfo info) {
    std::string reply;
    return send_cmd_tcp(kCmdSetNetInfo, info.bytes, sizeof info.bytes, reply, kCtrlWaitMs,
                        kCtrlAttempts) == 0;
}

bool get_ipport(KESOIpInfo* info) {
    std::string reply;
    if (send_cmd_tcp(kCmdGetNetInfo, nullptr, 0, reply, kCtrlWaitMs, kCtrlAttempts) != 0 ||
        reply.size() != sizeof info->bytes) {
        return false;
    }
    std::memcpy(info->bytes, reply.data(), sizeof info->bytes);
    return true;
}
