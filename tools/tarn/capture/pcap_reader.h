// Reads the UDP datagrams over IPv4 of a capture file (pcap, microsecond or nanosecond times) taken
// on Ethernet, Linux "any" (cooked), raw IP or BSD loopback links; everything else is skipped.
#ifndef TARN_TOOLS_TARN_CAPTURE_PCAP_READER_H
#define TARN_TOOLS_TARN_CAPTURE_PCAP_READER_H

#include <pcap/pcap.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tools/tarn/capture/packets.h"

namespace tarn::capture {

struct UdpPacket {
    int64_t timeNs = 0;  // capture time since the epoch
    Route route;
    std::vector<uint8_t> payload;
};

// Not thread-safe: one thread reads.
class PcapReader {
  public:
    // Throws std::runtime_error naming the path when it is no capture file libpcap reads.
    explicit PcapReader(const std::string& path);
    ~PcapReader();
    PcapReader(const PcapReader&) = delete;
    PcapReader& operator=(const PcapReader&) = delete;

    // The next whole UDP datagram; false at the end of the file. Throws std::runtime_error when
    // the file is damaged.
    bool next(UdpPacket& packet);

    // Packets passed over: not IPv4 UDP, fragments, or cut short by the capture.
    uint64_t skipped() const { return skipped_; }

  private:
    bool parse(const uint8_t* data, std::size_t length, UdpPacket& packet);

    std::string path_;
    pcap_t* pcap_ = nullptr;
    int linkType_ = 0;
    uint64_t skipped_ = 0;
};

// True when the datagram starts as every measurement datagram does (bytes 5A A5).
bool isMeasurement(const std::vector<uint8_t>& payload);

}  // namespace tarn::capture

#endif  // TARN_TOOLS_TARN_CAPTURE_PCAP_READER_H
