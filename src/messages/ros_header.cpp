#include "ros_header.h"

#include <limits>

namespace tarn::messages {

Stamp stampFromNanoseconds(int64_t ns) {
    constexpr int64_t kPerSecond = 1000000000;
    int64_t sec = ns / kPerSecond;
    int64_t rest = ns % kPerSecond;
    if (rest < 0) {
        rest += kPerSecond;
        --sec;
    }
    if (sec > std::numeric_limits<int32_t>::max()) {
        return {std::numeric_limits<int32_t>::max(), static_cast<uint32_t>(kPerSecond - 1)};
    }
    if (sec < std::numeric_limits<int32_t>::min()) {
        return {std::numeric_limits<int32_t>::min(), 0};
    }
    return {static_cast<int32_t>(sec), static_cast<uint32_t>(rest)};
}

}  // namespace tarn::messages
