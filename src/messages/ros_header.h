// std_msgs/msg/Header: a builtin_interfaces/msg/Time stamp and a frame_id.
#ifndef TARN_MESSAGES_ROS_HEADER_H
#define TARN_MESSAGES_ROS_HEADER_H

#include <cstdint>
#include <string_view>

#include "cdr_writer.h"

namespace tarn::messages {

struct Stamp {
    int32_t sec = 0;
    uint32_t nanosec = 0;  // 0 to 999,999,999
};

// Nanoseconds since the epoch as a ROS time, rounded down; outside int32 seconds it is held at the
// nearest end of the range.
Stamp stampFromNanoseconds(int64_t ns);

struct Header {
    Stamp stamp;
    std::string_view frameId;
};

inline void writeHeader(CdrWriter& w, const Header& header) {
    w.i32(header.stamp.sec);
    w.u32(header.stamp.nanosec);
    w.string(header.frameId);
}

}  // namespace tarn::messages

#endif  // TARN_MESSAGES_ROS_HEADER_H
