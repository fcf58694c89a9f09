#include "tools/common/address.h"

#include <arpa/inet.h>

#include <cstring>

#include "KESOApi.h"
#include "tools/common/option_table.h"

namespace tarn::tools {
namespace {

constexpr uint8_t kLoopbackFirstOctet = 127;
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

Endpoint parseEndpoint(const std::string& option, const std::string& text,
                       const EndpointRule& rule) {
    const std::size_t colon = text.rfind(':');
    const std::string address = text.substr(0, colon);
    Endpoint endpoint;
    endpoint.address = formatIpv4(rule.loopbackOnly ? loopbackAddress(option, address)
                                                    : deviceAddress(option, address));
    endpoint.port = rule.defaultPort;
    if (colon == std::string::npos) {
        return endpoint;
    }
    long port = 0;
    if (!parseInteger(text.substr(colon + 1), rule.minPort, rule.maxPort, &port)) {
        throw UsageError(
            "--" + option + " '" + text + "': the port must be " +
            (rule.minPort == rule.maxPort
                 ? std::to_string(rule.minPort)
                 : "from " + std::to_string(rule.minPort) + " to " + std::to_string(rule.maxPort)));
    }
    endpoint.port = static_cast<uint16_t>(port);
    endpoint.portGiven = true;
    return endpoint;
}

CLI::Option* addEndpointOption(CLI::App& app, const std::string& name, Endpoint& target,
                               const EndpointRule& rule, const std::string& help) {
    return app
        .add_option_function<std::string>(
            "--" + name,
            [name, &target, rule](const std::string& text) {
                target = parseEndpoint(name, text, rule);
            },
            help)
        ->type_name("A[:P]");
}

CLI::Option* addEndpointsOption(CLI::App& app, const std::string& name,
                                std::vector<Endpoint>& targets, const EndpointRule& rule,
                                const std::string& help) {
    return app
        .add_option_function<std::vector<std::string>>(
            "--" + name,
            [name, &targets, rule](const std::vector<std::string>& texts) {
                for (const std::string& text : texts) {
                    targets.push_back(parseEndpoint(name, text, rule));
                }
            },
            help)
        ->type_name("A[:P]")
        ->allow_extra_args(false);
}

}  // namespace tarn::tools
