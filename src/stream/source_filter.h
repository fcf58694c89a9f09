// Which datagrams a stream accepts: those from one IPv4 address and one of two source ports.
#ifndef TARN_STREAM_SOURCE_FILTER_H
#define TARN_STREAM_SOURCE_FILTER_H

#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace tarn::stream {

// The sensor's second data source port, accepted besides the connection's device port.
constexpr uint16_t kAlternateDevicePort = 6301;

struct SourceFilter {
    uint32_t address = 0;  // network byte order
    uint16_t port = 0;
    uint16_t alternatePort = 0;  // 0: none
    bool acceptsNothing = true;

    bool accepts(const sockaddr_in& source) const;
    // The filter for an address text: it accepts nothing unless the text is exactly the standard
    // printed form of an IPv4 address.
    static SourceFilter forAddressText(const char* address, uint16_t port, uint16_t alternatePort);
};

// True when a datagram from `source` belongs to the device at deviceIp (exact printed form), from
// devicePort or kAlternateDevicePort.
bool isDeviceSource(const sockaddr_in& source, const std::string& deviceIp, uint16_t devicePort);

}  // namespace tarn::stream

#endif  // TARN_STREAM_SOURCE_FILTER_H
