// A recording of one stream as ROS 2 messages: the topics, their schemas and channels, and the
// serialising of each frame, IMU sample and counter snapshot into an McapWriter.
#ifndef TARN_MCAP_ROS2_RECORDING_H
#define TARN_MCAP_ROS2_RECORDING_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mcap_writer.h"
#include "tarn/mcap.h"
#include "writer_thread.h"

namespace tarn::mcap {

// The topics' prefix for a namespace ("", "front", "/front/" give "/tarn" or "/front/tarn"), or
// false when it is not a ROS 2 name.
bool topicPrefix(const char* topicNamespace, std::string& prefix);

class Ros2Recording {
  public:
    Ros2Recording() = default;
    ~Ros2Recording();
    Ros2Recording(const Ros2Recording&) = delete;
    Ros2Recording& operator=(const Ros2Recording&) = delete;

    // A tarn result code.
    int open(const char* path, const tarn_mcap_config& config);
    int writeFrame(const tarn_point* grid, const tarn_frame_info& info);
    int writeImu(const tarn_imu_sample& sample, int64_t receiveNs);
    int writeDiagnostics(const tarn_stream_stats& stats, int64_t stampNs);
    uint64_t messages() const { return recorded_; }
    uint64_t dropped() const { return thread_ ? thread_->dropped() : 0; }
    int close();

  private:
    enum Topic { kPoints, kDepth, kIntensity, kImuRaw, kImu, kDiagnostics, kTopics };
    template <typename Call>
    int record(Topic topic, Call&& serialise);
    // TARN_OK when count messages may be recorded now; with a full queue they are dropped.
    int room(std::size_t count, bool& fits);

    McapWriter writer_;
    tarn_messages* messages_ = nullptr;
    uint16_t channels_[kTopics] = {};
    std::vector<uint8_t> scratch_;
    std::unique_ptr<WriterThread> thread_;  // with a queue
    uint64_t recorded_ = 0;
};

}  // namespace tarn::mcap

#endif  // TARN_MCAP_ROS2_RECORDING_H
