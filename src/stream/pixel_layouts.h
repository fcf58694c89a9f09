// The pixel layouts of point datagrams, and the writing of a strip's rows of pixels into grid
// cells. One type per layout, so that the per-point loop has no branch on the layout.
#ifndef TARN_STREAM_PIXEL_LAYOUTS_H
#define TARN_STREAM_PIXEL_LAYOUTS_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "KESOApi.h"
#include "format/datagram_format.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#define TARN_FOUR_CELLS_AT_ONCE 1
#else
#define TARN_FOUR_CELLS_AT_ONCE 0
#endif

// x86-64 processors with AVX2 and FMA also take a path of their own, chosen at run time.
#if TARN_FOUR_CELLS_AT_ONCE && defined(__x86_64__) && defined(__GNUC__)
#define TARN_AVX2_CELLS 1
#define TARN_AVX2_TARGET __attribute__((target("avx2,fma")))
#else
#define TARN_AVX2_CELLS 0
#endif

namespace tarn::stream {

// The ways strip rows of four pixels are written: kBaseline with what every processor of the
// architecture has (SSE2 on x86-64; one pixel at a time elsewhere), kAvx2 with AVX2 and FMA. All
// give the same cells, bit for bit.
enum class FourCellPath : uint8_t { kBaseline, kAvx2 };

inline bool fourCellPathSupported(FourCellPath path) {
    switch (path) {
        case FourCellPath::kBaseline:
            return true;
        case FourCellPath::kAvx2:
#if TARN_AVX2_CELLS
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
            return false;
#endif
    }
    return false;
}

inline FourCellPath fastestFourCellPath() {
    return fourCellPathSupported(FourCellPath::kAvx2) ? FourCellPath::kAvx2
                                                      : FourCellPath::kBaseline;
}

// The path writeStripRows takes: the fastest one the processor has, unless another was forced.
inline std::atomic<FourCellPath> activeFourCellPath{fastestFourCellPath()};

// Makes writeStripRows take `path` (tests and benchmarks compare the paths); false, and nothing
// changed, when the processor lacks it.
inline bool forceFourCellPath(FourCellPath path) {
    if (!fourCellPathSupported(path)) {
        return false;
    }
    activeFourCellPath.store(path, std::memory_order_relaxed);
    return true;
}

// A raw 16-bit coordinate in the unit of KESOPointData.
constexpr float kRawCoordinateDivisor = 10.0f;
constexpr float kRawCoordinateFactor = 2.0f;
inline float coordinateAt(const uint8_t* bytes) {
    return static_cast<float>(readI16Le(bytes)) / kRawCoordinateDivisor * kRawCoordinateFactor;
}

// The first 32-bit word of a cell: its row in the low half, its column in the high half.
inline uint32_t rowColumnWord(std::size_t row, std::size_t column) {
    static_assert(offsetof(KESOPointData, row) == 0 && offsetof(KESOPointData, column) == 2,
                  "the halves of the word");
    return static_cast<uint32_t>(row) | static_cast<uint32_t>(column) << 16;
}

#if TARN_FOUR_CELLS_AT_ONCE
// The raw fields of four consecutive pixels, side by side, as every four-cell path takes them.
struct FourWords {
    __m128i distance;   // four unsigned 32-bit lanes (zero where the layout has no distance)
    __m128i intensity;  // four 32-bit lanes, 0 to 255
    __m128i xy;         // the raw x of the four pixels in words 0-3, their raw y in words 4-7
    __m128i z;          // the raw z of the four pixels in words 0-3
};

// The measured fields of four consecutive pixels, one pixel per lane.
struct FourPixels {
    __m128 distance;
    __m128i intensity;
    __m128 x;
    __m128 y;
    __m128 z;
};

// The low four 16-bit words of `words` as signed and as unsigned 32-bit lanes.
inline __m128i signedWords(__m128i words) {
    return _mm_srai_epi32(_mm_unpacklo_epi16(words, words), 16);
}
inline __m128i unsignedWords(__m128i words) {
    return _mm_unpacklo_epi16(words, _mm_setzero_si128());
}

// The low bytes of the low four 16-bit words, as 32-bit lanes.
inline __m128i lowBytesOfWords(__m128i words) {
    return _mm_and_si128(unsignedWords(words), _mm_set1_epi32(0xFF));
}

// coordinateAt for the low four 16-bit words, one per lane, with the same operations in the same
// order (so the same results).
inline __m128 coordinateLanes(__m128i words) {
    return _mm_mul_ps(
        _mm_div_ps(_mm_cvtepi32_ps(signedWords(words)), _mm_set1_ps(kRawCoordinateDivisor)),
        _mm_set1_ps(kRawCoordinateFactor));
}

// The measured fields of four pixels from their raw fields.
template <typename Pixel>
FourPixels pixelsOfWords(const FourWords& words) {
    FourPixels pixels{_mm_setzero_ps(), words.intensity, _mm_setzero_ps(), _mm_setzero_ps(),
                      _mm_setzero_ps()};
    if constexpr (Pixel::kHasDistance) {
        pixels.distance = _mm_cvtepi32_ps(words.distance);
    }
    if constexpr (Pixel::kHasCoordinates) {
        pixels.x = coordinateLanes(words.xy);
        pixels.y = coordinateLanes(_mm_srli_si128(words.xy, 8));
        pixels.z = coordinateLanes(words.z);
    }
    return pixels;
}

#endif

// Each read sets every measured field of the point, zero where the layout has no value. A layout
// with kFourAtOnce also reads four pixels' raw fields side by side at once (whole loads and
// interleaving, no per-pixel gathers).
struct DistancePixel {
    static constexpr std::size_t kBytes = kDistancePixelBytes;
    static constexpr bool kFourAtOnce = TARN_FOUR_CELLS_AT_ONCE;
    static constexpr bool kHasDistance = true;
    static constexpr bool kHasCoordinates = false;
    static void read(const uint8_t* pixel, KESOPointData& point) {
        point.distance = readU16Le(pixel + kDistancePixelDistance);
        point.intensity = pixel[kDistancePixelIntensity];
        point.x = 0.0f;
        point.y = 0.0f;
        point.z = 0.0f;
    }
#if TARN_FOUR_CELLS_AT_ONCE
    // Four pixels are one 32-bit lane each: the distance in its low word, the intensity in the
    // byte above.
    static FourWords wordsOfFour(const uint8_t* pixels) {
        static_assert(kBytes == 4 && kDistancePixelDistance == 0 && kDistancePixelIntensity == 2,
                      "the lane positions this assumes");
        const __m128i lanes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels));
        return FourWords{_mm_and_si128(lanes, _mm_set1_epi32(0xFFFF)),
                         _mm_and_si128(_mm_srli_epi32(lanes, 16), _mm_set1_epi32(0xFF)),
                         _mm_setzero_si128(), _mm_setzero_si128()};
    }
