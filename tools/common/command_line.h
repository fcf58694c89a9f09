// A small reader of "--name value" command lines for the tools. Every option is read with a
// fallback; options that no reader asked for are reported, so typos do not pass unnoticed.
#ifndef TARN_TOOLS_COMMAND_LINE_H
#define TARN_TOOLS_COMMAND_LINE_H

#include <map>
#include <set>
#include <string>
#include <vector>

namespace tarn::tools {

class CommandLine {
  public:
    // Throws std::invalid_argument for a stray word or an option without a value.
    CommandLine(int argc, char** argv);

    bool helpRequested() const { return help_; }

    std::string text(const std::string& name, const std::string& fallback);
    // Throws std::invalid_argument when the value is not a number within [low, high].
    double number(const std::string& name, double fallback, double low, double high);
    long integer(const std::string& name, long fallback, long low, long high);

    // Options given but never asked for.
    std::vector<std::string> unread() const;

  private:
    std::map<std::string, std::string> values_;
    std::set<std::string> read_;
    bool help_ = false;
};

}  // namespace tarn::tools

#endif  // TARN_TOOLS_COMMAND_LINE_H
