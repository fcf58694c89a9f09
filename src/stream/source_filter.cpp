#include "stream/source_filter.h"

#include <arpa/inet.h>

#include <cstring>

namespace tarn::stream {

namespace {
constexpr std::size_t kAddressTextBytes = 16;
}  // namespace

bool SourceFilter::accepts(const sockaddr_in& source) const {
    if (acceptsNothing || source.sin_addr.s_addr != address) {
        return false;
    }
    const uint16_t sourcePort = ntohs(source.sin_port);
    return sourcePort == port || (alternatePort != 0 && sourcePort == alternatePort);
}

SourceFilter SourceFilter::forAddressText(const char* address, uint16_t port,
                                          uint16_t alternatePort) {
    SourceFilter filter;
    filter.port = port;
    filter.alternatePort = alternatePort;
    in_addr parsed{};
    char printed[kAddressTextBytes] = {};
    if (address != nullptr && inet_pton(AF_INET, address, &parsed) == 1 &&
        inet_ntop(AF_INET, &parsed, printed, sizeof printed) != nullptr &&
        std::strcmp(printed, address) == 0) {
        filter.address = parsed.s_addr;
        filter.acceptsNothing = false;
    }
    return filter;
}

bool isDeviceSource(const sockaddr_in& source, const std::string& deviceIp, uint16_t devicePort) {
    return SourceFilter::forAddressText(deviceIp.c_str(), devicePort, kAlternateDevicePort)
        .accepts(source);
}

}  // namespace tarn::stream
