#include "tools/common/command_line.h"

#include <cmath>
#include <cstdlib>
#include <stdexcept>

namespace tarn::tools {

CommandLine::CommandLine(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            help_ = true;
            continue;
        }
        if (word.rfind("--", 0) != 0 || word.size() < 3) {
            throw std::invalid_argument("unexpected argument: " + word);
        }
        if (i + 1 >= argc) {
            throw std::invalid_argument("option " + word + " needs a value");
        }
        values_[word.substr(2)] = argv[++i];
    }
}

std::string CommandLine::text(const std::string& name, const std::string& fallback) {
    read_.insert(name);
    const auto found = values_.find(name);
    return found == values_.end() ? fallback : found->second;
}

double CommandLine::number(const std::string& name, double fallback, double low, double high) {
    read_.insert(name);
    const auto found = values_.find(name);
    if (found == values_.end()) {
        return fallback;
    }
    const char* begin = found->second.c_str();
    char* end = nullptr;
    const double value = std::strtod(begin, &end);
    if (end == begin || *end != '\0' || !std::isfinite(value) || value < low || value > high) {
        throw std::invalid_argument("--" + name + " must be a number from " + std::to_string(low) +
                                    " to " + std::to_string(high) + ", not " + found->second);
    }
    return value;
}

long CommandLine::integer(const std::string& name, long fallback, long low, long high) {
    const double value = number(name, static_cast<double>(fallback), static_cast<double>(low),
                                static_cast<double>(high));
    if (value != std::floor(value)) {
        throw std::invalid_argument("--" + name + " must be a whole number");
    }
    return static_cast<long>(value);
}

std::vector<std::string> CommandLine::unread() const {
    std::vector<std::string> result;
    for (const auto& entry : values_) {
        if (read_.count(entry.first) == 0) {
            result.push_back("--" + entry.first);
        }
    }
    return result;
}

}  // namespace tarn::tools
