#include "message_reading.h"

#include <cmath>
#include <cstring>
#include <string_view>

#include "tarn/messages.h"

namespace tarn::mcap {
namespace {

// Reads CDR (little-endian, plain) with each value aligned to its size from the end of the
// 4-byte encapsulation header; past the end every read gives zero and ok() turns false.
class CdrReader {
  public:
    CdrReader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {
        static constexpr uint8_t kLittleEndianCdr[2] = {0x00, 0x01};
        ok_ = size >= kOrigin && std::memcmp(data, kLittleEndianCdr, 2) == 0;
        at_ = kOrigin;
    }

    bool ok() const { return ok_; }
    uint8_t u8() { return number<uint8_t>(); }
    uint32_t u32() { return number<uint32_t>(); }
    int32_t i32() { return number<int32_t>(); }
    uint64_t u64() { return number<uint64_t>(); }
    // A string's bytes without the closing NUL.
    std::string_view string() {
        const uint32_t n = u32();
        const uint8_t* bytes = take(n);
        if (bytes == nullptr || n == 0 || bytes[n - 1] != 0) {
            ok_ = false;
            return {};
        }
        return {reinterpret_cast<const char*>(bytes), n - 1};
    }
    const uint8_t* take(std::size_t n) {
        if (!ok_ || n > size_ - at_) {
            ok_ = false;
            return nullptr;
        }
        const uint8_t* at = data_ + at_;
        at_ += n;
        return at;
    }

  private:
    static constexpr std::size_t kOrigin = 4;

    template <typename T>
    T number() {
        at_ += (sizeof(T) - (at_ - kOrigin) % sizeof(T)) % sizeof(T);
        if (at_ > size_) {
            ok_ = false;
            at_ = size_;
        }
        T value{};
        if (const uint8_t* bytes = take(sizeof value)) {
            std::memcpy(&value, bytes, sizeof value);
        }
        return value;
    }

    const uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
    bool ok_ = false;
};

// sensor_msgs/msg/PointField datatypes.
constexpr uint8_t kUint16 = 4;
constexpr uint8_t kFloat32 = 7;

struct Field {
    std::string_view name;
    uint32_t offset;
    uint8_t datatype;
};

// The library's point, as tarn/messages.h documents it with TARN_POINT_STEP.
constexpr Field kPointFields[] = {
    {"x", 0, kFloat32},          {"y", 4, kFloat32},         {"z", 8, kFloat32},
    {"intensity", 12, kFloat32}, {"distance", 16, kFloat32}, {"row", 20, kUint16},
    {"column", 22, kUint16},
};

struct CloudPoint {
    float x, y, z, intensity, distance;
    uint16_t row, column;
};
static_assert(sizeof(CloudPoint) == TARN_POINT_STEP, "the documented point has no padding");

int64_t stampOf(CdrReader& r) {
    const int32_t sec = r.i32();
    const uint32_t nanosec = r.u32();
    r.string();  // frame_id
    return static_cast<int64_t>(sec) * 1000000000 + nanosec;
}

bool fieldsAreTarns(CdrReader& r) {
    if (r.u32() != sizeof kPointFields / sizeof kPointFields[0]) {
        return false;
    }
    bool same = true;
    for (const Field& field : kPointFields) {
        const std::string_view name = r.string();
        const uint32_t offset = r.u32();
        const uint8_t datatype = r.u8();
        const uint32_t count = r.u32();
        same = same && name == field.name && offset == field.offset && datatype == field.datatype &&
               count == 1;
    }
    return same && r.ok();
}

uint32_t intensityOf(float value) {
    if (!(value > 0.0f)) {
        return 0;
    }
    return value >= 4294967040.0f ? UINT32_MAX : static_cast<uint32_t>(value);
}

}  // namespace

bool readPointCloud(const uint8_t* cdr, std::size_t size, tarn_point* grid, tarn_frame_info& info,
                    std::string& why) {
    CdrReader r(cdr, size);
    const int64_t stamp = stampOf(r);
    const uint32_t height = r.u32();
    const uint32_t width = r.u32();
    if (!r.ok() || height != TARN_ROWS || width != TARN_COLUMNS) {
        why = "the point cloud is not " + std::to_string(TARN_ROWS) + " x " +
              std::to_string(TARN_COLUMNS) + " points";
        return false;
    }
    const bool fields = fieldsAreTarns(r);
    const uint8_t bigEndian = r.u8();
    const uint32_t pointStep = r.u32();
    const uint32_t rowStep = r.u32();
    const uint32_t bytes = r.u32();
    const uint8_t* data = r.take(bytes);
    if (!fields || bigEndian != 0 || pointStep != TARN_POINT_STEP ||
        rowStep != TARN_COLUMNS * TARN_POINT_STEP || bytes != TARN_CELLS * TARN_POINT_STEP ||
        data == nullptr) {
        why =
            "the point cloud's fields are not tarn's point layout (x, y, z, intensity, "
            "distance, row, column in 24 little-endian bytes)";
        return false;
    }
    uint32_t written = 0;
    for (std::size_t i = 0; i < TARN_CELLS; ++i) {
        CloudPoint point;
        std::memcpy(&point, data + i * sizeof point, sizeof point);
        tarn_point& cell = grid[i];
        cell = tarn_point{};
        cell.row = point.row;
        cell.column = point.column;
        cell.x = point.x;
        cell.y = point.y;
        cell.z = point.z;
        cell.distance = point.distance;
        cell.intensity = intensityOf(point.intensity);
        const bool unwritten = std::isnan(point.x) && std::isnan(point.y) && std::isnan(point.z) &&
                               std::isnan(point.distance) && cell.intensity == 0;
        written += unwritten ? 0 : 1;
    }
    info = tarn_frame_info{};
    info.cells_written = written;
    info.complete = written == TARN_CELLS ? 1 : 0;
    info.receive_realtime_ns = stamp;
    return true;
}

bool readImuRaw(const uint8_t* cdr, std::size_t size, tarn_imu_sample& sample) {
    CdrReader r(cdr, size);
    stampOf(r);
    sample = tarn_imu_sample{};
    sample.sample_flag = r.u8();
    sample.timestamp = r.u64();
    const uint8_t* bytes = r.take(sizeof sample.sample);
    if (bytes == nullptr) {
        return false;
    }
    std::memcpy(sample.sample, bytes, sizeof sample.sample);
    return r.ok();
}

}  // namespace tarn::mcap
