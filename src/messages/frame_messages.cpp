#include "frame_messages.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// The cell's point; cells the frame did not write get NaN coordinates. Either way row and column
// are the cell's own (a grid cell no frame ever wrote holds zeros).
CloudPoint pointOf(const tarn_point& cell, bool written, uint16_t row, uint16_t column) {
    if (!written) {
        return {kNaN, kNaN, kNaN, 0.0f, kNaN, row, column};
    }
    return {cell.x, cell.y, cell.z, static_cast<float>(cell.intensity), cell.distance, row, column};
}

void writePointsOneByOne(const tarn_point* grid, const FrameCells& cells, uint8_t* out) {
    for (uint16_t row = 0; row < TARN_ROWS; ++row) {
        for (uint16_t column = 0; column < TARN_COLUMNS; ++column) {
            const CloudPoint point = pointOf(*grid, cells.written(*grid), row, column);
            std::memcpy(out, &point, sizeof point);
            ++grid;
            out += sizeof point;
        }
    }
}

#if defined(__SSE2__)
// One cell as [x, y, z, intensity as float] and [distance, row|column, -, -]. Its first 32 bytes
// are two loads, [row|column, distance, intensity, x] and [y, z, timestamp], and shuffles make the
// point, with the cell's own row and column whatever the grid holds there. A partial frame masks
// in NaN where the frame did not write.
template <bool kPartial>
struct FourLanes {
    static_assert(offsetof(tarn_point, row) == 0 && offsetof(tarn_point, column) == 2 &&
                      offsetof(tarn_point, distance) == 4 && offsetof(tarn_point, intensity) == 8 &&
                      offsetof(tarn_point, x) == 12 && offsetof(tarn_point, y) == 16 &&
                      offsetof(tarn_point, z) == 20,
                  "the shuffles follow tarn_point's layout");

    const FrameCells& cells;
    const __m128 unwrittenFirst = _mm_setr_ps(kNaN, kNaN, kNaN, 0.0f);
    const __m128i unwrittenDistance = _mm_castps_si128(_mm_set1_ps(kNaN));
    __m128i signs = _mm_setzero_si128();  // intensities of 2^31 and more convert as negative

    void point(const tarn_point* grid, __m128i place, __m128& first, __m128i& second) {
        const uint8_t* cell = reinterpret_cast<const uint8_t*>(grid);
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cell));
        const __m128 b = _mm_loadu_ps(reinterpret_cast<const float*>(cell + 16));
        const __m128 intensity = _mm_cvtepi32_ps(a);
        signs = _mm_or_si128(signs, a);
        const __m128 xy = _mm_shuffle_ps(_mm_castsi128_ps(a), b, _MM_SHUFFLE(0, 0, 3, 3));
        const __m128 zi = _mm_shuffle_ps(b, intensity, _MM_SHUFFLE(2, 2, 1, 1));
        first = _mm_shuffle_ps(xy, zi, _MM_SHUFFLE(2, 0, 2, 0));
        second = _mm_unpacklo_epi32(_mm_shuffle_epi32(a, _MM_SHUFFLE(1, 1, 1, 1)), place);
        if constexpr (kPartial) {
            const __m128i keep = _mm_set1_epi32(-static_cast<int32_t>(cells.written(*grid)));
            first = _mm_or_ps(_mm_and_ps(_mm_castsi128_ps(keep), first),
                              _mm_andnot_ps(_mm_castsi128_ps(keep), unwrittenFirst));
            const __m128i mine = _mm_unpacklo_epi32(unwrittenDistance, place);
            second = _mm_or_si128(_mm_and_si128(keep, second), _mm_andnot_si128(keep, mine));
        }
    }

    // Two cells make 48 bytes, written as three 16-byte stores. Returns false, having written
    // part, when an intensity needs the one-by-one path's unsigned conversion.
    bool write(const tarn_point* grid, uint8_t* out) {
        static_assert(TARN_COLUMNS % 2 == 0, "rows are taken two cells at a time");
        const __m128i nextColumn = _mm_cvtsi32_si128(1 << 16);
        for (int32_t row = 0; row < TARN_ROWS; ++row) {
            __m128i place = _mm_cvtsi32_si128(row);
            for (int column = 0; column < TARN_COLUMNS; column += 2) {
                __m128 first0, first1;
                __m128i second0, second1;
                point(grid, place, first0, second0);
                place = _mm_add_epi32(place, nextColumn);
                point(grid + 1, place, first1, second1);
                place = _mm_add_epi32(place, nextColumn);
                const __m128i f1 = _mm_castps_si128(first1);
                _mm_storeu_ps(reinterpret_cast<float*>(out), first0);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16),
                                 _mm_unpacklo_epi64(second0, f1));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32),
                                 _mm_unpacklo_epi64(_mm_unpackhi_epi64(f1, f1), second1));
                grid += 2;
                out += 2 * TARN_POINT_STEP;
            }
        }
        return (_mm_movemask_ps(_mm_castsi128_ps(signs)) & 0x4) == 0;  // the intensity lane
    }
};
#endif

void writePoints(const tarn_point* grid, const FrameCells& cells, uint8_t* out) {
#if defined(__SSE2__)
    if (cells.all() ? FourLanes<false>{cells}.write(grid, out)
                    : FourLanes<true>{cells}.write(grid, out)) {
        return;
    }
#endif
    writePointsOneByOne(grid, cells, out);
}

}  // namespace

FrameCells::FrameCells(const tarn_frame_info& info)
    : all_(info.cells_written >= TARN_CELLS),
      any_(info.cells_written > 0),
      low_(std::min(info.first_timestamp, info.last_timestamp)),
      span_(std::max(info.first_timestamp, info.last_timestamp) - low_) {}

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
    writePoints(grid, cells, out);
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
