// The control channel's thin seams to the operating system: bounded waits and reads on a socket,
// and the resumable pause.
#ifndef TARN_CONTROL_SOCKET_IO_H
#define TARN_CONTROL_SOCKET_IO_H

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace tarn::control {

using Clock = std::chrono::steady_clock;

Clock::time_point deadlineAfter(uint32_t milliseconds);

enum class WaitResult { ready, timedOut, failed };

// Waits until fd reports one of events (or an error or hang-up) or the deadline passes. Signals
// do not cut the wait short.
WaitResult waitFor(int fd, short events, Clock::time_point deadline);

// Reads exactly count bytes unless the deadline passes, the peer closes or the read fails.
bool readExactly(int fd, unsigned char* buffer, std::size_t count, Clock::time_point deadline);

// Throws away whatever the peer has already sent, without waiting.
void discardPending(int fd);

// Sleeps the whole given time, resuming after signals.
void pauseMilliseconds(uint32_t milliseconds);

}  // namespace tarn::control

#endif  // TARN_CONTROL_SOCKET_IO_H
