// Ethernet II / IPv4 frames around captured payloads, as a capture file stores them: the UDP
// datagrams of a stream with their real addresses and ports, and any other IPv4 payload.
#ifndef TARN_RECORDING_PACKETS_H
#define TARN_RECORDING_PACKETS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarn::recording {

using Ipv4 = std::array<uint8_t, 4>;  // in dotted order

constexpr uint8_t kProtocolTcp = 6;
constexpr uint8_t kProtocolUdp = 17;
constexpr std::size_t kEthernetHeaderBytes = 14;
constexpr std::size_t kIpv4HeaderBytes = 20;
constexpr std::size_t kUdpHeaderBytes = 8;

struct Route {
    Ipv4 source{};
    uint16_t sourcePort = 0;
    Ipv4 destination{};
    uint16_t destinationPort = 0;
};

// An Ethernet II frame with an IPv4 header (no options, header checksum set) and the transport
// bytes. The hardware addresses are locally administered ones made from the IPv4 addresses, so
// each host keeps one address throughout a capture. The transport bytes may be at most
// 65515 bytes.
std::vector<uint8_t> ipv4Frame(uint8_t protocol, const Ipv4& source, const Ipv4& destination,
                               uint16_t identification, const uint8_t* transport,
                               std::size_t length);

// A UDP datagram (checksum set) in an Ethernet II / IPv4 frame.
std::vector<uint8_t> udpFrame(const Route& route, uint16_t identification, const uint8_t* payload,
                              std::size_t length);

// The Internet checksum's running sum over bytes, to be folded by internetChecksum.
uint32_t checksumSum(const uint8_t* bytes, std::size_t length, uint32_t sum = 0);
uint16_t internetChecksum(uint32_t sum);

}  // namespace tarn::recording

#endif  // TARN_RECORDING_PACKETS_H
