// IMU samples as tarn_msgs/msg/ImuRaw (the bytes as sent) and, read through an application's
// layout, as sensor_msgs/msg/Imu.
#ifndef TARN_MESSAGES_IMU_MESSAGES_H
#define TARN_MESSAGES_IMU_MESSAGES_H

#include "cdr_writer.h"
#include "ros_header.h"
#include "tarn/messages.h"

namespace tarn::messages {

// True when every value of the layout lies inside the sample's bytes, with a known type and a
// finite, non-zero scale.
bool validImuLayout(const tarn_imu_layout& layout);

void writeImuRaw(CdrWriter& w, const Header& header, const tarn_imu_sample& sample);
// The layout must be valid.
void writeImu(CdrWriter& w, const Header& header, const tarn_imu_sample& sample,
              const tarn_imu_layout& layout);

}  // namespace tarn::messages

#endif  // TARN_MESSAGES_IMU_MESSAGES_H
