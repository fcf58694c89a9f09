#include "control/ip_format.h"

#include <arpa/inet.h>

#include <cstddef>

namespace tarn::control {
namespace {

constexpr int kComponents = 4;
constexpr std::size_t kMaxDigits = 3;
constexpr unsigned kMaxComponent = 255;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reads one component at pos, advancing pos past its digits.
bool readComponent(const std::string& text, std::size_t& pos) {
    std::size_t digits = 0;
    unsigned value = 0;
    while (pos < text.size() && digits < kMaxDigits && isDigit(text[pos])) {
        value = value * 10 + static_cast<unsigned>(text[pos] - '0');
        ++pos;
        ++digits;
    }
    return digits > 0 && value <= kMaxComponent;
}

}  // namespace

bool isDottedQuad(const std::string& text) {
    std::size_t pos = 0;
    for (int component = 0; component < kComponents; ++component) {
        if (component > 0) {
            if (pos >= text.size() || text[pos] != '.') {
                return false;
            }
            ++pos;
        }
        if (!readComponent(text, pos)) {
            return false;
        }
    }
    return pos == text.size();
}

std::optional<in_addr> controlAddress(const std::string& text) {
    in_addr address{};
    if (!isDottedQuad(text) || inet_pton(AF_INET, text.c_str(), &address) != 1) {
        return std::nullopt;
    }
    return address;
}

}  // namespace tarn::control
