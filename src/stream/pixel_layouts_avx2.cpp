// Four cells at once with AVX2 and FMA. Only functions marked TARN_AVX2_TARGET use those
// instructions, and writeStripRow calls them only on a processor that has them; the rest of this
// file is baseline code.
#include "stream/pixel_layouts.h"

#if TARN_AVX2_CELLS

#include <immintrin.h>

namespace tarn::stream {

namespace {

// coordinateAt of raw values already converted to float, eight lanes: the quotient by 5 (which
// is the division by 10 and the doubling, since doubling is exact) rounded once, as the division
// rounds it. The product with 0.2 is within an ulp of the quotient, the FMA gives its remainder
// exactly, and the second FMA corrects it; for every 16-bit raw value this is the division's
// float, bit for bit (the tests compare all 65,536).
TARN_AVX2_TARGET inline __m256 coordinatesOfRaw(__m256 raw) {
    static_assert(kRawCoordinateDivisor / kRawCoordinateFactor == 5.0f,
                  "the quotient this computes");
    const __m256 fifth = _mm256_set1_ps(0.2f);
    const __m256 quotient = _mm256_mul_ps(raw, fifth);
    const __m256 remainder = _mm256_fnmadd_ps(quotient, _mm256_set1_ps(5.0f), raw);
    return _mm256_fmadd_ps(remainder, fifth, quotient);
}

}  // namespace

// Four 8-float rows hold the first 32 bytes of the four cells: row and column, distance,
// intensity and x in their low halves; y, z and the timestamp in their high halves. A transpose
// within the halves turns them into one cell's first 32 bytes each.
template <typename Pixel>
TARN_AVX2_TARGET void writeFourCellsAvx2(const uint8_t* pixels, std::size_t row,
                                         std::size_t firstColumn, uint64_t timestamp, uint8_t tag,
                                         KESOPointData* cells) {
    static_assert(sizeof(KESOPointData) == 40 && offsetof(KESOPointData, distance) == 4 &&
                      offsetof(KESOPointData, intensity) == 8 && offsetof(KESOPointData, x) == 12 &&
                      offsetof(KESOPointData, y) == 16 && offsetof(KESOPointData, z) == 20 &&
                      offsetof(KESOPointData, timestamp) == 24 &&
                      offsetof(KESOPointData, tag) == 32,
                  "the record layout the stores assume");
    static_assert(Pixel::kHasCoordinates, "the layouts with coordinates to convert");
    const FourWords words = Pixel::wordsOfFour(pixels);
    const uint32_t rowColumn =
        static_cast<uint32_t>(row) | static_cast<uint32_t>(firstColumn) << 16;
    const __m128i rowColumns = _mm_add_epi32(_mm_set1_epi32(static_cast<int>(rowColumn)),
                                             _mm_setr_epi32(0, 1 << 16, 2 << 16, 3 << 16));
    const __m256 timeLow = _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int>(timestamp)));
    const __m256 timeHigh =
        _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int>(timestamp >> 32)));
    // x | y, and distance | z (a layout without distance has zero lanes there).
    const __m256 xy = coordinatesOfRaw(_mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(words.xy)));
    const __m256 distanceAndZ = _mm256_cvtepi32_ps(_mm256_inserti128_si256(
        _mm256_castsi128_si256(words.distance), _mm_cvtepi16_epi32(words.z), 1));
    const __m256 r0 =
        _mm256_blend_ps(xy, _mm256_castps128_ps256(_mm_castsi128_ps(rowColumns)), 0x0F);
    const __m256 r1 = _mm256_blend_ps(distanceAndZ, coordinatesOfRaw(distanceAndZ), 0xF0);
    const __m256 r2 = _mm256_blend_ps(
        timeLow, _mm256_castps128_ps256(_mm_castsi128_ps(words.intensity)), 0x0F);
    const __m256 r3 = _mm256_blend_ps(timeHigh, xy, 0x0F);
    const __m256 t0 = _mm256_unpacklo_ps(r0, r1);
    const __m256 t1 = _mm256_unpacklo_ps(r2, r3);
    const __m256 t2 = _mm256_unpackhi_ps(r0, r1);
    const __m256 t3 = _mm256_unpackhi_ps(r2, r3);
    const __m128i tags = _mm_cvtsi64_si128(static_cast<long long>(tag));
    float* const floats = reinterpret_cast<float*>(cells);
    constexpr std::size_t kFloatsPerCell = sizeof(KESOPointData) / sizeof(float);
    _mm256_storeu_ps(floats, _mm256_shuffle_ps(t0, t1, _MM_SHUFFLE(1, 0, 1, 0)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(&cells[0].tag), tags);
    _mm256_storeu_ps(floats + kFloatsPerCell, _mm256_shuffle_ps(t0, t1, _MM_SHUFFLE(3, 2, 3, 2)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(&cells[1].tag), tags);
    _mm256_storeu_ps(floats + 2 * kFloatsPerCell,
                     _mm256_shuffle_ps(t2, t3, _MM_SHUFFLE(1, 0, 1, 0)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(&cells[2].tag), tags);
    _mm256_storeu_ps(floats + 3 * kFloatsPerCell,
                     _mm256_shuffle_ps(t2, t3, _MM_SHUFFLE(3, 2, 3, 2)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(&cells[3].tag), tags);
}

template void writeFourCellsAvx2<XyzPixel>(const uint8_t*, std::size_t, std::size_t, uint64_t,
                                           uint8_t, KESOPointData*);
template void writeFourCellsAvx2<DistanceXyzPixel>(const uint8_t*, std::size_t, std::size_t,
                                                   uint64_t, uint8_t, KESOPointData*);

}  // namespace tarn::stream

#endif  // TARN_AVX2_CELLS
