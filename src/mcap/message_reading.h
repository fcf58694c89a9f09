// Reads back the two messages a recording of this library is played from: the
// sensor_msgs/msg/PointCloud2 of its own point layout (TARN_POINT_STEP in tarn/messages.h) and the
// tarn_msgs/msg/ImuRaw sample. CDR as the messages component writes it; every length is checked
// against the message, so any bytes are safe to pass.
#ifndef TARN_MCAP_MESSAGE_READING_H
#define TARN_MCAP_MESSAGE_READING_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "tarn/tarn.h"

namespace tarn::mcap {

// The header stamp in nanoseconds since the epoch.
struct ReadStamp {
    int64_t ns = 0;
};

// Fills grid (TARN_CELLS records) and info from a cloud: each cell's row, column, x, y, z,
// distance and intensity; cells with NaN coordinates and distance and intensity 0 are the ones
// the frame did not write. Timestamps and tags are 0 (the message does not carry them);
// info.cells_written, complete and receive_realtime_ns (the header stamp) are set, the rest is 0.
// False, with the reason in why, for a message that is not such a cloud.
bool readPointCloud(const uint8_t* cdr, std::size_t size, tarn_point* grid, tarn_frame_info& info,
                    std::string& why);

// The sample's flag, timestamp and bytes (its header and reserved bytes are 0). False for a
// message that is not an ImuRaw.
bool readImuRaw(const uint8_t* cdr, std::size_t size, tarn_imu_sample& sample);

}  // namespace tarn::mcap

#endif  // TARN_MCAP_MESSAGE_READING_H
