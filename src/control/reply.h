// Validation of the sensor's reply frames, as pure functions over bytes so that the checks can be
// driven without a socket.
#ifndef TARN_CONTROL_REPLY_H
#define TARN_CONTROL_REPLY_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tarn::control {

// A valid reply: the sensor's status of the command and the reply data that follows it.
struct Reply {
    uint32_t status = 0;
    std::string data;
    // Whether data_crc matches the payload. The KESO functions accept a reply either way; the
    // control handles report a mismatch.
    bool dataCrcMatched = true;
};

// Checks the 21 header bytes of a reply to command against a receive buffer of bufferSize bytes.
// Returns the payload length the header announces, or nothing when the reply is invalid: a
// different command echo, a wrong head CRC, a payload too short for the status, or a frame
// longer than the buffer. The magic, the fixed bytes and data_crc are not checked.
std::optional<uint16_t> checkReplyHead(const unsigned char* head, uint16_t command,
                                       std::size_t bufferSize);

// Decodes one whole reply frame of size bytes; nothing when it is invalid as above or its size is
// not 21 + data_len. A data_crc that does not match is no reason to refuse the reply.
std::optional<Reply> decodeReply(const unsigned char* frame, std::size_t size, uint16_t command,
                                 std::size_t bufferSize);

}  // namespace tarn::control

#endif  // TARN_CONTROL_REPLY_H
