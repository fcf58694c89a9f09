// How long tarn stream and tarn record run: a number of frames, a duration, an idle time, or until
// Ctrl-C; and the once-a-second tick of their status lines.
#ifndef TARN_TOOLS_TARN_RUN_BOUNDS_H
#define TARN_TOOLS_TARN_RUN_BOUNDS_H

#include <chrono>
#include <cstdint>

#include "tools/tarn/options.h"

namespace tarn::cli {

struct RunBounds {
    uint64_t frames = 0;  // 0: no bound
    double seconds = 0.0;
    double idleSeconds = 0.0;  // no datagram for this long after the first
};

// Registers --frames, --duration and --idle into bounds, in a group of their own.
void addRunBounds(CLI::App& app, RunBounds& bounds);

// Not thread-safe: the main thread asks.
class RunClock {
  public:
    using Clock = std::chrono::steady_clock;

    explicit RunClock(const RunBounds& bounds);

    Clock::time_point start() const { return start_; }
    double elapsed() const;
    // True once a bound is reached, given the frames and datagrams counted so far.
    bool done(uint64_t frames, uint64_t datagrams);
    // How long the next wait may last: until the next tick or the end, at most maxMs.
    int waitMs(int maxMs) const;
    // True once each second.
    bool tickDue();

  private:
    RunBounds bounds_;
    Clock::time_point start_;
    Clock::time_point end_;
    Clock::time_point nextTick_;
    Clock::time_point lastArrival_;
    uint64_t lastDatagrams_ = 0;
};

}  // namespace tarn::cli

#endif  // TARN_TOOLS_TARN_RUN_BOUNDS_H
