#include "control/exchange.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "control/channel.h"
#include "control/frame.h"
#include "control/link.h"
#include "control/reply.h"
#include "control/socket_io.h"

using tarn::control::Channel;
using tarn::control::Clock;
using tarn::control::Reply;
using tarn::control::Transport;

namespace {

// Reads one whole reply frame (header, then the payload it announces) before the deadline.
std::optional<Reply> receiveReply(Transport& transport, std::size_t bufferSize, uint16_t command,
                                  Clock::time_point deadline) {
    // No reply frame can exceed the largest frame, whatever size the sensor negotiated.
    std::vector<unsigned char> buffer(std::min(bufferSize, kCtrlMaxFrameLen));
    if (!transport.readExactly(buffer.data(), kCtrlHeadLen, deadline)) {
        return std::nullopt;
    }
    const std::optional<uint16_t> dataLen =
        tarn::control::checkReplyHead(buffer.data(), command, bufferSize);
    if (!dataLen || !transport.readExactly(buffer.data() + kCtrlHeadLen, *dataLen, deadline)) {
        return std::nullopt;
    }
    return tarn::control::decodeReply(buffer.data(), kCtrlHeadLen + *dataLen, command, bufferSize);
}

}  // namespace

namespace tarn::control {

std::size_t replyBufferSize(const Channel& channel) {
    return std::max<std::size_t>(channel.maxPkgLen, kInitialMaxPkgLen);
}

uint32_t exchange(Channel& channel, uint16_t command, const unsigned char* data, uint16_t data_len,
                  std::string& reply, uint32_t wait_ms, uint16_t attempts) {
    if (!channel.linked) {
        return kCtrlNotLinked;
    }
    // A payload that is not there is not sent: the request would carry bytes read from nowhere.
    if (data == nullptr && data_len > 0) {
        return kCtrlNoValidReply;
    }
    const std::vector<unsigned char> request =
        frameBytes(pack_ctrl_prt_data_pkg(command, data_len, data));
    Transport& transport = channel.transport();
    const std::size_t bufferSize = replyBufferSize(channel);

    for (uint16_t attempt = 0; attempt < attempts; ++attempt) {
        // One wait covers the send and the whole reply, so an attempt never outlasts wait_ms
        // (plus the pause after a failed send), however the peer trickles its bytes.
        const auto deadline = deadlineAfter(wait_ms);
        // Leftovers of an earlier invalid or late reply must not pass for this one.
        transport.discardPending();
        if (!transport.sendAll(request.data(), request.size(), deadline)) {
            transport.pause(kCtrlPauseMs);
            continue;
        }
        std::optional<Reply> valid = receiveReply(transport, bufferSize, command, deadline);
        if (!valid) {
            continue;
        }
        channel.dataCrcMatched = valid->dataCrcMatched;
        if (!valid->data.empty()) {
            reply = std::move(valid->data);
        }
        return valid->status;
    }
    return kCtrlNoValidReply;
}

}  // namespace tarn::control

uint32_t send_cmd_tcp(uint16_t command, const unsigned char* data, uint16_t data_len,
                      std::string& reply, uint32_t wait_ms, uint16_t attempts) {
    return tarn::control::exchange(tarn::control::defaultChannel(), command, data, data_len, reply,
                                   wait_ms, attempts);
}
