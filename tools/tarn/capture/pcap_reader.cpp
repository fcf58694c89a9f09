#include "tools/tarn/capture/pcap_reader.h"

#include <stdexcept>

namespace tarn::capture {
namespace {

constexpr uint16_t kEtherTypeIpv4 = 0x0800;
constexpr uint16_t kEtherTypeVlan = 0x8100;
constexpr std::size_t kVlanTagBytes = 4;
constexpr std::size_t kSllHeaderBytes = 16;
constexpr std::size_t kSllProtocolOffset = 14;
constexpr std::size_t kSll2HeaderBytes = 20;
constexpr std::size_t kNullHeaderBytes = 4;
constexpr uint8_t kIpVersion4 = 4;
constexpr uint16_t kFragmentMask = 0x3FFF;  // more-fragments flag and fragment offset
constexpr int kLinuxSll2 = 276;             // DLT_LINUX_SLL2, absent from older headers
constexpr uint8_t kMagicFirst = 0x5A;
constexpr uint8_t kMagicSecond = 0xA5;

uint16_t load16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

}  // namespace

PcapReader::PcapReader(const std::string& path) : path_(path) {
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_ =
        pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_NANO, error);
    if (pcap_ == nullptr) {
        throw std::runtime_error("cannot read " + path + ": " + error);
    }
    linkType_ = pcap_datalink(pcap_);
}

PcapReader::~PcapReader() {
    pcap_close(pcap_);
}

bool PcapReader::next(UdpPacket& packet) {
    for (;;) {
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        const int result = pcap_next_ex(pcap_, &header, &data);
        if (result == PCAP_ERROR_BREAK) {
            return false;
        }
        if (result != 1) {
            throw std::runtime_error("cannot read " + path_ + ": " + pcap_geterr(pcap_));
        }
        if (header->caplen < header->len || !parse(data, header->caplen, packet)) {
            ++skipped_;
            continue;
        }
        // Opened with nanosecond precision, the field holds nanoseconds.
        packet.timeNs = static_cast<int64_t>(header->ts.tv_sec) * 1000000000LL + header->ts.tv_usec;
        return true;
    }
}

bool PcapReader::parse(const uint8_t* data, std::size_t length, UdpPacket& packet) {
    std::size_t at = 0;
    switch (linkType_) {
        case DLT_EN10MB: {
            at = kEthernetHeaderBytes;
            if (length < at) {
                return false;
            }
            uint16_t type = load16(data + at - 2);
            while (type == kEtherTypeVlan && length >= at + kVlanTagBytes) {
                type = load16(data + at + 2);
                at += kVlanTagBytes;
            }
            if (type != kEtherTypeIpv4) {
                return false;
            }
            break;
        }
        case DLT_LINUX_SLL:
            if (length < kSllHeaderBytes || load16(data + kSllProtocolOffset) != kEtherTypeIpv4) {
                return false;
            }
            at = kSllHeaderBytes;
            break;
        case kLinuxSll2:
            if (length < kSll2HeaderBytes || load16(data) != kEtherTypeIpv4) {
                return false;
            }
            at = kSll2HeaderBytes;
            break;
        case DLT_NULL:
        case DLT_LOOP:
            at = kNullHeaderBytes;
            break;
        case DLT_RAW:
        case DLT_IPV4:
            break;
        default:
            return false;
    }
    if (length < at + kIpv4HeaderBytes || data[at] >> 4 != kIpVersion4) {
        return false;
    }
    const uint8_t* ip = data + at;
    const std::size_t headerBytes = static_cast<std::size_t>(ip[0] & 0x0F) * 4;
    const std::size_t totalBytes = load16(ip + 2);
    if (headerBytes < kIpv4HeaderBytes || totalBytes < headerBytes + kUdpHeaderBytes ||
        length < at + totalBytes || ip[9] != kProtocolUdp ||
        (load16(ip + 6) & kFragmentMask) != 0) {
        return false;
    }
    const uint8_t* udp = ip + headerBytes;
    const std::size_t udpBytes = load16(udp + 4);
    if (udpBytes < kUdpHeaderBytes || udpBytes > totalBytes - headerBytes) {
        return false;
    }
    std::copy(ip + 12, ip + 16, packet.route.source.begin());
    std::copy(ip + 16, ip + 20, packet.route.destination.begin());
    packet.route.sourcePort = load16(udp);
    packet.route.destinationPort = load16(udp + 2);
    packet.payload.assign(udp + kUdpHeaderBytes, udp + udpBytes);
    return true;
}

bool isMeasurement(const std::vector<uint8_t>& payload) {
    return payload.size() >= 2 && payload[0] == kMagicFirst && payload[1] == kMagicSecond;
}

}  // namespace tarn::capture