#endif
};

struct XyzPixel {
    static constexpr std::size_t kBytes = kXyzPixelBytes;
    static constexpr bool kFourAtOnce = TARN_FOUR_CELLS_AT_ONCE;
    static constexpr bool kHasDistance = false;
    static constexpr bool kHasCoordinates = true;
    static void read(const uint8_t* pixel, KESOPointData& point) {
        point.distance = 0.0f;
        point.x = coordinateAt(pixel + kXyzPixelX);
        point.y = coordinateAt(pixel + kXyzPixelY);
        point.z = coordinateAt(pixel + kXyzPixelZ);
        point.intensity = pixel[kXyzPixelIntensity];
    }
#if TARN_FOUR_CELLS_AT_ONCE
    // Four pixels are four 16-bit words each (x, y, z, intensity): two interleaving steps put
    // each field's four words side by side.
    static FourWords wordsOfFour(const uint8_t* pixels) {
        static_assert(kBytes == 8 && kXyzPixelX == 0 && kXyzPixelY == 2 && kXyzPixelZ == 4 &&
                          kXyzPixelIntensity == 6,
                      "the word positions the interleaving assumes");
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels));
        const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels + 16));
        const __m128i even = _mm_unpacklo_epi16(first, second);  // x0 x2 y0 y2 z0 z2 i0 i2
        const __m128i odd = _mm_unpackhi_epi16(first, second);   // x1 x3 y1 y3 z1 z3 i1 i3
        const __m128i xy = _mm_unpacklo_epi16(even, odd);        // x0 x1 x2 x3 y0 y1 y2 y3
        const __m128i zi = _mm_unpackhi_epi16(even, odd);        // z0 z1 z2 z3 i0 i1 i2 i3
        return FourWords{_mm_setzero_si128(), lowBytesOfWords(_mm_srli_si128(zi, 8)), xy, zi};
    }
