// The inputs of the golden messages, shared by the programs that check them. tests/js/golden.mjs
// builds the expected messages from the same rules on its own.
#ifndef TARN_TESTS_MESSAGES_GOLDEN_FRAME_H
#define TARN_TESTS_MESSAGES_GOLDEN_FRAME_H

#include <vector>

#include "tarn/messages.h"

namespace tarn::messages::golden {

// Rows 0 to 99 written by the frame (timestamps 100 to 102), rows 100 and on left from an earlier
// frame (timestamp 99). Every value is exact in float32; intensities reach past 65535.
inline std::vector<tarn_point> frameGrid(tarn_frame_info& info) {
    std::vector<tarn_point> grid(TARN_CELLS);
    for (int r = 0; r < TARN_ROWS; ++r) {
        for (int c = 0; c < TARN_COLUMNS; ++c) {
            tarn_point& p = grid[r * TARN_COLUMNS + c];
            p.row = static_cast<uint16_t>(r);
            p.column = static_cast<uint16_t>(c);
            const float row = static_cast<float>(r);
            const float column = static_cast<float>(c);
            p.x = row + 0.5f;
            p.y = column - 180.25f;
            p.z = static_cast<float>(r * TARN_COLUMNS + c) / 4.0f;
            p.distance = row * 2 + column / 8.0f;
            p.intensity = static_cast<uint32_t>(r * 500 + c);
            p.timestamp = r < 100 ? 100 + r % 3 : 99;
        }
    }
    info = tarn_frame_info{};
    info.cells_written = 100 * TARN_COLUMNS;
    info.first_timestamp = 100;
    info.last_timestamp = 102;
    info.receive_realtime_ns = 1765000000123456789;
    return grid;
}

inline tarn_imu_sample imuSample() {
    tarn_imu_sample sample{};
    sample.header[0] = 0xAB;
    sample.sample_flag = 1;
    sample.timestamp = 5000;
    for (unsigned i = 0; i < sizeof sample.sample; ++i) {
        sample.sample[i] = static_cast<uint8_t>(i * 37 + 3);
    }
    return sample;
}

// Angular velocity: little-endian int16 at 0, 2, 4 in mrad/s; acceleration int16 at 6, 8, 10 in
// cm/s^2.
inline tarn_imu_layout imuLayout() {
    tarn_imu_layout layout{};
    for (uint32_t i = 0; i < 3; ++i) {
        layout.angular_velocity[i] = {2 * i, TARN_IMU_INT16, 0.001};
        layout.linear_acceleration[i] = {6 + 2 * i, TARN_IMU_INT16, 0.01};
    }
    return layout;
}

// Each stats field i holds 1000 + i; the later report has two more frames lost to a lost last
// datagram and 20 more decoded, one second later.
inline tarn_stream_stats stats(bool later) {
    tarn_stream_stats s{};
    uint64_t* fields = &s.datagrams_read;
    for (unsigned i = 0; i < sizeof s / sizeof(uint64_t); ++i) {
        fields[i] = 1000 + i;
    }
    if (later) {
        s.frames_lost_last += 2;
        s.frames_decoded += 20;
    }
    return s;
}

inline constexpr int64_t kDiagnosticsNs = 1765000001000000000;
inline constexpr const char* kFrameId = "lidar_front";
inline constexpr const char* kHardwareId = "127.0.0.1:6301";

}  // namespace tarn::messages::golden

#endif  // TARN_TESTS_MESSAGES_GOLDEN_FRAME_H
