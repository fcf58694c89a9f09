#include "serialiser.h"

#include <cstring>

#include "frame_messages.h"
#include "imu_messages.h"

namespace tarn::messages {
namespace {

// The IMU record keeps the sensor's timestamp divided by this.
constexpr uint64_t kImuTimestampDivisor = 1000000;

const char* orDefault(const char* text, const char* fallback) {
    return text == nullptr || text[0] == '\0' ? fallback : text;
}

}  // namespace

int Serialiser::validate(const tarn_messages_config& config) {
    if (config.stamp_source != TARN_STAMP_RECEIVE_TIME &&
        config.stamp_source != TARN_STAMP_SENSOR_TIME) {
        return TARN_ERR_STAMP_SOURCE;
    }
    if (config.imu_layout != nullptr && !validImuLayout(*config.imu_layout)) {
        return TARN_ERR_IMU_LAYOUT;
    }
    return TARN_OK;
}

Serialiser::Serialiser(const tarn_messages_config& config)
    : frameId_(orDefault(config.frame_id, kDefaultFrameId)),
      sensorStamps_(config.stamp_source == TARN_STAMP_SENSOR_TIME),
      tickNs_(config.sensor_tick_ns == 0 ? 1 : config.sensor_tick_ns),
      diagnostics_(orDefault(config.hardware_id, "")) {
    if (config.imu_layout != nullptr) {
        imuLayout_ = *config.imu_layout;
    }
}

Header Serialiser::frameHeader(const tarn_frame_info& info) const {
    return header(sensorStamps_ ? static_cast<int64_t>(info.last_timestamp * tickNs_)
                                : info.receive_realtime_ns);
}

Header Serialiser::imuHeader(const tarn_imu_sample& sample, int64_t receiveNs) const {
    if (!sensorStamps_) {
        return header(receiveNs);
    }
    uint64_t timestamp;
    std::memcpy(&timestamp, &sample.timestamp, sizeof timestamp);
    return header(static_cast<int64_t>(timestamp * kImuTimestampDivisor * tickNs_));
}

void Serialiser::pointCloud(CdrWriter& w, const tarn_point* grid,
                            const tarn_frame_info& info) const {
    writePointCloud(w, frameHeader(info), grid, info);
}

void Serialiser::depthImage(CdrWriter& w, const tarn_point* grid,
                            const tarn_frame_info& info) const {
    writeDepthImage(w, frameHeader(info), grid, info);
}

void Serialiser::intensityImage(CdrWriter& w, const tarn_point* grid,
                                const tarn_frame_info& info) const {
    writeIntensityImage(w, frameHeader(info), grid, info);
}

void Serialiser::imuRaw(CdrWriter& w, const tarn_imu_sample& sample, int64_t receiveNs) const {
    writeImuRaw(w, imuHeader(sample, receiveNs), sample);
}

void Serialiser::imu(CdrWriter& w, const tarn_imu_sample& sample, int64_t receiveNs) const {
    writeImu(w, imuHeader(sample, receiveNs), sample, *imuLayout_);
}

void Serialiser::diagnostics(CdrWriter& w, const tarn_stream_stats& stats, int64_t stampNs) const {
    diagnostics_.write(w, header(stampNs), stats, stampNs);
}

void Serialiser::commitDiagnostics(const tarn_stream_stats& stats, int64_t stampNs) {
    diagnostics_.commit(stats, stampNs);
}

}  // namespace tarn::messages
