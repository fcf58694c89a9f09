// The tarn command's option reader. Each subcommand declares its options; the reader refuses an
// unknown option, a missing value or a single option given twice, and converts values with a
// one-line error naming the option, so nothing is sent before the whole command line is valid.
#ifndef TARN_TOOLS_TARN_ARGS_H
#define TARN_TOOLS_TARN_ARGS_H

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarn::cli {

// A command line the tool refuses; the message is one line and names what is wrong.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

enum class OptionKind {
    value,     // --name V or --name=V, at most once
    repeated,  // --name V, any number of times
    flag,      // --name, without a value
};

struct OptionSpec {
    const char* name;  // without the leading dashes
    OptionKind kind;
};

class Args {
  public:
    // Throws UsageError. With --help (or -h) anywhere, nothing else is checked.
    Args(const std::vector<std::string>& words, const std::vector<OptionSpec>& options);

    bool help() const { return help_; }
    bool has(const std::string& name) const { return values_.count(name) != 0; }
    bool flag(const std::string& name) const { return has(name); }

    std::string text(const std::string& name, const std::string& fallback) const;
    std::vector<std::string> texts(const std::string& name) const;
    // Throws UsageError unless the value is a number within [low, high].
    double number(const std::string& name, double fallback, double low, double high) const;
    long integer(const std::string& name, long fallback, long low, long high) const;

    // Words that are not options, in order.
    const std::vector<std::string>& positional() const { return positional_; }
    // Throws UsageError unless there are between min and max positional words.
    void expectPositional(std::size_t min, std::size_t max, const char* what) const;

  private:
    std::map<std::string, std::vector<std::string>> values_;
    std::vector<std::string> positional_;
    bool help_ = false;
};

// Reads a whole decimal integer (or 0x-prefixed hexadecimal with allowHex) within [low, high];
// false for anything else, including signs on hexadecimal and trailing characters.
bool parseInteger(const std::string& text, long low, long high, long* value, bool allowHex = false);

}  // namespace tarn::cli

#endif  // TARN_TOOLS_TARN_ARGS_H
