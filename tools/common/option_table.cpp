#include "tools/common/option_table.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace tarn::tools {
namespace {

// Where the help texts of the options begin.
constexpr std::size_t kHelpColumn = 25;

// The tools' help layout: usage and description first, then the option groups, then examples;
// an option shows its value's form ("--to A:P"), nothing else.
class Layout : public CLI::Formatter {
  public:
    Layout() { column_width(kHelpColumn); }

    std::string make_help(const CLI::App* app, std::string,
                          CLI::AppFormatMode mode) const override {
        std::string text = app->get_description() + "\n" + make_groups(app, mode);
        if (!app->get_footer().empty()) {
            text += "\n" + app->get_footer();
        }
        // CLI11 puts two blank lines between groups; the tools' texts have one.
        for (std::size_t at = text.find("\n\n\n"); at != std::string::npos;
             at = text.find("\n\n\n", at)) {
            text.erase(at, 1);
        }
        return text;
    }

    std::string make_option_opts(const CLI::Option* option) const override {
        return option->get_type_size() == 0 ? std::string() : " " + option->get_type_name();
    }
};

// Shortest decimal text of a bound, so messages say "0.1 to 1000" rather than "0.100000".
std::string boundText(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// CLI11's message, in the words of the tools' other messages.
std::string faultOf(const CLI::ParseError& e) {
    const std::string message = e.what();
    const std::string name = message.substr(0, message.find(':'));
    if (dynamic_cast<const CLI::ValidationError*>(&e) != nullptr) {
        return replaced(message, ": ", " ");
    }
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr) {
        return name + (message.find("missing") != std::string::npos ? " needs a value"
                                                                    : " is given twice");
    }
    if (dynamic_cast<const CLI::ExcludesError*>(&e) != nullptr) {
        return replaced(message, " excludes ", " and ") + " exclude each other";
    }
    if (dynamic_cast<const CLI::RequiresError*>(&e) != nullptr) {
        return replaced(message, " requires ", " needs ");
    }
    return message;
}

}  // namespace

void describeCommand(CLI::App& app, const std::string& usage, const std::string& description,
                     const std::string& examples) {
    app.formatter(std::make_shared<Layout>());
    app.set_help_flag();  // parseCommandLine answers --help before CLI11 sees the words
    app.allow_extras();   // and refuses them itself, with the first one named
    app.description(description.empty() ? usage : usage + "\n" + description);
    app.footer(examples.empty() ? "" : "Examples:\n" + examples);
}

std::string helpText(const CLI::App& app) {
    return app.help();
}

bool parseCommandLine(CLI::App& app, const std::vector<std::string>& words) {
    for (const std::string& word : words) {
        if (word == "--") {
            break;
        }
        if (word == "--help" || word == "-h") {
            std::fputs(helpText(app).c_str(), stdout);
            return false;
        }
    }
    std::vector<std::string> reversed(words.rbegin(), words.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        throw UsageError(faultOf(e));
    }
    const std::vector<std::string> extras = app.remaining();
    if (!extras.empty()) {
        const std::string& word = extras.front();
        if (word.size() > 1 && word[0] == '-') {
            throw UsageError("unknown option " + word.substr(0, word.find('=')));
        }
        throw UsageError("unexpected argument '" + word + "'");
    }
    return true;
}

CLI::Validator numberIn(double low, double high) {
    return CLI::Validator(
        [low, high](std::string& text) -> std::string {
            char* end = nullptr;
            errno = 0;
            const double value = std::strtod(text.c_str(), &end);
            if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])) != 0 ||
                *end != '\0' || errno != 0 || !std::isfinite(value) || value < low ||
                value > high) {
                return "must be a number from " + boundText(low) + " to " + boundText(high) +
                       ", not '" + text + "'";
            }
            return "";
        },
        "");
}

CLI::Validator wholeNumberIn(long low, long high) {
    return CLI::Validator(
        [low, high](std::string& text) -> std::string {
            long value = 0;
            if (!parseInteger(text, low, high, &value)) {
                return "must be a whole number from " + std::to_string(low) + " to " +
                       std::to_string(high) + ", not '" + text + "'";
            }
            return "";
        },
        "");
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

}  // namespace tarn::tools
