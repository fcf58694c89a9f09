#include "tools/tarn/args.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tarn::cli {
namespace {

const OptionSpec* findSpec(const std::vector<OptionSpec>& options, const std::string& name) {
    for (const OptionSpec& option : options) {
        if (name == option.name) {
            return &option;
        }
    }
    return nullptr;
}

// Shortest decimal text of a bound, so messages say "0.1 to 1000" rather than "0.100000".
std::string boundText(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

}  // namespace

Args::Args(const std::vector<std::string>& words, const std::vector<OptionSpec>& options) {
    for (const std::string& word : words) {
        if (word == "--help" || word == "-h") {
            help_ = true;
            return;
        }
    }
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word.size() < 3 || word.compare(0, 2, "--") != 0) {
            if (!word.empty() && word[0] == '-' && word != "-") {
                throw UsageError("unknown option " + word);
            }
            positional_.push_back(word);
            continue;
        }
        const std::size_t equals = word.find('=');
        const std::string name = word.substr(2, equals == std::string::npos ? equals : equals - 2);
        const OptionSpec* option = findSpec(options, name);
        if (option == nullptr) {
            throw UsageError("unknown option --" + name);
        }
        std::string value;
        if (option->kind == OptionKind::flag) {
            if (equals != std::string::npos) {
                throw UsageError("--" + name + " takes no value");
            }
        } else if (equals != std::string::npos) {
            value = word.substr(equals + 1);
        } else if (i + 1 < words.size()) {
            value = words[++i];
        } else {
            throw UsageError("--" + name + " needs a value");
        }
        std::vector<std::string>& slot = values_[name];
        if (!slot.empty() && option->kind != OptionKind::repeated) {
            throw UsageError("--" + name + " is given twice");
        }
        slot.push_back(value);
    }
}

std::string Args::text(const std::string& name, const std::string& fallback) const {
    const auto found = values_.find(name);
    return found == values_.end() ? fallback : found->second.front();
}

std::vector<std::string> Args::texts(const std::string& name) const {
    const auto found = values_.find(name);
    return found == values_.end() ? std::vector<std::string>{} : found->second;
}

double Args::number(const std::string& name, double fallback, double low, double high) const {
    const auto found = values_.find(name);
    if (found == values_.end()) {
        return fallback;
    }
    const std::string& text = found->second.front();
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])) != 0 || *end != '\0' ||
        errno != 0 || !std::isfinite(value) || value < low || value > high) {
        throw UsageError("--" + name + " must be a number from " + boundText(low) + " to " +
                         boundText(high) + ", not '" + text + "'");
    }
    return value;
}

long Args::integer(const std::string& name, long fallback, long low, long high) const {
    const auto found = values_.find(name);
    if (found == values_.end()) {
        return fallback;
    }
    long value = 0;
    if (!parseInteger(found->second.front(), low, high, &value)) {
        throw UsageError("--" + name + " must be a whole number from " + std::to_string(low) +
                         " to " + std::to_string(high) + ", not '" + found->second.front() + "'");
    }
    return value;
}

void Args::expectPositional(std::size_t min, std::size_t max, const char* what) const {
    if (positional_.size() < min) {
        throw UsageError(std::string("missing ") + what);
    }
    if (positional_.size() > max) {
        throw UsageError("unexpected argument '" + positional_[max] + "'");
    }
}

bool parseInteger(const std::string& text, long low, long high, long* value, bool allowHex) {
    const bool hex =
        allowHex && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* begin = text.c_str() + (hex ? 2 : 0);
    if (*begin == '\0' || std::isspace(static_cast<unsigned char>(*begin)) != 0 ||
        (hex && (*begin == '-' || *begin == '+'))) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(begin, &end, hex ? 16 : 10);
    if (*end != '\0' || errno != 0 || parsed < low || parsed > high) {
        return false;
    }
    *value = parsed;
    return true;
}

}  // namespace tarn::cli
