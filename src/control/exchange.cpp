#include "control/exchange.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "control/control_state.h"
#include "control/frame.h"
#include "control/link.h"
#include "control/reply.h"
#include "control/socket_io.h"

using tarn::control::Reply;

namespace {

// Sends the whole request in one call. A sensor that stops reading cannot hold the call up
// beyond wait_ms, and a closed connection fails the send instead of raising SIGPIPE.
bool sendWhole(int fd, const std::vector<unsigned char>& request, uint32_t wait_ms) {
    if (tarn::control::waitFor(fd, POLLOUT, tarn::control::deadlineAfter(wait_ms)) !=
        tarn::control::WaitResult::ready) {
        return false;
    }
    const ssize_t sent = send(fd, request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    return sent == static_cast<ssize_t>(request.size());
}

// Reads one whole reply frame (header, then the payload it announces) within wait_ms.
std::optional<Reply> receiveReply(int fd, uint16_t command, uint32_t wait_ms) {
    const auto deadline = tarn::control::deadlineAfter(wait_ms);
    const std::size_t bufferSize = tarn::control::replyBufferSize();
    // No reply frame can exceed the largest frame, whatever size the sensor negotiated.
    std::vector<unsigned char> buffer(std::min(bufferSize, kCtrlMaxFrameLen));
    if (!tarn::control::readExactly(fd, buffer.data(), kCtrlHeadLen, deadline)) {
        return std::nullopt;
    }
    const std::optional<uint16_t> dataLen =
        tarn::control::checkReplyHead(buffer.data(), command, bufferSize);
    if (!dataLen ||
        !tarn::control::readExactly(fd, buffer.data() + kCtrlHeadLen, *dataLen, deadline)) {
        return std::nullopt;
    }
    return tarn::control::decodeReply(buffer.data(), kCtrlHeadLen + *dataLen, command, bufferSize);
}

}  // namespace

namespace tarn::control {

std::size_t replyBufferSize() {
    return std::max<std::size_t>(g_max_pkg_len, kInitialMaxPkgLen);
}

}  // namespace tarn::control

uint32_t send_cmd_tcp(uint16_t command, const unsigned char* data, uint16_t data_len,
                      std::string& reply, uint32_t wait_ms, uint16_t attempts) {
    if (!g_link_net) {
        return kCtrlNotLinked;
    }
    const std::vector<unsigned char> request =
        tarn::control::frameBytes(pack_ctrl_prt_data_pkg(command, data_len, data));

    for (uint16_t attempt = 0; attempt < attempts; ++attempt) {
        // Leftovers of an earlier invalid or late reply must not pass for this one.
        tarn::control::discardPending(sock_ctrl);
        if (!sendWhole(sock_ctrl, request, wait_ms)) {
            tarn::control::pauseMilliseconds(kCtrlPauseMs);
            continue;
        }
        std::optional<Reply> valid = receiveReply(sock_ctrl, command, wait_ms);
        if (!valid) {
            continue;
        }
        if (!valid->data.empty()) {
            reply = std::move(valid->data);
        }
        return valid->status;
    }
    return kCtrlNoValidReply;
}
