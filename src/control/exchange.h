// One request/reply exchange of control frames on the linked control connection.
#ifndef TARN_CONTROL_EXCHANGE_H
#define TARN_CONTROL_EXCHANGE_H

#include <cstddef>
#include <cstdint>
#include <string>

// What every caller in the library passes to send_cmd_tcp.
constexpr uint32_t kCtrlWaitMs = 1000;
constexpr uint16_t kCtrlAttempts = 2;

// Results of send_cmd_tcp besides the sensor's own status (which shares their range).
constexpr uint32_t kCtrlNoValidReply = 3;
constexpr uint32_t kCtrlNotLinked = 4;

// Sends command with its payload and reads the whole reply, trying up to attempts times; each
// attempt, send and reply together, ends within wait_ms (a failed send adds a 100 ms pause).
// Returns the sensor's status (0 = carried out), 3 when no valid reply came (or data is null
// with a non-zero data_len; nothing is sent then), or 4 when there is no link. When the reply
// carries data after the status, reply receives it; otherwise reply is left as passed.
uint32_t send_cmd_tcp(uint16_t command, const unsigned char* data, uint16_t data_len,
                      std::string& reply, uint32_t wait_ms, uint16_t attempts);

namespace tarn::control {

class Channel;

// send_cmd_tcp on the given channel (send_cmd_tcp itself uses the default channel). Sets
// channel.dataCrcMatched for the valid reply it returns the status of.
uint32_t exchange(Channel& channel, uint16_t command, const unsigned char* data, uint16_t data_len,
                  std::string& reply, uint32_t wait_ms, uint16_t attempts);

// Size of the buffer a reply must fit: the channel's negotiated package size, but never below
// 1024 so that a failed negotiation still lets commands run.
std::size_t replyBufferSize(const Channel& channel);

}  // namespace tarn::control

#endif  // TARN_CONTROL_EXCHANGE_H