#endif
};

struct DistanceXyzPixel {
    static constexpr std::size_t kBytes = kDistanceXyzPixelBytes;
    static constexpr bool kFourAtOnce = TARN_FOUR_CELLS_AT_ONCE;
    static constexpr bool kHasDistance = true;
    static constexpr bool kHasCoordinates = true;
    static void read(const uint8_t* pixel, KESOPointData& point) {
        point.distance = readU16Le(pixel + kDistanceXyzPixelDistance);
        point.x = coordinateAt(pixel + kDistanceXyzPixelX);
        point.y = coordinateAt(pixel + kDistanceXyzPixelY);
        point.z = coordinateAt(pixel + kDistanceXyzPixelZ);
        point.intensity = pixel[kDistanceXyzPixelIntensity];
    }
#if TARN_FOUR_CELLS_AT_ONCE
    // Four pixels are five 16-bit words each (distance, x, y, z, intensity), 40 bytes read as
    // words 0-7, 8-15 and 12-19. Byte shifts move each pixel's words to the front of a register,
    // and two interleaving steps put each field's four words side by side.
    static FourWords wordsOfFour(const uint8_t* pixels) {
        static_assert(kBytes == 10 && kDistanceXyzPixelDistance == 0 && kDistanceXyzPixelX == 2 &&
                          kDistanceXyzPixelY == 4 && kDistanceXyzPixelZ == 6 &&
                          kDistanceXyzPixelIntensity == 8,
                      "the word positions the shifts assume");
        const __m128i words0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels));
        const __m128i words8 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels + 16));
        const __m128i words12 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels + 24));
        const __m128i pixel0 = words0;
        const __m128i pixel1 = _mm_or_si128(_mm_srli_si128(words0, 10), _mm_slli_si128(words8, 6));
        const __m128i pixel2 = _mm_srli_si128(words8, 4);
        const __m128i pixel3 = _mm_srli_si128(words12, 6);
        const __m128i front01 = _mm_unpacklo_epi16(pixel0, pixel1);  // d0 d1 x0 x1 y0 y1 z0 z1
        const __m128i front23 = _mm_unpacklo_epi16(pixel2, pixel3);  // d2 d3 x2 x3 y2 y3 z2 z3
        const __m128i dx = _mm_unpacklo_epi32(front01, front23);     // d0 d1 d2 d3 x0 x1 x2 x3
        const __m128i yz = _mm_unpackhi_epi32(front01, front23);     // y0 y1 y2 y3 z0 z1 z2 z3
        const __m128i intensities = _mm_unpacklo_epi32(_mm_unpackhi_epi16(pixel0, pixel1),
                                                       _mm_unpackhi_epi16(pixel2, pixel3));
        const __m128i xy = _mm_castpd_si128(
            _mm_shuffle_pd(_mm_castsi128_pd(dx), _mm_castsi128_pd(yz), 1));  // x0-x3 y0-y3
        return FourWords{unsignedWords(dx), lowBytesOfWords(intensities), xy,
                         _mm_srli_si128(yz, 8)};
    }
#endif
};

