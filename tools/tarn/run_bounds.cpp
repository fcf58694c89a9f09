#include "tools/tarn/run_bounds.h"

#include <algorithm>

namespace tarn::cli {
namespace {

constexpr long kMaxFrames = 1000000000L;
constexpr double kMaxSeconds = 1e7;

RunClock::Clock::duration seconds(double value) {
    return std::chrono::duration_cast<RunClock::Clock::duration>(
        std::chrono::duration<double>(value));
}

}  // namespace

void addRunBounds(CLI::App& app, RunBounds& bounds) {
    const std::string group = "Run (until Ctrl-C without these)";
    app.add_option("--frames", bounds.frames, "stop after N frames")
        ->type_name("N")
        ->check(wholeNumberIn(1, kMaxFrames))
        ->group(group);
    app.add_option("--duration", bounds.seconds, "stop after S seconds")
        ->type_name("S")
        ->check(numberIn(0.001, kMaxSeconds))
        ->group(group);
    app.add_option("--idle", bounds.idleSeconds,
                   "stop when no datagram came for S seconds after the first")
        ->type_name("S")
        ->check(numberIn(0.001, kMaxSeconds))
        ->group(group);
}

RunClock::RunClock(const RunBounds& bounds)
    : bounds_(bounds),
      start_(Clock::now()),
      end_(bounds.seconds > 0.0 ? start_ + seconds(bounds.seconds) : Clock::time_point::max()),
      nextTick_(start_ + std::chrono::seconds(1)),
      lastArrival_(start_) {}

double RunClock::elapsed() const {
    return std::chrono::duration<double>(Clock::now() - start_).count();
}

bool RunClock::done(uint64_t frames, uint64_t datagrams) {
    const Clock::time_point now = Clock::now();
    if (datagrams != lastDatagrams_) {
        lastDatagrams_ = datagrams;
        lastArrival_ = now;
    }
    const bool idle = bounds_.idleSeconds > 0.0 && datagrams > 0 &&
                      now - lastArrival_ >= seconds(bounds_.idleSeconds);
    return (bounds_.frames != 0 && frames >= bounds_.frames) || now >= end_ || idle;
}

int RunClock::waitMs(int maxMs) const {
    const Clock::time_point now = Clock::now();
    const Clock::time_point until = std::min(end_, nextTick_);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
    return static_cast<int>(std::clamp<long long>(left, 0, maxMs));
}

bool RunClock::tickDue() {
    if (Clock::now() < nextTick_) {
        return false;
    }
    nextTick_ += std::chrono::seconds(1);
    return true;
}

}  // namespace tarn::cli
