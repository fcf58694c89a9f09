// The sensor's 44-byte network settings as text: hexadecimal for copying whole records, and the
// members of the library's layout (tarn/net_settings.h) for reading and changing single settings.
#ifndef TARN_TOOLS_TARN_SETTINGS_TEXT_H
#define TARN_TOOLS_TARN_SETTINGS_TEXT_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "tarn/net_settings.h"

namespace tarn::cli {

using SettingsRecord = std::array<uint8_t, TARN_NET_SETTINGS_BYTES>;
using Mac = std::array<uint8_t, 6>;

// 88 lower-case hexadecimal digits, byte 0 first.
std::string toHex(const SettingsRecord& record);
// 88 hexadecimal digits in either case; spaces, colons and dashes between them are ignored.
std::optional<SettingsRecord> parseHex(const std::string& text);

std::string formatMac(const Mac& mac);
// Six two-digit hexadecimal bytes separated by colons or dashes.
std::optional<Mac> parseMac(const std::string& text);

tarn_net_settings membersOf(const SettingsRecord& record);
SettingsRecord recordOf(const tarn_net_settings& settings);

// One member per line, each line starting with two spaces; the reserved bytes as "zero" or "not
// zero".
std::string describe(const SettingsRecord& record);

}  // namespace tarn::cli

#endif  // TARN_TOOLS_TARN_SETTINGS_TEXT_H
