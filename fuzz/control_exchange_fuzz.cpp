// Plays a sensor whose replies come from the input through the package-size negotiation and the
// settings commands, over a scripted transport, and checks every result against a reference
// reading of the same replies.
//
// Input: one byte choosing the package size in force before the negotiation, then one chunk per
// request the library sends: a flags byte (bit 0: the send fails), a little-endian 16-bit length
// and that many reply bytes. Requests beyond the input find a closed connection.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "KESOApi.h"
#include "control/control_state.h"
#include "control/exchange.h"
#include "control/frame.h"
#include "control/net_settings.h"
#include "control/package_size.h"
#include "control/transport_seam.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kPkgSizesBefore[] = {0, 1024, 8192, 65536};
constexpr uint8_t kSendFails = 0x01;
constexpr std::size_t kHead = 21;
constexpr std::size_t kStatus = 4;
constexpr uint32_t kWanted = 8192;
constexpr uint32_t kNoValidReply = 3;
constexpr uint32_t kLeastBuffer = 1024;
constexpr std::size_t kSettingsLen = 44;
constexpr uint8_t kRequestStart[] = {0x5A, 0xA5, 0x01, 0x06, 0x00, 0x00, 0x01, 0x65, 0x9A};

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// CRC-8, polynomial 0x31, most significant bit first, from 0: written out here independently of
// the library's.
uint8_t crc8(const uint8_t* data, std::size_t len) {
    uint8_t crc = 0;
    for (std::size_t i = 0; i < len; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint8_t>((crc & 0x80) != 0 ? (crc << 1) ^ 0x31 : crc << 1);
        }
    }
    return crc;
}

uint32_t le(const uint8_t* bytes, int count) {
    uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i) {
        value = value << 8 | bytes[i];
    }
    return value;
}

struct Chunk {
    bool sendFails = false;
    Bytes reply;
};

std::vector<Chunk> parseChunks(const uint8_t* data, std::size_t size) {
    std::vector<Chunk> chunks;
    while (size >= 3) {
        Chunk chunk;
        chunk.sendFails = (data[0] & kSendFails) != 0;
        const std::size_t len = std::min<std::size_t>(le(data + 1, 2), size - 3);
        chunk.reply.assign(data + 3, data + 3 + len);
        chunks.push_back(chunk);
        data += 3 + len;
        size -= 3 + len;
    }
    return chunks;
}

// The scripted sensor: the n-th request is answered with chunk n, read as a byte stream.
class ScriptedSensor final : public tarn::control::Transport {
  public:
    explicit ScriptedSensor(const std::vector<Chunk>& chunks) : chunks_(chunks) {}

    void discardPending() override { unread_.clear(); }

    bool sendAll(const unsigned char* bytes, std::size_t count,
                 tarn::control::Clock::time_point) override {
        checkRequest(bytes, count);
        requests_.emplace_back(bytes, bytes + count);
        const Chunk chunk = next_ < chunks_.size() ? chunks_[next_] : Chunk{};
        ++next_;
        if (chunk.sendFails) {
            return false;
        }
        unread_ = chunk.reply;
        return true;
    }

    bool readExactly(unsigned char* buffer, std::size_t count,
                     tarn::control::Clock::time_point) override {
        if (unread_.size() < count) {
            unread_.clear();
            return false;
        }
        std::memcpy(buffer, unread_.data(), count);
        unread_.erase(unread_.begin(), unread_.begin() + static_cast<std::ptrdiff_t>(count));
        return true;
    }

    void pause(uint32_t) override { ++pauses_; }

    const std::vector<Bytes>& requests() const { return requests_; }
    int pauses() const { return pauses_; }

  private:
    // Every request is a whole, well-formed frame.
    static void checkRequest(const unsigned char* bytes, std::size_t count) {
        check(count >= kHead && std::memcmp(bytes, kRequestStart, sizeof kRequestStart) == 0);
        check(count == kHead + le(bytes + 11, 2));
        check(bytes[19] == crc8(bytes, 19) && bytes[20] == crc8(bytes + kHead, count - kHead));
    }

    const std::vector<Chunk>& chunks_;
    std::size_t next_ = 0;
    Bytes unread_;
    std::vector<Bytes> requests_;
    int pauses_ = 0;
};

// What the library must make of the same chunks, read independently.
class Reference {
  public:
    explicit Reference(const std::vector<Chunk>& chunks) : chunks_(chunks) {}

