// The pixel layouts of point datagrams, and the writing of one strip row of pixels into grid
// cells. One type per layout, so that the per-point loop has no branch on the layout.
#ifndef TARN_STREAM_PIXEL_LAYOUTS_H
#define TARN_STREAM_PIXEL_LAYOUTS_H

#include <cstddef>
#include <cstdint>

#include "KESOApi.h"
#include "stream/datagram_format.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#define TARN_FOUR_CELLS_AT_ONCE 1
#else
#define TARN_FOUR_CELLS_AT_ONCE 0
#endif

namespace tarn::stream {

// A raw 16-bit coordinate in the unit of KESOPointData.
inline float coordinateAt(const uint8_t* bytes) {
    constexpr float kRawCoordinateDivisor = 10.0f;
    constexpr float kRawCoordinateFactor = 2.0f;
    return static_cast<float>(readI16Le(bytes)) / kRawCoordinateDivisor * kRawCoordinateFactor;
}

#if TARN_FOUR_CELLS_AT_ONCE
// The measured fields of four consecutive pixels, one pixel per lane.
struct FourPixels {
    __m128 distance;
    __m128i intensity;
    __m128 x;
    __m128 y;
    __m128 z;
};

// Four 16-bit fields at `offset` in four pixels `stride` bytes apart, as 32-bit lanes.
inline __m128i unsignedLanes(const uint8_t* pixels, std::size_t stride, std::size_t offset) {
    return _mm_setr_epi32(readU16Le(pixels + offset), readU16Le(pixels + stride + offset),
                          readU16Le(pixels + 2 * stride + offset),
                          readU16Le(pixels + 3 * stride + offset));
}

inline __m128i byteLanes(const uint8_t* pixels, std::size_t stride, std::size_t offset) {
    return _mm_setr_epi32(pixels[offset], pixels[stride + offset], pixels[2 * stride + offset],
                          pixels[3 * stride + offset]);
}

#endif

// Each read sets every measured field of the point, zero where the layout has no value. A layout
// with kFourAtOnce also reads four pixels into lanes at once, and one with kWriteRowByRow is
// written across a band's datagrams row by row. Measured, both pay for the distance layout only:
// it is bound by the stores, the coordinate layouts by their conversions.
struct DistancePixel {
    static constexpr std::size_t kBytes = kDistancePixelBytes;
    static constexpr bool kFourAtOnce = TARN_FOUR_CELLS_AT_ONCE;
    static constexpr bool kWriteRowByRow = true;
    static void read(const uint8_t* pixel, KESOPointData& point) {
        point.distance = readU16Le(pixel + kDistancePixelDistance);
        point.intensity = pixel[kDistancePixelIntensity];
        point.x = 0.0f;
        point.y = 0.0f;
        point.z = 0.0f;
    }
#if TARN_FOUR_CELLS_AT_ONCE
    static FourPixels readFour(const uint8_t* pixels) {
        return FourPixels{_mm_cvtepi32_ps(unsignedLanes(pixels, kBytes, kDistancePixelDistance)),
                          byteLanes(pixels, kBytes, kDistancePixelIntensity), _mm_setzero_ps(),
                          _mm_setzero_ps(), _mm_setzero_ps()};
    }
#endif
};

struct XyzPixel {
    static constexpr std::size_t kBytes = kXyzPixelBytes;
    static constexpr bool kFourAtOnce = false;
    static constexpr bool kWriteRowByRow = false;
    static void read(const uint8_t* pixel, KESOPointData& point) {
        point.distance = 0.0f;
        point.x = coordinateAt(pixel + kXyzPixelX);
        point.y = coordinateAt(pixel + kXyzPixelY);
        point.z = coordinateAt(pixel + kXyzPixelZ);
        point.intensity = pixel[kXyzPixelIntensity];
    }
};

struct DistanceXyzPixel {
    static constexpr std::size_t kBytes = kDistanceXyzPixelBytes;
    static constexpr bool kFourAtOnce = false;
    static constexpr bool kWriteRowByRow = false;
    static void read(const uint8_t* pixel, KESOPointData& point) {
        point.distance = readU16Le(pixel + kDistanceXyzPixelDistance);
        point.x = coordinateAt(pixel + kDistanceXyzPixelX);
        point.y = coordinateAt(pixel + kDistanceXyzPixelY);
        point.z = coordinateAt(pixel + kDistanceXyzPixelZ);
        point.intensity = pixel[kDistanceXyzPixelIntensity];
    }
};

#if TARN_FOUR_CELLS_AT_ONCE
// Writes four whole cells from four pixels: each 40-byte record as two 16-byte stores (row and
// column, distance, intensity, x; then y, z, timestamp) and the tag.
template <typename Pixel>
void writeFourCells(const uint8_t* pixels, std::size_t row, std::size_t firstColumn,
                    uint64_t timestamp, uint8_t tag, KESOPointData* cells) {
    static_assert(sizeof(KESOPointData) == 40 && offsetof(KESOPointData, x) == 12 &&
                      offsetof(KESOPointData, timestamp) == 24 && offsetof(KESOPointData, tag) == 32,
                  "the record layout the stores assume");
    const FourPixels p = Pixel::readFour(pixels);
    const uint32_t rowColumn =
        static_cast<uint32_t>(row) | static_cast<uint32_t>(firstColumn) << 16;
    __m128 a0 = _mm_castsi128_ps(_mm_add_epi32(_mm_set1_epi32(static_cast<int>(rowColumn)),
                                               _mm_setr_epi32(0, 1 << 16, 2 << 16, 3 << 16)));
    __m128 a1 = p.distance;
    __m128 a2 = _mm_castsi128_ps(p.intensity);
    __m128 a3 = p.x;
    _MM_TRANSPOSE4_PS(a0, a1, a2, a3);
    const __m128 time = _mm_castsi128_ps(_mm_set1_epi64x(static_cast<long long>(timestamp)));
    const __m128 yz01 = _mm_unpacklo_ps(p.y, p.z);
    const __m128 yz23 = _mm_unpackhi_ps(p.y, p.z);
    const __m128i tags = _mm_set1_epi64x(tag);
    auto* bytes = reinterpret_cast<float*>(cells);
    constexpr std::size_t kFloatsPerCell = sizeof(KESOPointData) / sizeof(float);
    _mm_storeu_ps(bytes, a0);
    _mm_storeu_ps(bytes + 4, _mm_movelh_ps(yz01, time));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(bytes + 8), tags);
    _mm_storeu_ps(bytes + kFloatsPerCell, a1);
    _mm_storeu_ps(bytes + kFloatsPerCell + 4, _mm_shuffle_ps(yz01, time, _MM_SHUFFLE(1, 0, 3, 2)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(bytes + kFloatsPerCell + 8), tags);
    _mm_storeu_ps(bytes + 2 * kFloatsPerCell, a2);
    _mm_storeu_ps(bytes + 2 * kFloatsPerCell + 4, _mm_movelh_ps(yz23, time));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(bytes + 2 * kFloatsPerCell + 8), tags);
    _mm_storeu_ps(bytes + 3 * kFloatsPerCell, a3);
    _mm_storeu_ps(bytes + 3 * kFloatsPerCell + 4, _mm_shuffle_ps(yz23, time, _MM_SHUFFLE(1, 0, 3, 2)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(bytes + 3 * kFloatsPerCell + 8), tags);
}
#endif

// Writes `columns` pixels into the cells of grid row `row` from `firstColumn` on.
template <typename Pixel>
void writeStripRow(const uint8_t* pixels, std::size_t columns, std::size_t row,
                   std::size_t firstColumn, uint64_t timestamp, uint8_t tag,
                   KESOPointData* rowCells) {
    KESOPointData* cell = rowCells + firstColumn;
#if TARN_FOUR_CELLS_AT_ONCE
    if constexpr (Pixel::kFourAtOnce) {
        if (columns == kStripColumns) {
            writeFourCells<Pixel>(pixels, row, firstColumn, timestamp, tag, cell);
            return;
        }
    }
#endif
    // Every field of the record is written in place: a record assembled elsewhere and copied in
    // would be read back before its parts reached memory, which stalls the copy.
    for (std::size_t c = 0; c < columns; ++c, ++cell, pixels += Pixel::kBytes) {
        cell->row = static_cast<uint16_t>(row);
        cell->column = static_cast<uint16_t>(firstColumn + c);
        Pixel::read(pixels, *cell);
        cell->timestamp = timestamp;
        cell->tag = tag;
    }
}

}  // namespace tarn::stream

#endif  // TARN_STREAM_PIXEL_LAYOUTS_H
