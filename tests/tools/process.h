// Runs the tool as a process for the tests: standard output and error go to files, every wait is
// bounded, and a process still running at the end of a test is killed.
#ifndef TARN_TESTS_TOOLS_PROCESS_H
#define TARN_TESTS_TOOLS_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tarn::testing {

using std::chrono::milliseconds;

constexpr milliseconds kToolTimeout{120000};

struct Outcome {
    int status = -1;  // the exit status, or -1 when the process did not end in time
    std::string out;
    std::string err;
};

// The tarn binary under test.
std::string toolPath();

// Where the tool's standard output goes.
enum class Output {
    file,        // a file, read by output()
    closed,      // descriptor 1 closed
    full,        // /dev/full: every write fails with ENOSPC
    closedPipe,  // a pipe whose reader takes lines until one passes a test, then closes it
};

// Whether the reader of an Output::closedPipe has read enough; an empty one takes any line.
using LineTest = std::function<bool(const std::string& line)>;

class ToolProcess {
  public:
    // Starts the tool with args; fails the current test when it cannot start. With
    // Output::closedPipe, returns once a line passing closeAfter is read (output() then gives the
    // lines up to it) and the pipe's reader is closed.
    explicit ToolProcess(const std::vector<std::string>& args, Output to = Output::file,
                         const LineTest& closeAfter = {});
    ~ToolProcess();
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    // True once standard output holds text; false when the process ended or time ran out first.
    bool waitForOutput(const std::string& text, milliseconds timeout = kToolTimeout);
    // True once the process has ended (it is then reaped).
    bool finished();
    // Waits for the end; kills the process when it takes longer than timeout.
    Outcome wait(milliseconds timeout = kToolTimeout);
    // Sends signal, then waits as wait does.
    Outcome stop(int signal, milliseconds timeout = kToolTimeout);
    std::string output() const;

  private:
    void readUntil(int fd, const LineTest& enough);

    pid_t pid_ = -1;
    int status_ = -1;
    std::string outPath_;
    std::string errPath_;
    Output to_;
    std::string lines_;  // what an Output::closedPipe reader took
};

// Runs the tool to its end.
Outcome runTool(const std::vector<std::string>& args, milliseconds timeout = kToolTimeout,
                Output to = Output::file, const LineTest& closeAfter = {});

// 127.a.b.c derived from the process id, so test cases running at the same time (each in a
// process of its own) never share the control port 6501; a is 1 to 254, b any, c 1 to 254.
std::string processLoopbackAddress();
// A loopback address no test process serves: 127.255.b.c.
std::string unservedLoopbackAddress();

// A UDP port free on 127.0.0.1 at this moment.
uint16_t freeUdpPort();

// The number in text right after `label`, or -1 when label is missing.
long long numberAfter(const std::string& text, const std::string& label);

// Lines of text, without their line ends.
std::vector<std::string> linesOf(const std::string& text);

}  // namespace tarn::testing

#endif  // TARN_TESTS_TOOLS_PROCESS_H
