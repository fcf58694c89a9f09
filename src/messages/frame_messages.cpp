#include "frame_messages.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>

namespace tarn::messages {
namespace {

// sensor_msgs/msg/PointField datatypes.
constexpr uint8_t kUint16 = 4;
constexpr uint8_t kFloat32 = 7;

// The cloud's point, as documented with TARN_POINT_STEP.
struct CloudPoint {
    float x;
    float y;
    float z;
    float intensity;
    float distance;
    uint16_t row;
    uint16_t column;
};
static_assert(sizeof(CloudPoint) == TARN_POINT_STEP, "a cloud point has no padding");

struct Field {
    const char* name;
    uint32_t offset;
    uint8_t datatype;
};

constexpr Field kFields[] = {
    {"x", offsetof(CloudPoint, x), kFloat32},
    {"y", offsetof(CloudPoint, y), kFloat32},
    {"z", offsetof(CloudPoint, z), kFloat32},
    {"intensity", offsetof(CloudPoint, intensity), kFloat32},
    {"distance", offsetof(CloudPoint, distance), kFloat32},
    {"row", offsetof(CloudPoint, row), kUint16},
    {"column", offsetof(CloudPoint, column), kUint16},
};

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Height, width, encoding, is_bigendian, step, then the data's length; returns the data's place.
uint8_t* writeImageHead(CdrWriter& w, const Header& header, const char* encoding,
                        uint32_t bytesPerPixel) {
    writeHeader(w, header);
    w.u32(TARN_ROWS);
    w.u32(TARN_COLUMNS);
    w.string(encoding);
    w.u8(0);
    w.u32(TARN_COLUMNS * bytesPerPixel);
    w.u32(TARN_CELLS * bytesPerPixel);
    return w.reserve(TARN_CELLS * bytesPerPixel);
}

}  // namespace

FrameCells::FrameCells(const tarn_frame_info& info)
    : all_(info.cells_written >= TARN_CELLS),
      low_(std::min(info.first_timestamp, info.last_timestamp)),
      high_(std::max(info.first_timestamp, info.last_timestamp)) {
    if (info.cells_written == 0) {
        // An empty range: no cell is the frame's.
        low_ = 1;
        high_ = 0;
    }
}

void writePointCloud(CdrWriter& w, const Header& header, const tarn_point* grid,
                     const tarn_frame_info& info) {
    writeHeader(w, header);
    w.u32(TARN_ROWS);
    w.u32(TARN_COLUMNS);
    w.u32(sizeof kFields / sizeof kFields[0]);
    for (const Field& field : kFields) {
        w.string(field.name);
        w.u32(field.offset);
        w.u8(field.datatype);
        w.u32(1);
    }
    w.boolean(false);
    w.u32(TARN_POINT_STEP);
    w.u32(TARN_COLUMNS * TARN_POINT_STEP);
    w.u32(TARN_CELLS * TARN_POINT_STEP);
    uint8_t* out = w.reserve(TARN_CELLS * TARN_POINT_STEP);
    w.boolean(false);  // is_dense
    if (out == nullptr) {
        return;
    }
    const FrameCells cells(info);
    for (uint16_t row = 0; row < TARN_ROWS; ++row) {
        for (uint16_t column = 0; column < TARN_COLUMNS; ++column) {
            const tarn_point& cell = *grid++;
            CloudPoint point{kNaN, kNaN, kNaN, 0.0f, kNaN, row, column};
            if (cells.written(cell)) {
                point.x = cell.x;
                point.y = cell.y;
                point.z = cell.z;
                point.intensity = static_cast<float>(cell.intensity);
                point.distance = cell.distance;
            }
            std::memcpy(out, &point, sizeof point);
            out += sizeof point;
        }
    }
}

void writeDepthImage(CdrWriter& w, const Header& header, const tarn_point* grid,
                     const tarn_frame_info& info) {
    uint8_t* out = writeImageHead(w, header, "32FC1", sizeof(float));
    if (out == nullptr) {
        return;
    }
    const FrameCells cells(info);
    for (std::size_t i = 0; i < TARN_CELLS; ++i) {
        const float depth = cells.written(grid[i]) ? grid[i].distance : kNaN;
        std::memcpy(out + i * sizeof depth, &depth, sizeof depth);
    }
}

void writeIntensityImage(CdrWriter& w, const Header& header, const tarn_point* grid,
                         const tarn_frame_info& info) {
    uint8_t* out = writeImageHead(w, header, "mono16", sizeof(uint16_t));
    if (out == nullptr) {
        return;
    }
    const FrameCells cells(info);
    for (std::size_t i = 0; i < TARN_CELLS; ++i) {
        const uint16_t value =
            cells.written(grid[i])
                ? static_cast<uint16_t>(std::min<uint32_t>(grid[i].intensity, 0xFFFF))
                : 0;
        std::memcpy(out + i * sizeof value, &value, sizeof value);
    }
}

}  // namespace tarn::messages
