// Address texts as the tool takes them. A sensor address must pass the library's own check
// (KESOCheckIpFormat) and carry no leading zeros: the library's connection reads a component with
// a leading zero as octal, so "192.168.1.010" would reach 192.168.1.8.
#ifndef TARN_TOOLS_TARN_ADDRESS_H
#define TARN_TOOLS_TARN_ADDRESS_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace tarn::cli {

using Ipv4 = std::array<uint8_t, 4>;  // in dotted order

struct Endpoint {
    std::string address;  // dotted, as given
    uint16_t port = 0;
};

// The address, or nullopt when the library refuses the text or a component has a leading zero.
std::optional<Ipv4> parseIpv4(const std::string& text);
std::string formatIpv4(const Ipv4& address);

// Where the library's connection would really go for a text KESOCheckIpFormat accepts ("10.0.0.010"
// reaches 10.0.0.8), or nullopt when it yields no usable address ("10.0.0.08").
std::optional<Ipv4> connectionTarget(const std::string& text);

// The option's value as a sensor address; throws UsageError naming the option otherwise.
Ipv4 deviceAddress(const std::string& option, const std::string& text);
// As deviceAddress, and within 127.0.0.0/8.
Ipv4 loopbackAddress(const std::string& option, const std::string& text);
// "A:P" with A a loopback address and P from minPort to 65535; throws UsageError otherwise.
Endpoint loopbackEndpoint(const std::string& option, const std::string& text, long minPort);

}  // namespace tarn::cli

#endif  // TARN_TOOLS_TARN_ADDRESS_H
