#include "tools/tarn/settings_text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iterator>

#include "tools/tarn/address.h"

namespace tarn::cli {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr int kBitsPerDigit = 4;
constexpr uint8_t kLowNibble = 0x0F;

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    const int lower = std::tolower(static_cast<unsigned char>(c));
    return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

std::string hexByte(uint8_t byte) {
    return {kHexDigits[byte >> kBitsPerDigit], kHexDigits[byte & kLowNibble]};
}

}  // namespace

std::string toHex(const SettingsRecord& record) {
    std::string text;
    for (const uint8_t byte : record) {
        text += hexByte(byte);
    }
    return text;
}

std::optional<SettingsRecord> parseHex(const std::string& text) {
    SettingsRecord record{};
    std::size_t digits = 0;
    for (const char c : text) {
        if (c == ' ' || c == ':' || c == '-') {
            continue;
        }
        const int value = hexValue(c);
        if (value < 0 || digits >= 2 * record.size()) {
            return std::nullopt;
        }
        uint8_t& byte = record[digits / 2];
        byte = static_cast<uint8_t>(byte << kBitsPerDigit | value);
        ++digits;
    }
    if (digits != 2 * record.size()) {
        return std::nullopt;
    }
    return record;
}

std::string formatMac(const Mac& mac) {
    std::string text;
    for (std::size_t i = 0; i < mac.size(); ++i) {
        text += (i == 0 ? "" : ":") + hexByte(mac[i]);
    }
    return text;
}

std::optional<Mac> parseMac(const std::string& text) {
    constexpr std::size_t kTextLength = 17;  // six pairs and five separators
    Mac mac{};
    if (text.size() != kTextLength) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < mac.size(); ++i) {
        const int high = hexValue(text[3 * i]);
        const int low = hexValue(text[3 * i + 1]);
        const bool separated = i + 1 == mac.size() || text[3 * i + 2] == text[2];
        if (high < 0 || low < 0 || !separated || (text[2] != ':' && text[2] != '-')) {
            return std::nullopt;
        }
        mac[i] = static_cast<uint8_t>(high << kBitsPerDigit | low);
    }
    return mac;
}

tarn_net_settings membersOf(const SettingsRecord& record) {
    tarn_net_settings settings{};
    tarn_net_settings_read(record.data(), &settings);
    return settings;
}

SettingsRecord recordOf(const tarn_net_settings& settings) {
    SettingsRecord record{};
    tarn_net_settings_write(&settings, record.data());
    return record;
}

std::string describe(const SettingsRecord& record) {
    const tarn_net_settings s = membersOf(record);
    const auto ipv4 = [](const uint8_t(&member)[4]) {
        return formatIpv4({member[0], member[1], member[2], member[3]});
    };
    Mac mac{};
    std::copy(std::begin(s.mac), std::end(s.mac), mac.begin());
    const bool reservedZero =
        std::all_of(std::begin(s.reserved), std::end(s.reserved), [](uint8_t b) { return b == 0; });
    char text[512];
    std::snprintf(text, sizeof text,
                  "  address       %s\n"
                  "  netmask       %s\n"
                  "  gateway       %s\n"
                  "  host address  %s\n"
                  "  data port     %u\n"
                  "  host port     %u\n"
                  "  mac           %s\n"
                  "  other bytes   %s\n",
                  ipv4(s.address).c_str(), ipv4(s.netmask).c_str(), ipv4(s.gateway).c_str(),
                  ipv4(s.host_address).c_str(), s.data_port, s.host_port, formatMac(mac).c_str(),
                  reservedZero ? "zero" : "not zero (see the hex)");
    return text;
}

}  // namespace tarn::cli
