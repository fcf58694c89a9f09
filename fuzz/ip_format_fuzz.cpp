// Checks the address form check and the control link's address reading against a reference
// reading of the accepted set on arbitrary texts.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <regex>
#include <string>

#include "KESOApi.h"
#include "control/ip_format.h"

namespace {

// Longer texts cannot be addresses; they only slow the reference expression down.
constexpr std::size_t kMaxText = 64;

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// The accepted set as the defining expression states it.
const std::regex& dottedQuad() {
    static const std::regex expression(
        "^((25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)\\.){3}(25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)$");
    return expression;
}

// A dotted quad whose components carry no leading zero, and the address it names.
std::optional<uint32_t> decimalAddress(const std::string& text) {
    if (!std::regex_match(text, dottedQuad())) {
        return std::nullopt;
    }
    uint32_t address = 0;
    std::size_t start = 0;
    for (int component = 0; component < 4; ++component) {
        const std::size_t end = component < 3 ? text.find('.', start) : text.size();
        const std::string digits = text.substr(start, end - start);
        if (digits.size() > 1 && digits[0] == '0') {
            return std::nullopt;
        }
        address = address << 8 | static_cast<uint32_t>(std::stoul(digits));
        start = end + 1;
    }
    return address;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size > kMaxText) {
        return 0;
    }
    const std::string text(reinterpret_cast<const char*>(data), size);
    check(KESOCheckIpFormat(text) == std::regex_match(text, dottedQuad()));

    const std::optional<in_addr> read = tarn::control::controlAddress(text);
    const std::optional<uint32_t> expected = decimalAddress(text);
    check(read.has_value() == expected.has_value());
    if (read) {
        check(ntohl(read->s_addr) == *expected);
    }
    return 0;
}
