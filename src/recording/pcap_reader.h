// Reads the measurement datagrams (UDP over IPv4, payload starting 5A A5) of a capture file that
// libpcap opens: pcap in either byte order with microsecond or nanosecond times, and pcapng, taken
// on Ethernet (VLAN tags too), Linux "any" (cooked v1 and v2), raw IP or BSD loopback links. Every
// other record is passed over and counted under its reason. A file cut inside a record ends there.
#ifndef TARN_RECORDING_PCAP_READER_H
#define TARN_RECORDING_PCAP_READER_H

#include <pcap/pcap.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "recording/packets.h"
#include "tarn/recording.h"

namespace tarn::recording {

struct Datagram {
    int64_t timeNs = 0;  // capture time since the epoch
    Route route;
    const uint8_t* payload = nullptr;  // the reader's, valid until its next call
    std::size_t length = 0;
    uint64_t record = 0;  // 1 for the file's first record
};

enum class ReadResult { datagram, end, damaged };

// What a record holds, by the first reason it is no measurement datagram.
enum class RecordKind { measurement, otherUdp, notIpv4, notUdp, fragment, snapped, malformed };

// Classifies one record of the given link type and, for UDP over IPv4, fills the datagram's route,
// payload and length. length is what the capture kept, wireLength what was on the wire.
RecordKind parseRecord(int linkType, const uint8_t* data, std::size_t length,
                       std::size_t wireLength, Datagram& datagram);

// Not thread-safe: one thread reads.
class PcapReader {
  public:
    // Throws std::runtime_error ("cannot read PATH: reason") when libpcap cannot open the file.
    explicit PcapReader(const std::string& path);
    // Reads an open file, which the reader then owns; name stands for it in messages. Throws
    // std::runtime_error as above (the file is closed then too).
    PcapReader(std::FILE* file, const std::string& name);
    ~PcapReader();
    PcapReader(const PcapReader&) = delete;
    PcapReader& operator=(const PcapReader&) = delete;

    // The next measurement datagram. At the end of the file, or at a cut, end (message() says
    // where a file was cut); damaged when libpcap refuses a record (message() says why), after
    // which the reader stays at its end.
    ReadResult next(Datagram& datagram);

    const tarn_recording_stats& stats() const { return stats_; }
    const std::string& message() const { return message_; }

  private:
    std::string path_;
    pcap_t* pcap_ = nullptr;
    int linkType_ = 0;
    bool ended_ = false;
    ReadResult endResult_ = ReadResult::end;
    tarn_recording_stats stats_{};
    std::string message_;
};

}  // namespace tarn::recording

#endif  // TARN_RECORDING_PCAP_READER_H
