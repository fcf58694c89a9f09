// The messages of one stream: its configuration (frame_id, stamps, IMU layout) and the state of its
// diagnostics, behind one call per message kind. Each call writes into a CdrWriter, which also
// counts the message's size.
#ifndef TARN_MESSAGES_SERIALISER_H
#define TARN_MESSAGES_SERIALISER_H

#include <cstdint>
#include <optional>
#include <string>

#include "cdr_writer.h"
#include "diagnostics.h"
#include "ros_header.h"
#include "tarn/messages.h"

namespace tarn::messages {

inline constexpr const char* kDefaultFrameId = "tarn";

class Serialiser {
  public:
    // The configuration must pass validate(); its strings and layout are copied.
    explicit Serialiser(const tarn_messages_config& config);
    // TARN_OK, or the code for the first thing wrong in config.
    static int validate(const tarn_messages_config& config);

    // The frame calls only read the configuration: several threads may make them at once.
    void pointCloud(CdrWriter& w, const tarn_point* grid, const tarn_frame_info& info) const;
    void depthImage(CdrWriter& w, const tarn_point* grid, const tarn_frame_info& info) const;
    void intensityImage(CdrWriter& w, const tarn_point* grid, const tarn_frame_info& info) const;
    void imuRaw(CdrWriter& w, const tarn_imu_sample& sample, int64_t receiveNs) const;
    bool hasImuLayout() const { return imuLayout_.has_value(); }
    // Needs an IMU layout.
    void imu(CdrWriter& w, const tarn_imu_sample& sample, int64_t receiveNs) const;
    void diagnostics(CdrWriter& w, const tarn_stream_stats& stats, int64_t stampNs) const;
    // Makes stats the previous diagnostics report.
    void commitDiagnostics(const tarn_stream_stats& stats, int64_t stampNs);

  private:
    Header frameHeader(const tarn_frame_info& info) const;
    Header imuHeader(const tarn_imu_sample& sample, int64_t receiveNs) const;
    Header header(int64_t ns) const { return {stampFromNanoseconds(ns), frameId_}; }

    std::string frameId_;
    bool sensorStamps_;
    uint64_t tickNs_;
    std::optional<tarn_imu_layout> imuLayout_;
    DiagnosticsReport diagnostics_;
};

}  // namespace tarn::messages

#endif  // TARN_MESSAGES_SERIALISER_H
