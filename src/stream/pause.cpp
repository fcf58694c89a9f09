#include "stream/pause.h"

#include <cerrno>
#include <ctime>

namespace tarn::stream {

namespace {
constexpr long kMicrosecondsPerSecond = 1000000;
constexpr long kNanosecondsPerMicrosecond = 1000;
}  // namespace

void pauseMicroseconds(long microseconds) {
    timespec remaining{};
    remaining.tv_sec = microseconds / kMicrosecondsPerSecond;
    remaining.tv_nsec = (microseconds % kMicrosecondsPerSecond) * kNanosecondsPerMicrosecond;
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

}  // namespace tarn::stream
