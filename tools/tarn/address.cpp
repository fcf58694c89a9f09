#include "tools/tarn/address.h"

#include <arpa/inet.h>

#include <cstring>

#include "KESOApi.h"
#include "tools/tarn/args.h"

namespace tarn::cli {
namespace {

constexpr uint8_t kLoopbackFirstOctet = 127;
constexpr long kMaxPort = 65535;
constexpr int kOctets = 4;

}  // namespace

std::optional<Ipv4> parseIpv4(const std::string& text) {
    if (!KESOCheckIpFormat(text)) {
        return std::nullopt;
    }
    Ipv4 address{};
    std::size_t start = 0;
    for (int i = 0; i < kOctets; ++i) {
        const std::size_t end = i + 1 < kOctets ? text.find('.', start) : text.size();
        const std::string part = text.substr(start, end - start);
        if (part.size() > 1 && part[0] == '0') {
            return std::nullopt;
        }
        address[static_cast<std::size_t>(i)] = static_cast<uint8_t>(std::stoi(part));
        start = end + 1;
    }
    return address;
}

std::string formatIpv4(const Ipv4& address) {
    return std::to_string(address[0]) + "." + std::to_string(address[1]) + "." +
           std::to_string(address[2]) + "." + std::to_string(address[3]);
}

std::optional<Ipv4> connectionTarget(const std::string& text) {
    in_addr parsed{};
    if (inet_aton(text.c_str(), &parsed) == 0) {
        return std::nullopt;
    }
    Ipv4 address{};
    std::memcpy(address.data(), &parsed.s_addr, address.size());
    return address;
}

Ipv4 deviceAddress(const std::string& option, const std::string& text) {
    if (!KESOCheckIpFormat(text)) {
        throw UsageError("--" + option + " '" + text + "' is not a dotted-quad IPv4 address");
    }
    const std::optional<Ipv4> address = parseIpv4(text);
    if (!address) {
        throw UsageError("--" + option + " '" + text +
                         "' has a leading zero, which the connection reads as octal; write it "
                         "without leading zeros");
    }
    return *address;
}

Ipv4 loopbackAddress(const std::string& option, const std::string& text) {
    const Ipv4 address = deviceAddress(option, text);
    if (address[0] != kLoopbackFirstOctet) {
        throw UsageError("--" + option + " '" + text + "' is not a loopback address (127.x.y.z)");
    }
    return address;
}

Endpoint loopbackEndpoint(const std::string& option, const std::string& text, long minPort) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        throw UsageError("--" + option + " '" + text + "' must be ADDRESS:PORT");
    }
    Endpoint endpoint;
    endpoint.address = formatIpv4(loopbackAddress(option, text.substr(0, colon)));
    long port = 0;
    if (!parseInteger(text.substr(colon + 1), minPort, kMaxPort, &port)) {
        throw UsageError("--" + option + " '" + text + "': the port must be from " +
                         std::to_string(minPort) + " to 65535");
    }
    endpoint.port = static_cast<uint16_t>(port);
    return endpoint;
}

}  // namespace tarn::cli
