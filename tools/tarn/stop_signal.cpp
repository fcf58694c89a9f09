#include "tools/tarn/stop_signal.h"

#include <pthread.h>

#include <cerrno>
#include <ctime>

#include "tools/tarn/output.h"

namespace tarn::cli {

StopSignal::StopSignal() {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
}

bool StopSignal::sleepUntil(Clock::time_point deadline) {
    if (outputFailed()) {
        stopped_ = true;
    }
    while (!stopped_) {
        const auto left = deadline - Clock::now();
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
        const auto nanoseconds =
            std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds);
        timespec wait{};
        if (left > Clock::duration::zero()) {
            wait.tv_sec = static_cast<time_t>(seconds.count());
            wait.tv_nsec = static_cast<long>(nanoseconds.count());
        }
        // A zero wait still takes a signal that is already pending.
        if (sigtimedwait(&signals_, nullptr, &wait) >= 0) {
            stopped_ = true;
        } else if (errno == EAGAIN && left <= Clock::duration::zero()) {
            return true;
        } else if (errno != EAGAIN && errno != EINTR) {
            return true;
        }
    }
    return false;
}

}  // namespace tarn::cli
