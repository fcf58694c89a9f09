// The Foxglove WebSocket protocol (subprotocol "foxglove.websocket.v1") as this server speaks it:
// the client messages it accepts, parsed strictly as pure functions over text, and the server's
// own messages.
#ifndef TARN_SRC_VIEW_PROTOCOL_H
#define TARN_SRC_VIEW_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarn::view {

constexpr const char* kSubprotocol = "foxglove.websocket.v1";

// Binary server message: opcode, subscription id (uint32 LE), receive time (uint64 LE ns), payload.
constexpr uint8_t kMessageDataOpcode = 0x01;
constexpr size_t kMessageDataHeaderBytes = 13;

// Status levels of the "status" message.
constexpr int kStatusInfo = 0;
constexpr int kStatusWarning = 1;
constexpr int kStatusError = 2;

// Bounds a client message must keep besides its byte size.
constexpr size_t kMaxNesting = 4;
constexpr size_t kMaxEntries = 1024;

struct Subscription {
    uint32_t id = 0;
    uint32_t channel = 0;
};

struct ClientMessage {
    enum class Op { subscribe, unsubscribe };
    Op op = Op::subscribe;
    std::vector<Subscription> subscriptions;  // subscribe
    std::vector<uint32_t> subscriptionIds;    // unsubscribe
};

struct ParseResult {
    bool ok = false;
    ClientMessage message;
    std::string error;  // why it was refused, for the close reason
};

// A text message from a client: {"op":"subscribe","subscriptions":[{"id":N,"channelId":N},...]}
// or {"op":"unsubscribe","subscriptionIds":[N,...]}, ids in 0 to 2^32-1, no id twice in one
// message, at most kMaxEntries entries, nested at most kMaxNesting deep. Anything else is refused.
ParseResult parseClientMessage(std::string_view text);

struct ChannelInfo {
    uint32_t id = 0;
    std::string topic;
    std::string schemaName;
    const char* schema = nullptr;  // ros2msg text
};

std::string serverInfoMessage(const std::string& name, const std::string& sessionId);
std::string advertiseMessage(const std::vector<ChannelInfo>& channels);
std::string statusMessage(int level, const std::string& text, const std::string& id);

// The 13 bytes before a messageData payload.
void messageDataHeader(uint32_t subscription, uint64_t timestampNs,
                       uint8_t (&header)[kMessageDataHeaderBytes]);

}  // namespace tarn::view

#endif  // TARN_SRC_VIEW_PROTOCOL_H
