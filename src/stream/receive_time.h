// When the host received a datagram, on both of its clocks.
#ifndef TARN_STREAM_RECEIVE_TIME_H
#define TARN_STREAM_RECEIVE_TIME_H

#include <time.h>

#include <cstdint>

namespace tarn::stream {

constexpr int64_t kNanosecondsPerSecond = 1000000000;

struct ReceiveTime {
    int64_t monotonicNs = 0;  // CLOCK_MONOTONIC
    int64_t realtimeNs = 0;   // CLOCK_REALTIME
};

// A clock's time now in nanoseconds.
inline int64_t clockNanoseconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<int64_t>(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec;
}

// The host clocks now.
inline ReceiveTime receiveTimeNow() {
    return ReceiveTime{clockNanoseconds(CLOCK_MONOTONIC), clockNanoseconds(CLOCK_REALTIME)};
}

}  // namespace tarn::stream

#endif  // TARN_STREAM_RECEIVE_TIME_H