    struct Outcome {
        uint32_t status = kNoValidReply;
        Bytes data;
    };

    // One command of two attempts with a reply buffer of bufferSize bytes.
    Outcome exchange(uint16_t command, const Bytes& payload, std::size_t bufferSize) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            Bytes request(kHead, 0);
            std::memcpy(request.data(), kRequestStart, sizeof kRequestStart);
            request[9] = static_cast<uint8_t>(command);
            request[10] = static_cast<uint8_t>(command >> 8);
            request[11] = static_cast<uint8_t>(payload.size());
            request[12] = static_cast<uint8_t>(payload.size() >> 8);
            request[19] = crc8(request.data(), 19);
            request[20] = crc8(payload.data(), payload.size());
            request.insert(request.end(), payload.begin(), payload.end());
            requests_.push_back(request);

            const Chunk chunk = next_ < chunks_.size() ? chunks_[next_] : Chunk{};
            ++next_;
            if (chunk.sendFails) {
                ++pauses_;
                continue;
            }
            const Bytes& r = chunk.reply;
            if (r.size() < kHead || le(&r[9], 2) != command || r[19] != crc8(r.data(), 19)) {
                continue;
            }
            const std::size_t dataLen = le(&r[11], 2);
            if (dataLen < kStatus || kHead + dataLen > bufferSize || r.size() < kHead + dataLen) {
                continue;
            }
            Outcome outcome;
            outcome.status = le(&r[kHead], 4);
            outcome.data.assign(r.begin() + kHead + kStatus, r.begin() + kHead + dataLen);
            return outcome;
        }
        return Outcome{};
    }

    uint32_t negotiate(std::size_t bufferSize) {
        const Outcome size = exchange(kCmdGetMaxPkgSize, {}, bufferSize);
        if (size.status != 0 || size.data.size() < 4) {
            return 0;
        }
        const auto reported = static_cast<int32_t>(le(size.data.data(), 4));
        if (reported >= static_cast<int32_t>(kWanted)) {
            return static_cast<uint32_t>(reported);
        }
        if (exchange(kCmdSetMaxPkgSize, {0x00, 0x20, 0x00, 0x00}, bufferSize).status == 0) {
            return kWanted;
        }
        return reported < 0 ? 0 : static_cast<uint32_t>(reported);
    }

    const std::vector<Bytes>& requests() const { return requests_; }
    int pauses() const { return pauses_; }

  private:
    const std::vector<Chunk>& chunks_;
    std::size_t next_ = 0;
    std::vector<Bytes> requests_;
    int pauses_ = 0;
};

std::size_t bufferFor(uint32_t pkgSize) {
    return pkgSize > kLeastBuffer ? pkgSize : kLeastBuffer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const uint32_t before = kPkgSizesBefore[data[0] % 4];
    const std::vector<Chunk> chunks = parseChunks(data + 1, size - 1);
    ScriptedSensor sensor(chunks);
    Reference reference(chunks);
    tarn::control::ScopedTransport scripted(sensor);

    g_link_net = true;
    g_max_pkg_len = before;
    const uint32_t negotiated = get_max_pkg_size();
    check(negotiated == reference.negotiate(bufferFor(before)));
    g_max_pkg_len = negotiated;

    KESOIpInfo info{};
    std::memset(info.bytes, 0xA5, sizeof info.bytes);
    const KESOIpInfo untouched = info;
    const bool read = get_ipport(&info);
    const Reference::Outcome settings =
        reference.exchange(kCmdGetNetInfo, {}, bufferFor(negotiated));
    check(read == (settings.status == 0 && settings.data.size() == kSettingsLen));
    check(std::memcmp(info.bytes, read ? settings.data.data() : untouched.bytes, kSettingsLen) ==
          0);

    const bool written = set_ipport(info);
    const Bytes record(info.bytes, info.bytes + kSettingsLen);
    check(written ==
          (reference.exchange(kCmdSetNetInfo, record, bufferFor(negotiated)).status == 0));

    check(sensor.requests() == reference.requests());
    check(sensor.pauses() == reference.pauses());

    g_link_net = false;
    std::string reply;
    check(send_cmd_tcp(kCmdGetNetInfo, nullptr, 0, reply, kCtrlWaitMs, kCtrlAttempts) ==
          kCtrlNotLinked);
    g_max_pkg_len = kInitialMaxPkgLen;
    return 0;
}
