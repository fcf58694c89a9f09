// ROS 2 type hashes (RIHS01): the sha256 of a type's description as JSON, written exactly as
// rosidl writes it, over the messages the publisher sends.
#ifndef TARN_DDS_TYPE_HASH_H
#define TARN_DDS_TYPE_HASH_H

#include <string>

namespace tarn::dds {

// "RIHS01_" and the hash's 64 lower-case hex digits, for a ROS 2 type name such as
// "sensor_msgs/msg/PointCloud2"; "" for a type this table does not hold.
std::string typeHash(const std::string& rosType);
// The JSON text the hash is taken over (for tests and for checking against ROS 2's tools).
std::string typeDescriptionJson(const std::string& rosType);
// The sha256 of bytes as 64 lower-case hex digits.
std::string sha256Hex(const std::string& bytes);

}  // namespace tarn::dds

#endif  // TARN_DDS_TYPE_HASH_H
