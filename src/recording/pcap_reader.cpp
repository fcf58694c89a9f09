#include "recording/pcap_reader.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "format/datagram_format.h"

namespace tarn::recording {
namespace {

constexpr uint16_t kEtherTypeIpv4 = 0x0800;
constexpr uint16_t kEtherTypeVlan = 0x8100;
constexpr uint16_t kEtherTypeQinQ = 0x88A8;
constexpr uint16_t kEtherTypeOldQinQ = 0x9100;
constexpr std::size_t kVlanTagBytes = 4;
constexpr std::size_t kSllHeaderBytes = 16;
constexpr std::size_t kSllProtocolOffset = 14;
constexpr std::size_t kSll2HeaderBytes = 20;
constexpr std::size_t kNullHeaderBytes = 4;
constexpr uint8_t kIpVersion4 = 4;
constexpr uint16_t kFragmentMask = 0x3FFF;  // more-fragments flag and fragment offset
constexpr std::size_t kIpProtocolOffset = 9;
constexpr std::size_t kIpSourceOffset = 12;
constexpr std::size_t kIpDestinationOffset = 16;
constexpr int kLinuxSll2 = 276;  // DLT_LINUX_SLL2, absent from older headers
// libpcap's words for a file that ends inside a record (pcap and pcapng readers).
constexpr const char* kTruncatedText = "truncated";

uint16_t load16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

bool isVlan(uint16_t type) {
    return type == kEtherTypeVlan || type == kEtherTypeQinQ || type == kEtherTypeOldQinQ;
}

// Where the network header starts, or a kind other than measurement when there is no IPv4.
RecordKind linkHeader(int linkType, const uint8_t* data, std::size_t length, std::size_t& at) {
    switch (linkType) {
        case DLT_EN10MB: {
            at = kEthernetHeaderBytes;
            if (length < at) {
                return RecordKind::malformed;
            }
            uint16_t type = load16(data + at - 2);
            while (isVlan(type)) {
                if (length < at + kVlanTagBytes) {
                    return RecordKind::malformed;
                }
                type = load16(data + at + 2);
                at += kVlanTagBytes;
            }
            return type == kEtherTypeIpv4 ? RecordKind::measurement : RecordKind::notIpv4;
        }
        case DLT_LINUX_SLL:
            at = kSllHeaderBytes;
            if (length < at) {
                return RecordKind::malformed;
            }
            return load16(data + kSllProtocolOffset) == kEtherTypeIpv4 ? RecordKind::measurement
                                                                       : RecordKind::notIpv4;
        case kLinuxSll2:
            at = kSll2HeaderBytes;
            if (length < at) {
                return RecordKind::malformed;
            }
            return load16(data) == kEtherTypeIpv4 ? RecordKind::measurement : RecordKind::notIpv4;
        case DLT_NULL:
        case DLT_LOOP:
            // The address family says the rest; the IP version below tells IPv4 from IPv6.
            at = kNullHeaderBytes;
            return length < at ? RecordKind::malformed : RecordKind::measurement;
        case DLT_RAW:
        case DLT_IPV4:
            at = 0;
            return RecordKind::measurement;
        default:
            return RecordKind::notIpv4;
    }
}

// Opened with nanosecond precision, the microsecond field holds nanoseconds. A time past what
// 64 bits of nanoseconds hold (a damaged pcapng timestamp) is kept at the largest one.
int64_t captureTimeNs(const timeval& time) {
    constexpr int64_t kNsPerSecond = 1000000000;
    constexpr int64_t kLargest = std::numeric_limits<int64_t>::max();
    const int64_t seconds = static_cast<int64_t>(time.tv_sec);
    const int64_t fraction = static_cast<int64_t>(time.tv_usec);
    if (seconds < 0 || fraction < 0) {
        return 0;
    }
    if (seconds > (kLargest - fraction) / kNsPerSecond) {
        return kLargest;
    }
    return seconds * kNsPerSecond + fraction;
}

}  // namespace

RecordKind parseRecord(int linkType, const uint8_t* data, std::size_t length,
                       std::size_t wireLength, Datagram& datagram) {
    // A header that runs past what the capture kept was cut by the snap length when the wire
    // held more, and is malformed otherwise.
    const RecordKind shortKind = length < wireLength ? RecordKind::snapped : RecordKind::malformed;
    std::size_t at = 0;
    const RecordKind link = linkHeader(linkType, data, length, at);
    if (link != RecordKind::measurement) {
        return link == RecordKind::malformed ? shortKind : link;
    }
    if (length < at + 1) {
        return shortKind;
    }
    const uint8_t* ip = data + at;
    if (ip[0] >> 4 != kIpVersion4) {
        return RecordKind::notIpv4;
    }
    if (length < at + kIpv4HeaderBytes) {
        return shortKind;
    }
    const std::size_t headerBytes = static_cast<std::size_t>(ip[0] & 0x0F) * 4;
    const std::size_t totalBytes = load16(ip + 2);
    if (headerBytes < kIpv4HeaderBytes || totalBytes < headerBytes) {
        return RecordKind::malformed;
    }
    if ((load16(ip + 6) & kFragmentMask) != 0) {
        return RecordKind::fragment;
    }
    if (ip[kIpProtocolOffset] != kProtocolUdp) {
        return RecordKind::notUdp;
    }
    if (totalBytes < headerBytes + kUdpHeaderBytes) {
        return RecordKind::malformed;
    }
    if (length - at < totalBytes) {
        return shortKind;
    }
    const uint8_t* udp = ip + headerBytes;
    const std::size_t udpBytes = load16(udp + 4);
    if (udpBytes < kUdpHeaderBytes || udpBytes > totalBytes - headerBytes) {
        return RecordKind::malformed;
    }
    std::copy(ip + kIpSourceOffset, ip + kIpSourceOffset + 4, datagram.route.source.begin());
    std::copy(ip + kIpDestinationOffset, ip + kIpDestinationOffset + 4,
              datagram.route.destination.begin());
    datagram.route.sourcePort = load16(udp);
    datagram.route.destinationPort = load16(udp + 2);
    datagram.payload = udp + kUdpHeaderBytes;
    datagram.length = udpBytes - kUdpHeaderBytes;
    const bool measurement =
        datagram.length >= 2 && format::readU16Le(datagram.payload) == format::kMagic;
    return measurement ? RecordKind::measurement : RecordKind::otherUdp;
}

PcapReader::PcapReader(const std::string& path) : path_(path) {
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_ =
        pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_NANO, error);
    if (pcap_ == nullptr) {
        throw std::runtime_error("cannot read " + path + ": " + error);
    }
    linkType_ = pcap_datalink(pcap_);
}

