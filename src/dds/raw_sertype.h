// A Cyclone DDS sertype whose samples are CDR bytes made elsewhere (by the messages component),
// so a message is serialised once and Cyclone DDS sends those bytes as they are. Writers only:
// the type has no key and no in-memory sample form.
#ifndef TARN_DDS_RAW_SERTYPE_H
#define TARN_DDS_RAW_SERTYPE_H

#include <dds/dds.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace tarn::dds {

// A new sertype named typeName ("sensor_msgs::msg::dds_::PointCloud2_"), for
// dds_create_topic_sertype, which takes it over.
struct ddsi_sertype* newRawSertype(const char* typeName);

// Message bytes whose elements a resize leaves as they are instead of zeroing them: a cloud's
// buffer is written whole by its serialiser, and zeroing 1.3 MB first would cost a pass of its own.
template <typename T>
struct DefaultInitAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = DefaultInitAllocator<U>;
    };
    using std::allocator<T>::allocator;
    template <typename U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible<U>::value) {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};
using SampleBytes = std::vector<uint8_t, DefaultInitAllocator<uint8_t>>;

// Room a message buffer needs past its CDR bytes: Cyclone DDS sends a sample's bytes in whole
// 4-byte words, so a sample pads them with zeros to a multiple of 4.
constexpr size_t kRawSamplePadding = 3;

// A sample owning the first `length` of bytes (the 4-byte encapsulation header first), with one
// reference, for dds_writecdr, which takes the reference over. The bytes live until Cyclone DDS
// drops the last reference. Null when out of memory or when length exceeds bytes.size().
// A buffer with kRawSamplePadding bytes of capacity to spare is taken over without a copy.
struct ddsi_serdata* newRawSample(const struct ddsi_sertype* type, SampleBytes&& bytes,
                                  size_t length);

}  // namespace tarn::dds

#endif  // TARN_DDS_RAW_SERTYPE_H
