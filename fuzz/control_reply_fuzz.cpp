// Feeds arbitrary bytes to the reply checks as a reply frame to each command and buffer size, and
// checks that whatever is accepted is consistent with the frame it came from.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

#include "KESOApi.h"
#include "control/frame.h"
#include "control/reply.h"

namespace {

constexpr std::size_t kBufferSizes[] = {1024, 8192};
constexpr uint16_t kCommands[] = {kCmdGetMaxPkgSize, kCmdSetMaxPkgSize, kCmdSetNetInfo,
                                  kCmdGetNetInfo};

void checkAccepted(const uint8_t* data, std::size_t size, uint16_t command, std::size_t bufferSize,
                   const tarn::control::Reply& reply) {
    const uint16_t dataLen = tarn::control::loadLe16(data + kCtrlDataLenOffset);
    const bool consistent = size == kCtrlHeadLen + dataLen && size <= bufferSize &&
                            dataLen >= kCtrlStatusLen &&
                            tarn::control::loadLe16(data + kCtrlCommandOffset) == command &&
                            data[kCtrlHeadCrcOffset] == KESOCrc8(data, kCtrlHeadCrcSpan, 0) &&
                            reply.status == tarn::control::loadLe32(data + kCtrlHeadLen) &&
                            reply.data.size() == dataLen - kCtrlStatusLen;
    if (!consistent) {
        std::abort();
    }
}

// The same bytes made into a well-formed reply (command echo, length and head CRC set), so the
// status and data paths are reached too: it must be accepted exactly when it fits the buffer and
// carries a status.
void checkRepaired(const uint8_t* data, std::size_t size, uint16_t command,
                   std::size_t bufferSize) {
    if (size < kCtrlHeadLen || size > kCtrlMaxFrameLen) {
        return;
    }
    std::vector<uint8_t> frame(data, data + size);
    const auto dataLen = static_cast<uint16_t>(size - kCtrlHeadLen);
    frame[kCtrlCommandOffset] = static_cast<uint8_t>(command);
    frame[kCtrlCommandOffset + 1] = static_cast<uint8_t>(command >> 8);
    frame[kCtrlDataLenOffset] = static_cast<uint8_t>(dataLen);
    frame[kCtrlDataLenOffset + 1] = static_cast<uint8_t>(dataLen >> 8);
    frame[kCtrlHeadCrcOffset] = KESOCrc8(frame.data(), kCtrlHeadCrcSpan, 0);
    const std::optional<tarn::control::Reply> reply =
        tarn::control::decodeReply(frame.data(), frame.size(), command, bufferSize);
    const bool acceptable = dataLen >= kCtrlStatusLen && size <= bufferSize;
    if (reply.has_value() != acceptable) {
        std::abort();
    }
    if (reply) {
        checkAccepted(frame.data(), frame.size(), command, bufferSize, *reply);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    for (const std::size_t bufferSize : kBufferSizes) {
        for (const uint16_t command : kCommands) {
            const std::optional<tarn::control::Reply> reply =
                tarn::control::decodeReply(data, size, command, bufferSize);
            if (reply) {
                checkAccepted(data, size, command, bufferSize, *reply);
            }
            checkRepaired(data, size, command, bufferSize);
        }
    }
    return 0;
}
