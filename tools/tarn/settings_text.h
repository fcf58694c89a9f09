// The sensor's 44-byte network settings as text: hexadecimal for copying whole records, and the
// members of the layout the simulated sensor uses (sim/control_server.h) for reading and changing
// single settings.
#ifndef TARN_TOOLS_TARN_SETTINGS_TEXT_H
#define TARN_TOOLS_TARN_SETTINGS_TEXT_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "sim/control_server.h"

namespace tarn::cli {

using Mac = std::array<uint8_t, 6>;

// 88 lower-case hexadecimal digits, byte 0 first.
std::string toHex(const sim::SettingsRecord& record);
// 88 hexadecimal digits in either case; spaces, colons and dashes between them are ignored.
std::optional<sim::SettingsRecord> parseHex(const std::string& text);

std::string formatMac(const Mac& mac);
// Six two-digit hexadecimal bytes separated by colons or dashes.
std::optional<Mac> parseMac(const std::string& text);

// One member per line, each line starting with two spaces.
std::string describe(const sim::SettingsRecord& record);

// The record with the members that differ between `from` and `to` written as `to` has them;
// every other byte, reserved ones included, stays as the record holds it.
sim::SettingsRecord applyChanges(const sim::SettingsRecord& record, const sim::NetSettings& from,
                                 const sim::NetSettings& to);

}  // namespace tarn::cli

#endif  // TARN_TOOLS_TARN_SETTINGS_TEXT_H
