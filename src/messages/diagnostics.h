// A stream's counters as diagnostic_msgs/msg/DiagnosticArray, with what changed since the
// previous report.
#ifndef TARN_MESSAGES_DIAGNOSTICS_H
#define TARN_MESSAGES_DIAGNOSTICS_H

#include <cstdint>
#include <string>

#include "cdr_writer.h"
#include "ros_header.h"
#include "tarn/tarn.h"

namespace tarn::messages {

// diagnostic_msgs/msg/DiagnosticStatus levels.
constexpr uint8_t kLevelOk = 0;
constexpr uint8_t kLevelWarn = 1;

inline constexpr const char* kDiagnosticsName = "tarn stream";

// Frames lost on the way to the decoder: a full frame queue, a lost last datagram, an overlong
// frame.
uint64_t framesLost(const tarn_stream_stats& stats);

class DiagnosticsReport {
  public:
    explicit DiagnosticsReport(std::string hardwareId) : hardwareId_(std::move(hardwareId)) {}

    // Writes the array for stats at stampNs, against the previous report.
    void write(CdrWriter& w, const Header& header, const tarn_stream_stats& stats,
               int64_t stampNs) const;
    // Makes stats at stampNs the previous report.
    void commit(const tarn_stream_stats& stats, int64_t stampNs);

  private:
    std::string hardwareId_;
    bool havePrevious_ = false;
    tarn_stream_stats previous_{};
    int64_t previousNs_ = 0;
};

}  // namespace tarn::messages

#endif  // TARN_MESSAGES_DIAGNOSTICS_H
