// Capture files built byte by byte for the reader's tests: either byte order, microsecond or
// nanosecond times, any link type and snap length, and records that may lie about their length.
#ifndef TARN_TESTS_RECORDING_CAPTURE_FILES_H
#define TARN_TESTS_RECORDING_CAPTURE_FILES_H

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "recording/packets.h"
#include "tarn/recording.h"

namespace tarn::recording::test {

using Bytes = std::vector<uint8_t>;

constexpr Route kSensorRoute{{127, 0, 0, 1}, 6301, {127, 0, 0, 2}, 7001};

struct FileFormat {
    bool bigEndian = false;
    bool nanoseconds = false;
    uint32_t linkType = 1;  // Ethernet
    uint32_t snapLength = 65535;
};

class CaptureBytes {
  public:
    explicit CaptureBytes(const FileFormat& format = {}) : format_(format) {
        put32(format.nanoseconds ? 0xA1B23C4D : 0xA1B2C3D4);
        put16(2);
        put16(4);
        put32(0);
        put32(0);
        put32(format.snapLength);
        put32(format.linkType);
    }

    // A record holding packet; kept and wire lengths default to its size.
    CaptureBytes& record(const Bytes& packet, uint32_t seconds = 1700000000, uint32_t fraction = 0,
                         int64_t kept = -1, int64_t wire = -1) {
        put32(seconds);
        put32(fraction);
        put32(kept < 0 ? static_cast<uint32_t>(packet.size()) : static_cast<uint32_t>(kept));
        put32(wire < 0 ? static_cast<uint32_t>(packet.size()) : static_cast<uint32_t>(wire));
        bytes_.insert(bytes_.end(), packet.begin(), packet.end());
        return *this;
    }

    const Bytes& bytes() const { return bytes_; }

  private:
    void put16(uint16_t value) {
        if (format_.bigEndian) {
            bytes_.insert(bytes_.end(),
                          {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)});
        } else {
            bytes_.insert(bytes_.end(),
                          {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)});
        }
    }
    void put32(uint32_t value) {
        if (format_.bigEndian) {
            put16(static_cast<uint16_t>(value >> 16));
            put16(static_cast<uint16_t>(value));
        } else {
            put16(static_cast<uint16_t>(value));
            put16(static_cast<uint16_t>(value >> 16));
        }
    }

    FileFormat format_;
    Bytes bytes_;
};

// A measurement-looking payload: 5A A5, then filler.
inline Bytes measurementPayload(uint8_t dataType, std::size_t length, uint8_t fill = 0x11) {
    Bytes payload(length, fill);
    payload[0] = 0x5A;
    payload[1] = 0xA5;
    if (length > 3) {
        payload[3] = dataType;
    }
    return payload;
}

inline Bytes udpPacket(const Bytes& payload, const Route& route = kSensorRoute) {
    return udpFrame(route, 1, payload.data(), payload.size());
}

// A folder of its own under the temporary folder, removed with its files.
class ScratchFolder {
  public:
    ScratchFolder() {
        char pattern[] = "/tmp/tarn-recording-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~ScratchFolder() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::string file(const std::string& name, const Bytes& bytes) const {
        const std::string path = path_ + "/" + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// Every measurement datagram of a recording, and how reading it ended.
struct ReadBack {
    int openResult = TARN_OK;
    int endResult = TARN_OK;
    std::vector<Bytes> payloads;
    std::vector<tarn_recording_datagram> datagrams;  // payload pointers not kept valid
    tarn_recording_stats stats{};
    std::string message;
};

inline ReadBack readBack(const std::string& path) {
    ReadBack back;
    tarn_recording_reader* reader = nullptr;
    char error[256] = {};
    back.openResult = tarn_recording_open(path.c_str(), &reader, error, sizeof error);
    if (back.openResult != TARN_OK) {
        back.message = error;
        return back;
    }
    tarn_recording_datagram datagram{};
    while ((back.endResult = tarn_recording_next(reader, &datagram)) == TARN_OK) {
        back.payloads.emplace_back(datagram.payload, datagram.payload + datagram.length);
        back.datagrams.push_back(datagram);
    }
    tarn_recording_get_stats(reader, &back.stats);
    back.message = tarn_recording_error(reader);
    tarn_recording_close(reader);
    return back;
}

}  // namespace tarn::recording::test

#endif  // TARN_TESTS_RECORDING_CAPTURE_FILES_H
