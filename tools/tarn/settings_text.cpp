#include "tools/tarn/settings_text.h"

#include <cctype>
#include <cstdio>

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

std::string toHex(const sim::SettingsRecord& record) {
    std::string text;
    for (const uint8_t byte : record) {
        text += hexByte(byte);
    }
    return text;
}

std::optional<sim::SettingsRecord> parseHex(const std::string& text) {
    sim::SettingsRecord record{};
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

std::string describe(const sim::SettingsRecord& record) {
    const sim::NetSettings s = sim::decodeSettings(record);
    const bool reservedZero = sim::encodeSettings(s) == record;
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
                  formatIpv4(s.address).c_str(), formatIpv4(s.netmask).c_str(),
                  formatIpv4(s.gateway).c_str(), formatIpv4(s.hostAddress).c_str(), s.dataPort,
                  s.hostPort, formatMac(s.mac).c_str(),
                  reservedZero ? "zero" : "not zero (see the hex)");
    return text;
}

sim::SettingsRecord applyChanges(const sim::SettingsRecord& record, const sim::NetSettings& from,
                                 const sim::NetSettings& to) {
    const sim::SettingsRecord before = sim::encodeSettings(from);
    const sim::SettingsRecord after = sim::encodeSettings(to);
    sim::SettingsRecord result = record;
    for (std::size_t i = 0; i < result.size(); ++i) {
        if (before[i] != after[i]) {
            result[i] = after[i];
        }
    }
    return result;
}

}  // namespace tarn::cli
