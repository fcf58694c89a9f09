#include "diagnostics.h"

#include <cstdio>
#include <string>

namespace tarn::messages {
namespace {

// Every counter of tarn_stream_stats, keyed by its field's name.
struct Counter {
    const char* key;
    uint64_t tarn_stream_stats::*member;
};

#define TARN_COUNTER(name) \
    { #name, &tarn_stream_stats::name }
constexpr Counter kCounters[] = {
    TARN_COUNTER(datagrams_read),       TARN_COUNTER(datagrams_rejected),
    TARN_COUNTER(datagrams_queue_full), TARN_COUNTER(invalid_magic),
    TARN_COUNTER(invalid_type),         TARN_COUNTER(invalid_version),
    TARN_COUNTER(invalid_pixel_type),   TARN_COUNTER(invalid_frame_flag),
    TARN_COUNTER(invalid_short),        TARN_COUNTER(invalid_imu_flag),
    TARN_COUNTER(frames_completed),     TARN_COUNTER(frames_queue_full),
    TARN_COUNTER(frames_lost_last),     TARN_COUNTER(frames_merged),
    TARN_COUNTER(frames_too_long),      TARN_COUNTER(frames_decoded),
    TARN_COUNTER(frames_incomplete),    TARN_COUNTER(imu_samples),
    TARN_COUNTER(kernel_drops),         TARN_COUNTER(receive_buffer_bytes),
};
#undef TARN_COUNTER

// Counters only grow; one that went back (the default stream reconnected) counts from 0.
uint64_t since(uint64_t now, uint64_t before) {
    return now >= before ? now - before : now;
}

void keyValue(CdrWriter& w, const char* key, const std::string& value) {
    w.string(key);
    w.string(value);
}

}  // namespace

uint64_t framesLost(const tarn_stream_stats& stats) {
    return stats.frames_queue_full + stats.frames_lost_last + stats.frames_too_long;
}

void DiagnosticsReport::write(CdrWriter& w, const Header& header, const tarn_stream_stats& stats,
                              int64_t stampNs) const {
    const uint64_t lost = since(framesLost(stats), havePrevious_ ? framesLost(previous_) : 0);
    std::string rate = "unknown";  // until there is a previous report
    if (havePrevious_ && stampNs > previousNs_) {
        char text[32];
        const double seconds = static_cast<double>(stampNs - previousNs_) * 1e-9;
        std::snprintf(
            text, sizeof text, "%.2f",
            static_cast<double>(since(stats.frames_decoded, previous_.frames_decoded)) / seconds);
        rate = text;
    }

    writeHeader(w, header);
    w.u32(1);  // one status
    w.u8(lost > 0 ? kLevelWarn : kLevelOk);
    w.string(kDiagnosticsName);
    w.string(lost > 0 ? std::to_string(lost) + " frames lost since the last report" : "OK");
    w.string(hardwareId_);
    w.u32(sizeof kCounters / sizeof kCounters[0] + 2);
    for (const Counter& counter : kCounters) {
        keyValue(w, counter.key, std::to_string(stats.*counter.member));
    }
    keyValue(w, "frames_lost_since_last_report", std::to_string(lost));
    keyValue(w, "frame_rate_hz", rate);
}

void DiagnosticsReport::commit(const tarn_stream_stats& stats, int64_t stampNs) {
    previous_ = stats;
    previousNs_ = stampNs;
    havePrevious_ = true;
}

}  // namespace tarn::messages
