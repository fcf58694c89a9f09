// Address texts as the tools take them. A sensor address must pass the library's own check
// (KESOCheckIpFormat) and carry no leading zeros: the library's connection reads a component with
// a leading zero as octal, so "192.168.1.010" would reach 192.168.1.8.
//
// Every command names its endpoints the same way: --device (a sensor), --to (a destination) and
// --from (a source), each ADDRESS or ADDRESS:PORT, read by parseEndpoint.
#ifndef TARN_TOOLS_ADDRESS_H
#define TARN_TOOLS_ADDRESS_H

#include <CLI/CLI.hpp>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarn::tools {

using Ipv4 = std::array<uint8_t, 4>;  // in dotted order

struct Endpoint {
    std::string address;  // dotted, without leading zeros
    uint16_t port = 0;
    bool portGiven = false;  // the text said ADDRESS:PORT
};

// How a command takes one kind of endpoint.
struct EndpointRule {
    uint16_t defaultPort = 0;  // without ":PORT"
    long minPort = 1;
    long maxPort = 65535;
    bool loopbackOnly = false;  // ADDRESS within 127.0.0.0/8
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

// "ADDRESS" or "ADDRESS:PORT" under rule; throws UsageError naming --option otherwise.
Endpoint parseEndpoint(const std::string& option, const std::string& text,
                       const EndpointRule& rule);

// Registers --name ADDRESS[:PORT], read into target by parseEndpoint.
CLI::Option* addEndpointOption(CLI::App& app, const std::string& name, Endpoint& target,
                               const EndpointRule& rule, const std::string& help);
// The same, repeatable: each one given is appended to targets.
CLI::Option* addEndpointsOption(CLI::App& app, const std::string& name,
                                std::vector<Endpoint>& targets, const EndpointRule& rule,
                                const std::string& help);

}  // namespace tarn::tools

#endif  // TARN_TOOLS_ADDRESS_H
