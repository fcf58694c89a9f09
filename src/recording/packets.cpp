#include "recording/packets.h"

#include <stdexcept>

namespace tarn::recording {
namespace {

constexpr uint16_t kEtherTypeIpv4 = 0x0800;
constexpr uint8_t kVersionAndHeaderWords = 0x45;  // IPv4, five 32-bit words
constexpr uint8_t kTimeToLive = 64;
constexpr uint16_t kDontFragment = 0x4000;
constexpr std::size_t kMaxIpv4Bytes = 65535;
constexpr uint8_t kLocalUnicast = 0x02;  // first byte of a locally administered unicast MAC
constexpr std::size_t kChecksumOffset = 10;
constexpr std::size_t kUdpChecksumOffset = 6;

void put16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

void putMac(std::vector<uint8_t>& out, const Ipv4& address) {
    out.push_back(kLocalUnicast);
    out.push_back(0);
    out.insert(out.end(), address.begin(), address.end());
}

}  // namespace

uint32_t checksumSum(const uint8_t* bytes, std::size_t length, uint32_t sum) {
    for (std::size_t i = 0; i + 1 < length; i += 2) {
        sum += static_cast<uint32_t>(bytes[i] << 8 | bytes[i + 1]);
    }
    if (length % 2 != 0) {
        sum += static_cast<uint32_t>(bytes[length - 1] << 8);
    }
    return sum;
}

uint16_t internetChecksum(uint32_t sum) {
    while (sum >> 16 != 0) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum);
}

std::vector<uint8_t> ipv4Frame(uint8_t protocol, const Ipv4& source, const Ipv4& destination,
                               uint16_t identification, const uint8_t* transport,
                               std::size_t length) {
    if (length > kMaxIpv4Bytes - kIpv4HeaderBytes) {
        throw std::length_error("an IPv4 packet holds at most 65515 payload bytes");
    }
    std::vector<uint8_t> frame;
    frame.reserve(kEthernetHeaderBytes + kIpv4HeaderBytes + length);
    putMac(frame, destination);
    putMac(frame, source);
    put16(frame, kEtherTypeIpv4);

    const std::size_t ip = frame.size();
    frame.push_back(kVersionAndHeaderWords);
    frame.push_back(0);  // type of service
    put16(frame, static_cast<uint16_t>(kIpv4HeaderBytes + length));
    put16(frame, identification);
    put16(frame, kDontFragment);
    frame.push_back(kTimeToLive);
    frame.push_back(protocol);
    put16(frame, 0);  // checksum, set below
    frame.insert(frame.end(), source.begin(), source.end());
    frame.insert(frame.end(), destination.begin(), destination.end());
    const uint16_t checksum = internetChecksum(checksumSum(&frame[ip], kIpv4HeaderBytes));
    frame[ip + kChecksumOffset] = static_cast<uint8_t>(checksum >> 8);
    frame[ip + kChecksumOffset + 1] = static_cast<uint8_t>(checksum);

    frame.insert(frame.end(), transport, transport + length);
    return frame;
}

std::vector<uint8_t> udpFrame(const Route& route, uint16_t identification, const uint8_t* payload,
                              std::size_t length) {
    std::vector<uint8_t> udp;
    udp.reserve(kUdpHeaderBytes + length);
    put16(udp, route.sourcePort);
    put16(udp, route.destinationPort);
    put16(udp, static_cast<uint16_t>(kUdpHeaderBytes + length));
    put16(udp, 0);  // checksum, set below
    udp.insert(udp.end(), payload, payload + length);

    // The checksum covers a pseudo header of the addresses, protocol and length.
    std::vector<uint8_t> pseudo(route.source.begin(), route.source.end());
    pseudo.insert(pseudo.end(), route.destination.begin(), route.destination.end());
    pseudo.push_back(0);
    pseudo.push_back(kProtocolUdp);
    put16(pseudo, static_cast<uint16_t>(udp.size()));
    uint16_t checksum = internetChecksum(
        checksumSum(udp.data(), udp.size(), checksumSum(pseudo.data(), pseudo.size())));
    if (checksum == 0) {
        checksum = 0xFFFF;  // 0 would mean "no checksum"
    }
    udp[kUdpChecksumOffset] = static_cast<uint8_t>(checksum >> 8);
    udp[kUdpChecksumOffset + 1] = static_cast<uint8_t>(checksum);
    return ipv4Frame(kProtocolUdp, route.source, route.destination, identification, udp.data(),
                     udp.size());
}

}  // namespace tarn::recording
