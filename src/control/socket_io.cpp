#include "control/socket_io.h"

#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace tarn::control {
namespace {

constexpr long kNanosPerMilli = 1000000;
constexpr uint32_t kMillisPerSecond = 1000;
constexpr std::size_t kDiscardChunk = 4096;
// Bounds the discarding against a peer that keeps sending.
constexpr int kMaxDiscardReads = 64;

// Milliseconds left until deadline, rounded up so that a wait never ends early.
int millisecondsLeft(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    const auto millis = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(millis, INT_MAX));
}

}  // namespace

Clock::time_point deadlineAfter(uint32_t milliseconds) {
    return Clock::now() + std::chrono::milliseconds(milliseconds);
}

WaitResult waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = poll(&entry, 1, millisecondsLeft(deadline));
        if (ready > 0) {
            return WaitResult::ready;
        }
        if (ready < 0 && errno != EINTR) {
            return WaitResult::failed;
        }
        if (ready == 0 && Clock::now() >= deadline) {
            return WaitResult::timedOut;
        }
    }
}

bool readExactly(int fd, unsigned char* buffer, std::size_t count, Clock::time_point deadline) {
    std::size_t got = 0;
    while (got < count) {
        if (waitFor(fd, POLLIN, deadline) != WaitResult::ready) {
            return false;
        }
        const ssize_t n = recv(fd, buffer + got, count - got, MSG_DONTWAIT);
        if (n == 0) {
            return false;
        }
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
                continue;
            }
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    return true;
}

void discardPending(int fd) {
    unsigned char scratch[kDiscardChunk];
    for (int i = 0; i < kMaxDiscardReads; ++i) {
        if (recv(fd, scratch, sizeof scratch, MSG_DONTWAIT) <= 0) {
            return;
        }
    }
}

void pauseMilliseconds(uint32_t milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / kMillisPerSecond),
                  static_cast<long>(milliseconds % kMillisPerSecond) * kNanosPerMilli};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace tarn::control