#if TARN_FOUR_CELLS_AT_ONCE
// Writes four whole cells from four pixels: each 40-byte record as two 16-byte stores (row and
// column, distance, intensity, x; then y, z, timestamp) and the tag.
template <typename Pixel>
void writeFourCells(const uint8_t* pixels, std::size_t row, std::size_t firstColumn,
                    uint64_t timestamp, uint8_t tag, KESOPointData* cells) {
    static_assert(sizeof(KESOPointData) == 40 && offsetof(KESOPointData, x) == 12 &&
                      offsetof(KESOPointData, timestamp) == 24 &&
                      offsetof(KESOPointData, tag) == 32,
                  "the record layout the stores assume");
    const FourPixels p = pixelsOfWords<Pixel>(Pixel::wordsOfFour(pixels));
    const uint32_t rowColumn = rowColumnWord(row, firstColumn);
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
    _mm_storeu_ps(bytes + 3 * kFloatsPerCell + 4,
                  _mm_shuffle_ps(yz23, time, _MM_SHUFFLE(1, 0, 3, 2)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(bytes + 3 * kFloatsPerCell + 8), tags);
}
#endif

#if TARN_AVX2_CELLS
// writeStripRows for rows of four pixels, with AVX2 and FMA (pixel_layouts_avx2.cpp); only for a
// processor that has both. `cells` is the first row's cell at `firstColumn`.
template <typename Pixel>
TARN_AVX2_TARGET void writeFullRowsAvx2(const uint8_t* pixels, std::size_t rows, std::size_t row,
                                        std::size_t firstColumn, uint64_t timestamp, uint8_t tag,
                                        KESOPointData* cells);
#endif

// Writes `rows` consecutive strip rows of `columns` pixels each (at most kStripColumns, all inside
// the grid; the pixels of strip row r at pixels + r * kStripColumns * Pixel::kBytes) into grid
// rows `row` on, from `firstColumn` on. `rowCells` is grid row `row`, the rows after it follow it
// in memory.
template <typename Pixel>
void writeStripRows(const uint8_t* pixels, std::size_t rows, std::size_t columns, std::size_t row,
                    std::size_t firstColumn, uint64_t timestamp, uint8_t tag,
                    KESOPointData* rowCells) {
    constexpr std::size_t kRowPixelBytes = kStripColumns * Pixel::kBytes;
#if TARN_FOUR_CELLS_AT_ONCE
    if constexpr (Pixel::kFourAtOnce) {
        if (columns == kStripColumns) {
#if TARN_AVX2_CELLS
            if (activeFourCellPath.load(std::memory_order_relaxed) == FourCellPath::kAvx2) {
                writeFullRowsAvx2<Pixel>(pixels, rows, row, firstColumn, timestamp, tag,
                                         rowCells + firstColumn);
                return;
            }
#endif
            for (std::size_t r = 0; r < rows; ++r) {
                writeFourCells<Pixel>(pixels + r * kRowPixelBytes, row + r, firstColumn, timestamp,
                                      tag, rowCells + r * KESO_COLUMNS + firstColumn);
            }
            return;
        }
    }
#endif
    for (std::size_t r = 0; r < rows; ++r) {
        // Every field of the record is written in place: a record assembled elsewhere and copied
        // in would be read back before its parts reached memory, which stalls the copy.
        KESOPointData* cell = rowCells + r * KESO_COLUMNS + firstColumn;
        const uint8_t* pixel = pixels + r * kRowPixelBytes;
        for (std::size_t c = 0; c < columns; ++c, ++cell, pixel += Pixel::kBytes) {
            cell->row = static_cast<uint16_t>(row + r);
            cell->column = static_cast<uint16_t>(firstColumn + c);
            Pixel::read(pixel, *cell);
            cell->timestamp = timestamp;
            cell->tag = tag;
        }
    }
}

// Writes `columns` pixels into the cells of grid row `row` from `firstColumn` on.
template <typename Pixel>
void writeStripRow(const uint8_t* pixels, std::size_t columns, std::size_t row,
                   std::size_t firstColumn, uint64_t timestamp, uint8_t tag,
                   KESOPointData* rowCells) {
    writeStripRows<Pixel>(pixels, 1, columns, row, firstColumn, timestamp, tag, rowCells);
}

}  // namespace tarn::stream

#endif  // TARN_STREAM_PIXEL_LAYOUTS_H
