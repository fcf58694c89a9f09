// The tarn subcommands. Each takes the words after its name and returns the exit status; it
// throws UsageError for a bad command line and Failure for a failure with its own status.
#ifndef TARN_TOOLS_TARN_COMMANDS_H
#define TARN_TOOLS_TARN_COMMANDS_H

#include <string>
#include <vector>

namespace tarn::cli {

using Words = std::vector<std::string>;

int runSim(const Words& words);
int runNet(const Words& words);
int runStream(const Words& words);
int runRecord(const Words& words);
int runReplay(const Words& words);
int runInfo(const Words& words);
int runExport(const Words& words);
int runView(const Words& words);
int runRos2(const Words& words);

// Runs a subcommand, turns its exceptions into a one-line message on standard error prefixed
// with name ("tarn net get"), checks that standard output took everything (finishOutput), and
// returns the exit status.
int runGuarded(const std::string& name, int (*command)(const Words&), const Words& words);

}  // namespace tarn::cli

#endif  // TARN_TOOLS_TARN_COMMANDS_H
