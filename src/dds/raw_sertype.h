// A Cyclone DDS sertype whose samples are CDR bytes made elsewhere (by the messages component),
// so a message is serialised once and Cyclone DDS sends those bytes as they are. Writers only:
// the type has no key and no in-memory sample form.
#ifndef TARN_DDS_RAW_SERTYPE_H
#define TARN_DDS_RAW_SERTYPE_H

#include <dds/dds.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarn::dds {

// A new sertype named typeName ("sensor_msgs::msg::dds_::PointCloud2_"), for
// dds_create_topic_sertype, which takes it over.
struct ddsi_sertype* newRawSertype(const char* typeName);

// Room a message buffer needs past its CDR bytes: Cyclone DDS sends a sample's bytes in whole
// 4-byte words, so a sample pads them with zeros to a multiple of 4.
constexpr size_t kRawSamplePadding = 3;

// A sample owning the first `length` of bytes (the 4-byte encapsulation header first), with one
// reference, for dds_writecdr, which takes the reference over. The bytes live until Cyclone DDS
// drops the last reference. Null when out of memory or when length exceeds bytes.size().
// A buffer with kRawSamplePadding bytes of capacity to spare is taken over without a copy.
struct ddsi_serdata* newRawSample(const struct ddsi_sertype* type, std::vector<uint8_t>&& bytes,
                                  size_t length);

}  // namespace tarn::dds

#endif  // TARN_DDS_RAW_SERTYPE_H
