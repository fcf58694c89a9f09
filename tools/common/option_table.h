// The tools' command lines, read with CLI11. Each command registers its options on a CLI::App;
// that table is the only source of its usage text (the help is formatted from it) and of its
// checks (validators and callbacks). A command line the table refuses becomes one UsageError
// naming the fault.
#ifndef TARN_TOOLS_OPTION_TABLE_H
#define TARN_TOOLS_OPTION_TABLE_H

#include <CLI/CLI.hpp>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarn::tools {

// A command line the tool refuses; the message is one line and names what is wrong.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Gives app the tools' help layout: the first line of usage ("usage: tarn replay FILE.pcap
// [options]"), the description, the options by group, then the examples. Words that are
// neither options nor positionals of app are refused by parseCommandLine.
void describeCommand(CLI::App& app, const std::string& usage, const std::string& description,
                     const std::string& examples);

// The help text of app, as --help prints it.
std::string helpText(const CLI::App& app);

// Parses words (the words after the command's name) into app's options. Returns false when
// they ask for help (--help or -h anywhere: nothing else is checked), after printing the help on
// standard output. Throws UsageError for an unknown option, a missing value, a single option
// given twice, a value a validator refuses and a stray word.
bool parseCommandLine(CLI::App& app, const std::vector<std::string>& words);

// Validators whose refusals read "--fps must be a number from 0.1 to 1000, not '0'".
CLI::Validator numberIn(double low, double high);
CLI::Validator wholeNumberIn(long low, long high);

// Reads a whole decimal integer (or 0x-prefixed hexadecimal with allowHex) within [low, high];
// false for anything else, including signs on hexadecimal and trailing characters.
bool parseInteger(const std::string& text, long low, long high, long* value, bool allowHex = false);

}  // namespace tarn::tools

#endif  // TARN_TOOLS_OPTION_TABLE_H
