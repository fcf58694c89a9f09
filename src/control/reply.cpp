#include "control/reply.h"

#include "KESOApi.h"
#include "control/frame.h"

namespace tarn::control {

std::optional<uint16_t> checkReplyHead(const unsigned char* head, uint16_t command,
                                       std::size_t bufferSize) {
    if (loadLe16(head + kCtrlCommandOffset) != command) {
        return std::nullopt;
    }
    if (head[kCtrlHeadCrcOffset] != KESOCrc8(head, kCtrlHeadCrcSpan, 0)) {
        return std::nullopt;
    }
    const uint16_t dataLen = loadLe16(head + kCtrlDataLenOffset);
    if (dataLen < kCtrlStatusLen || kCtrlHeadLen + dataLen > bufferSize) {
        return std::nullopt;
    }
    return dataLen;
}

std::optional<Reply> decodeReply(const unsigned char* frame, std::size_t size, uint16_t command,
                                 std::size_t bufferSize) {
    if (size < kCtrlHeadLen) {
        return std::nullopt;
    }
    const std::optional<uint16_t> dataLen = checkReplyHead(frame, command, bufferSize);
    if (!dataLen || size != kCtrlHeadLen + *dataLen) {
        return std::nullopt;
    }
    const unsigned char* payload = frame + kCtrlHeadLen;
    Reply reply;
    reply.status = loadLe32(payload);
    reply.dataCrcMatched = frame[kCtrlDataCrcOffset] == KESOCrc8(payload, *dataLen, 0);
    reply.data.assign(reinterpret_cast<const char*>(payload + kCtrlStatusLen),
                      *dataLen - kCtrlStatusLen);
    return reply;
}

}  // namespace tarn::control
