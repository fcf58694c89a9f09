// Plays a recording of this library's ROS 2 messages back as frames: picks the points topic
// (the namespace's, or the first sensor_msgs/msg/PointCloud2 topic ending in tarn/points),
// decodes each of its clouds into a grid and frame info, and keeps the IMU samples of the same
// namespace's imu_raw topic recorded before each frame.
#ifndef TARN_MCAP_ROS2_PLAYBACK_H
#define TARN_MCAP_ROS2_PLAYBACK_H

#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <string_view>

#include "mcap_reader.h"
#include "tarn/mcap.h"

namespace tarn::mcap {

class Ros2Playback {
  public:
    // A tarn result code; the reason in error(). Takes the file.
    int open(std::FILE* file, const char* topicNamespace);
    // TARN_OK, TARN_MCAP_END, TARN_ERR_MCAP_READ, TARN_ERR_MCAP_NO_POINTS or
    // TARN_ERR_MCAP_LAYOUT; after an error every call returns it again.
    int nextFrame(tarn_point* grid, tarn_frame_info& info);
    std::size_t takeImu(tarn_imu_sample* samples, std::size_t capacity);
    uint64_t imuDropped() const { return imuDropped_; }
    const std::string& error() const { return error_; }

  private:
    int fail(int code, const std::string& why);
    // True when the message's channel is the chosen one of its kind (the first of that type and
    // name under the namespace, which then holds for every other kind too).
    bool isChannel(uint16_t id, int32_t& chosen, std::string_view name, std::string_view type);

    McapReader reader_;
    std::string prefix_;  // "/front/tarn/": asked for, or the first topic's; "" until known
    bool asked_ = false;
    int32_t points_ = -1;  // the channel chosen, -1 until then
    int32_t imuRaw_ = -1;
    std::deque<tarn_imu_sample> imu_;
    uint64_t imuDropped_ = 0;
    uint64_t frames_ = 0;
    int errorCode_ = TARN_OK;
    std::string error_;
};

}  // namespace tarn::mcap

#endif  // TARN_MCAP_ROS2_PLAYBACK_H
