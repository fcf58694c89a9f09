// The tool's standard streams. Descriptors 0 to 2 are always open, so a file the tool opens never
// takes their place (a capture file on descriptor 1 would receive the status lines); a closed pipe
// is a write error, not a fatal signal; and a failed write to standard output is noticed: a
// command that runs until stopped ends on it, and the tool exits with a status of its own and one
// line on standard error.
#ifndef TARN_TOOLS_TARN_OUTPUT_H
#define TARN_TOOLS_TARN_OUTPUT_H

#include <string>

namespace tarn::cli {

// Call first in main, before any file is opened or thread started. Opens /dev/null onto each of
// descriptors 0 to 2 that is closed, read-only, so a write there fails as it would on the closed
// descriptor; ignores SIGPIPE; makes standard output line-buffered, with the reason of its first
// failed write kept. False when a closed descriptor cannot be replaced.
bool prepareStandardStreams();

// True once a write to standard output failed. Commands that run until stopped check it after
// their status lines and end as on a stop request (a recording is finished first). Any thread.
bool outputFailed();

// Flushes standard output. When a write to it failed, prints "NAME: cannot write standard
// output: REASON" on standard error, forgets the failure (so an enclosing command does not report
// it again) and returns ExitStatus::output for a status of success or of no data (the command
// ended on the failure before data came), else status.
int finishOutput(const std::string& name, int status);

}  // namespace tarn::cli

#endif  // TARN_TOOLS_TARN_OUTPUT_H
