#include "ros2_playback.h"

#include "message_reading.h"
#include "ros2_recording.h"

namespace tarn::mcap {
namespace {

constexpr std::string_view kTopicRoot = "tarn/";
constexpr std::string_view kPointCloudType = "sensor_msgs/msg/PointCloud2";
constexpr std::string_view kImuRawType = "tarn_msgs/msg/ImuRaw";
// The samples kept between frames, as many as a frame source keeps.
constexpr std::size_t kImuQueue = 4096;

bool endsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

}  // namespace

int Ros2Playback::fail(int code, const std::string& why) {
    errorCode_ = code;
    error_ = why;
    return code;
}

int Ros2Playback::open(std::FILE* file, const char* topicNamespace) {
    if (topicNamespace != nullptr && *topicNamespace != '\0' &&
        !topicPrefix(topicNamespace, prefix_)) {
        return fail(TARN_ERR_MCAP_NAMESPACE, "the topic namespace is not a ROS 2 name");
    }
    asked_ = !prefix_.empty();
    if (!reader_.open(file)) {
        return fail(TARN_ERR_MCAP_READ, reader_.error());
    }
    return TARN_OK;
}

bool Ros2Playback::isChannel(uint16_t id, int32_t& chosen, std::string_view name,
                             std::string_view type) {
    if (chosen >= 0) {
        return id == chosen;
    }
    const ChannelInfo* channel = reader_.channel(id);
    if (channel == nullptr || channel->schemaName != type || channel->messageEncoding != "cdr" ||
        !endsWith(channel->topic, name)) {
        return false;
    }
    // The topic's prefix: the one asked for, the points topic's once chosen, or any "*/tarn/".
    const std::string_view prefix =
        std::string_view(channel->topic).substr(0, channel->topic.size() - name.size());
    if (!prefix_.empty() ? prefix != prefix_ : !endsWith(prefix, kTopicRoot)) {
        return false;
    }
    chosen = id;
    prefix_ = std::string(prefix);
    return true;
}

int Ros2Playback::nextFrame(tarn_point* grid, tarn_frame_info& info) {
    if (errorCode_ != TARN_OK) {
        return errorCode_;
    }
    MessageView message;
    for (;;) {
        const McapReader::Result result = reader_.next(message);
        if (result == McapReader::Result::kDamaged) {
            return fail(TARN_ERR_MCAP_READ, reader_.error());
        }
        if (result != McapReader::Result::kMessage) {
            if (points_ < 0) {
                return fail(TARN_ERR_MCAP_NO_POINTS,
                            "the file has no topic " + (asked_ ? prefix_ : "*/tarn/") +
                                "points of sensor_msgs/msg/PointCloud2 in CDR");
            }
            error_ = reader_.error();  // where a cut file ends; "" at a whole file's end
            return TARN_MCAP_END;
        }
        if (isChannel(message.channel, points_, "points", kPointCloudType)) {
            std::string why;
            if (!readPointCloud(message.data, message.size, grid, info, why)) {
                return fail(TARN_ERR_MCAP_LAYOUT, why);
            }
            info.sequence = ++frames_;
            return TARN_OK;
        }
        if (isChannel(message.channel, imuRaw_, "imu_raw", kImuRawType)) {
            tarn_imu_sample sample;
            if (!readImuRaw(message.data, message.size, sample)) {
                continue;  // not a sample: passed over, as other topics are
            }
            if (imu_.size() >= kImuQueue) {
                imu_.pop_front();
                ++imuDropped_;
            }
            imu_.push_back(sample);
        }
    }
}

std::size_t Ros2Playback::takeImu(tarn_imu_sample* samples, std::size_t capacity) {
    std::size_t n = 0;
    while (n < capacity && !imu_.empty()) {
        samples[n++] = imu_.front();
        imu_.pop_front();
    }
    return n;
}

}  // namespace tarn::mcap
