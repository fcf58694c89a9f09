// Reads arbitrary bytes as a recording: the capture file reader (through libpcap) with every record
// classified and counted once; and the same bytes as one record of every link type the reader
// knows. A datagram must lie inside its record. (What the decoder makes of the datagrams is
// datagram_fuzz's part.)
#include <pcap/pcap.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "recording/pcap_reader.h"

namespace {

constexpr int kLinuxSll2 = 276;
constexpr int kLinkTypes[] = {DLT_EN10MB, DLT_LINUX_SLL, kLinuxSll2, DLT_NULL,
                              DLT_LOOP,   DLT_RAW,       DLT_IPV4,   DLT_PPP};

void checkInside(const tarn::recording::Datagram& datagram, const uint8_t* data, std::size_t size) {
    if (datagram.payload < data || datagram.payload + datagram.length > data + size) {
        std::abort();
    }
}

void readAsRecording(const uint8_t* data, std::size_t size) {
    std::FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (file == nullptr) {
        return;
    }
    try {
        tarn::recording::PcapReader reader(file, "input");
        tarn::recording::Datagram datagram;
        while (reader.next(datagram) == tarn::recording::ReadResult::datagram) {
            if (datagram.length < 2 || datagram.length > 65535 ||
                datagram.record != reader.stats().records) {
                std::abort();
            }
        }
        const tarn_recording_stats& s = reader.stats();
        if (s.measurement + s.other_udp + s.not_ipv4 + s.not_udp + s.fragments + s.snapped +
                s.malformed !=
            s.records) {
            std::abort();
        }
    } catch (const std::runtime_error&) {
        // Not a capture file libpcap opens.
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    readAsRecording(data, size);
    for (const int linkType : kLinkTypes) {
        for (const std::size_t wire : {size, size + 1}) {
            tarn::recording::Datagram datagram;
            const auto kind = tarn::recording::parseRecord(linkType, data, size, wire, datagram);
            if (kind == tarn::recording::RecordKind::measurement ||
                kind == tarn::recording::RecordKind::otherUdp) {
                checkInside(datagram, data, size);
            }
        }
    }
    return 0;
}