PcapReader::PcapReader(std::FILE* file, const std::string& name) : path_(name) {
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_ = pcap_fopen_offline_with_tstamp_precision(file, PCAP_TSTAMP_PRECISION_NANO, error);
    if (pcap_ == nullptr) {
        std::fclose(file);
        throw std::runtime_error("cannot read " + name + ": " + error);
    }
    linkType_ = pcap_datalink(pcap_);
}

PcapReader::~PcapReader() {
    pcap_close(pcap_);
}

ReadResult PcapReader::next(Datagram& datagram) {
    while (!ended_) {
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        const int result = pcap_next_ex(pcap_, &header, &data);
        if (result == PCAP_ERROR_BREAK) {
            ended_ = true;
            break;
        }
        if (result != 1) {
            const std::string reason = pcap_geterr(pcap_);
            ended_ = true;
            if (reason.find(kTruncatedText) != std::string::npos) {
                stats_.cut = 1;
                message_ = path_ + " is cut in record " + std::to_string(stats_.records + 1) +
                           " (" + reason + "); read up to the cut";
            } else {
                endResult_ = ReadResult::damaged;
                message_ = "cannot read " + path_ + ": record " +
                           std::to_string(stats_.records + 1) + " is damaged (" + reason + ")";
            }
            break;
        }
        ++stats_.records;
        datagram.record = stats_.records;
        switch (parseRecord(linkType_, data, header->caplen, header->len, datagram)) {
            case RecordKind::measurement:
                ++stats_.measurement;
                datagram.timeNs = captureTimeNs(header->ts);
                return ReadResult::datagram;
            case RecordKind::otherUdp:
                ++stats_.other_udp;
                break;
            case RecordKind::notIpv4:
                ++stats_.not_ipv4;
                break;
            case RecordKind::notUdp:
                ++stats_.not_udp;
                break;
            case RecordKind::fragment:
                ++stats_.fragments;
                break;
            case RecordKind::snapped:
                ++stats_.snapped;
                break;
            case RecordKind::malformed:
                ++stats_.malformed;
                break;
        }
    }
    return endResult_;
}

}  // namespace tarn::recording
