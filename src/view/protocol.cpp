#include "protocol.h"

#include <nlohmann/json.hpp>
#include <set>

namespace tarn::view {
namespace {

using nlohmann::json;

// Depth of brackets outside strings, so a deeply nested text is refused before it is parsed.
bool nestingWithin(std::string_view text, size_t limit) {
    size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) {
                return false;
            }
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}

bool readId(const json& object, const char* key, uint32_t& out) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_number_unsigned()) {
        return false;
    }
    const uint64_t value = it->get<uint64_t>();
    if (value > UINT32_MAX) {
        return false;
    }
    out = static_cast<uint32_t>(value);
    return true;
}

ParseResult refuse(const char* why) {
    ParseResult r;
    r.error = why;
    return r;
}

ParseResult parseSubscribe(const json& message) {
    const auto list = message.find("subscriptions");
    if (list == message.end() || !list->is_array() || list->size() > kMaxEntries) {
        return refuse("subscribe needs a list of subscriptions");
    }
    ParseResult r;
    r.message.op = ClientMessage::Op::subscribe;
    std::set<uint32_t> ids;
    for (const json& entry : *list) {
        Subscription s;
        if (!entry.is_object() || !readId(entry, "id", s.id) ||
            !readId(entry, "channelId", s.channel)) {
            return refuse("a subscription needs an id and a channelId");
        }
        if (!ids.insert(s.id).second) {
            return refuse("a subscription id appears twice");
        }
        r.message.subscriptions.push_back(s);
    }
    r.ok = true;
    return r;
}

ParseResult parseUnsubscribe(const json& message) {
    const auto list = message.find("subscriptionIds");
    if (list == message.end() || !list->is_array() || list->size() > kMaxEntries) {
        return refuse("unsubscribe needs a list of subscriptionIds");
    }
    ParseResult r;
    r.message.op = ClientMessage::Op::unsubscribe;
    for (const json& entry : *list) {
        if (!entry.is_number_unsigned() || entry.get<uint64_t>() > UINT32_MAX) {
            return refuse("a subscription id is not a number from 0 to 4294967295");
        }
        r.message.subscriptionIds.push_back(entry.get<uint32_t>());
    }
    r.ok = true;
    return r;
}

}  // namespace

ParseResult parseClientMessage(std::string_view text) {
    if (!nestingWithin(text, kMaxNesting)) {
        return refuse("message nested too deep");
    }
    const json message = json::parse(text.begin(), text.end(), nullptr, false);
    if (message.is_discarded() || !message.is_object()) {
        return refuse("message is not a JSON object");
    }
    const auto op = message.find("op");
    if (op == message.end() || !op->is_string()) {
        return refuse("message has no op");
    }
    const std::string& name = op->get_ref<const std::string&>();
    if (name == "subscribe") {
        return parseSubscribe(message);
    }
    if (name == "unsubscribe") {
        return parseUnsubscribe(message);
    }
    return refuse("unsupported op");
}

std::string serverInfoMessage(const std::string& name, const std::string& sessionId) {
    return json{{"op", "serverInfo"},
                {"name", name},
                {"capabilities", json::array()},
                {"supportedEncodings", json::array()},
                {"metadata", json::object()},
                {"sessionId", sessionId}}
        .dump();
}

std::string advertiseMessage(const std::vector<ChannelInfo>& channels) {
    json list = json::array();
    for (const ChannelInfo& c : channels) {
        list.push_back({{"id", c.id},
                        {"topic", c.topic},
                        {"encoding", "cdr"},
                        {"schemaName", c.schemaName},
                        {"schema", c.schema},
                        {"schemaEncoding", "ros2msg"}});
    }
    return json{{"op", "advertise"}, {"channels", list}}.dump();
}

std::string statusMessage(int level, const std::string& text, const std::string& id) {
    return json{{"op", "status"}, {"level", level}, {"message", text}, {"id", id}}.dump();
}

void messageDataHeader(uint32_t subscription, uint64_t timestampNs,
                       uint8_t (&header)[kMessageDataHeaderBytes]) {
    header[0] = kMessageDataOpcode;
    for (int i = 0; i < 4; ++i) {
        header[1 + i] = static_cast<uint8_t>(subscription >> (8 * i));
    }
    for (int i = 0; i < 8; ++i) {
        header[5 + i] = static_cast<uint8_t>(timestampNs >> (8 * i));
    }
}

}  // namespace tarn::view
