// Ctrl-C and SIGTERM as a stop request. The signals are blocked in every thread and taken only
// while the main thread sleeps, so a stop ends a wait at once and no handler runs at an awkward
// moment. A failed write to standard output is a stop request too: nobody reads the status
// lines any more, so a command that runs until stopped ends (a recording finished) instead of
// running on unseen.
#ifndef TARN_TOOLS_TARN_STOP_SIGNAL_H
#define TARN_TOOLS_TARN_STOP_SIGNAL_H

#include <chrono>
#include <csignal>

namespace tarn::cli {

class StopSignal {
  public:
    using Clock = std::chrono::steady_clock;

    // Blocks SIGINT and SIGTERM for the calling thread and the threads it starts from now on;
    // create it on the main thread before any other thread starts. The signals stay blocked
    // after it is gone, so a second Ctrl-C during the shutdown cannot kill the process halfway.
    StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    // Sleeps until deadline; false as soon as a stop was requested (now or earlier), or at once
    // when standard output has failed.
    bool sleepUntil(Clock::time_point deadline);
    bool stopped() const { return stopped_; }

  private:
    sigset_t signals_;
    bool stopped_ = false;  // main thread only
};

}  // namespace tarn::cli

#endif  // TARN_TOOLS_TARN_STOP_SIGNAL_H
