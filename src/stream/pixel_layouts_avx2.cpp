// Strip rows with AVX2 and FMA. Only functions marked TARN_AVX2_TARGET use those instructions, and
// writeStripRows calls them only on a processor that has them; the rest of this file is baseline
// code.
//
// Four cells are 160 bytes, five 32-byte stores of eight 32-bit words each. A store's words come
// either from the pixels (distance, intensity, x, y, z) or from the strip row (row and column,
// timestamp, tag, and zero for a field the layout lacks). The pixel words are taken as a window
// of eight consecutive 16-bit words of the four pixels, widened to eight 32-bit lanes by one byte
// shuffle and converted lane by lane as the lane's field requires, with the same operations for
// every lane (the lanes of other fields convert with factors of 1 and 0, which change nothing); one
// permutation then puts them in the store's order and one blend brings in the strip row's words.
// No gathers, no branch per pixel.
#include <utility>

#include "stream/pixel_layouts.h"

#if TARN_AVX2_CELLS

#include <immintrin.h>

namespace tarn::stream {

namespace {

// The 32-bit words of a KESOPointData record.
enum CellWord : int {
    kRowColumnWord,
    kDistanceWord,
    kIntensityWord,
    kXWord,
    kYWord,
    kZWord,
    kTimeLowWord,
    kTimeHighWord,
    kTagWord,
    kTagHighWord,
    kWordsPerCell
};
static_assert(sizeof(KESOPointData) == kWordsPerCell * 4 && offsetof(KESOPointData, row) == 0 &&
                  offsetof(KESOPointData, column) == 2 &&
                  offsetof(KESOPointData, distance) == 4 * kDistanceWord &&
                  offsetof(KESOPointData, intensity) == 4 * kIntensityWord &&
                  offsetof(KESOPointData, x) == 4 * kXWord &&
                  offsetof(KESOPointData, y) == 4 * kYWord &&
                  offsetof(KESOPointData, z) == 4 * kZWord &&
                  offsetof(KESOPointData, timestamp) == 4 * kTimeLowWord &&
                  offsetof(KESOPointData, tag) == 4 * kTagWord,
              "the record layout the stores assume");

constexpr int kLanes = 8;
constexpr int kStores = kStripColumns * kWordsPerCell / kLanes;
static_assert(kStores * kLanes == kStripColumns * kWordsPerCell, "four cells in whole stores");

// The byte offset of each field in a layout's pixel, -1 where the layout lacks the field.
template <typename Pixel>
struct FieldBytes;
template <>
struct FieldBytes<DistancePixel> {
    static constexpr int kDistance = kDistancePixelDistance;
    static constexpr int kIntensity = kDistancePixelIntensity;
    static constexpr int kX = -1;
    static constexpr int kY = -1;
    static constexpr int kZ = -1;
};
template <>
struct FieldBytes<XyzPixel> {
    static constexpr int kDistance = -1;
    static constexpr int kIntensity = kXyzPixelIntensity;
    static constexpr int kX = kXyzPixelX;
    static constexpr int kY = kXyzPixelY;
    static constexpr int kZ = kXyzPixelZ;
};
template <>
struct FieldBytes<DistanceXyzPixel> {
    static constexpr int kDistance = kDistanceXyzPixelDistance;
    static constexpr int kIntensity = kDistanceXyzPixelIntensity;
    static constexpr int kX = kDistanceXyzPixelX;
    static constexpr int kY = kDistanceXyzPixelY;
    static constexpr int kZ = kDistanceXyzPixelZ;
};

// What a 16-bit word of a pixel holds.
enum class WordKind { kNothing, kDistance, kIntensity, kCoordinate };

// Where the words of a store come from, for one layout.
template <typename Pixel>
struct Plan {
    using Bytes = FieldBytes<Pixel>;
    static constexpr bool evenOrNone(int byte) { return byte < 0 || byte % 2 == 0; }
    static_assert(Pixel::kBytes % 2 == 0 && evenOrNone(Bytes::kDistance) &&
                      evenOrNone(Bytes::kIntensity) && evenOrNone(Bytes::kX) &&
                      evenOrNone(Bytes::kY) && evenOrNone(Bytes::kZ),
                  "every field in a 16-bit word of its own (the intensity in its low byte)");
    static constexpr int kWordsPerPixel = static_cast<int>(Pixel::kBytes) / 2;
    static constexpr int kPixelWords = kStripColumns * kWordsPerPixel;
    static_assert(kPixelWords >= kLanes, "a window inside the four pixels");

    static constexpr int byteOfField(int field) {
        switch (field) {
            case kDistanceWord:
                return Bytes::kDistance;
            case kIntensityWord:
                return Bytes::kIntensity;
            case kXWord:
                return Bytes::kX;
            case kYWord:
                return Bytes::kY;
            case kZWord:
                return Bytes::kZ;
            default:
                return -1;
        }
    }
    static constexpr WordKind kindOfWord(int pixelWord) {
        const int byte = 2 * (pixelWord % kWordsPerPixel);
        if (byte == Bytes::kDistance) {
            return WordKind::kDistance;
        }
        if (byte == Bytes::kIntensity) {
            return WordKind::kIntensity;
        }
        if (byte == Bytes::kX || byte == Bytes::kY || byte == Bytes::kZ) {
            return WordKind::kCoordinate;
        }
        return WordKind::kNothing;
    }
    // The pixel word (0 to kPixelWords - 1) that lane `lane` of store `store` takes, or -1 when
    // the lane is a word of the strip row.
    static constexpr int pixelWordOf(int store, int lane) {
        const int word = store * kLanes + lane;
        const int byte = byteOfField(word % kWordsPerCell);
        return byte < 0 ? -1 : word / kWordsPerCell * kWordsPerPixel + byte / 2;
    }
    // The first pixel word of the window a store takes its pixel words from.
    static constexpr int windowOf(int store) {
        int first = kPixelWords;
        for (int lane = 0; lane < kLanes; ++lane) {
            const int word = pixelWordOf(store, lane);
            first = word >= 0 && word < first ? word : first;
        }
        return first > kPixelWords - kLanes ? kPixelWords - kLanes : first;
    }
    // The lanes of a store taken from the strip row's words, as a blend mask.
    static constexpr int rowLanesOf(int store) {
        int mask = 0;
        for (int lane = 0; lane < kLanes; ++lane) {
            mask |= pixelWordOf(store, lane) < 0 ? 1 << lane : 0;
        }
        return mask;
    }
    // Whether every pixel word a store takes lies in its window.
    static constexpr bool windowHoldsWordsOf(int store) {
        bool holds = true;
        for (int lane = 0; lane < kLanes; ++lane) {
            const int word = pixelWordOf(store, lane);
            holds =
                holds && (word < 0 || (word >= windowOf(store) && word < windowOf(store) + kLanes));
        }
        return holds;
    }
};

struct Lanes {
    int32_t lane[kLanes];
};
TARN_AVX2_TARGET inline __m256i vectorOf(const Lanes& lanes) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes.lane));
}

// The byte shuffle that widens the eight pixel words from `start` on (16 bytes, loaded into both
// halves of the register) to 32-bit lanes: a distance zero-extended, an intensity as its low byte,
// a coordinate in the high half (its raw value times 2^16, sign and all).
struct ShuffleControl {
    int8_t byte[2 * kLanes * 2];
};
constexpr int8_t kZeroByte = -128;  // a shuffle index with the high bit set gives a zero byte
template <typename Pixel>
constexpr ShuffleControl shuffleOfWindow(int start) {
    ShuffleControl control{};
    for (int lane = 0; lane < kLanes; ++lane) {
        const auto low = static_cast<int8_t>(2 * lane);
        const auto high = static_cast<int8_t>(2 * lane + 1);
        int8_t* const bytes = control.byte + 4 * lane;
        const WordKind kind = Plan<Pixel>::kindOfWord(start + lane);
        bytes[0] = kind == WordKind::kDistance || kind == WordKind::kIntensity ? low : kZeroByte;
        bytes[1] = kind == WordKind::kDistance ? high : kZeroByte;
        bytes[2] = kind == WordKind::kCoordinate ? low : kZeroByte;
        bytes[3] = kind == WordKind::kCoordinate ? high : kZeroByte;
    }
    return control;
}
// The lanes of the window starting at word `start` that hold words of one kind, one bit a lane.
template <typename Pixel>
constexpr int lanesOfWindow(int start, WordKind kind) {
    int mask = 0;
    for (int lane = 0; lane < kLanes; ++lane) {
        mask |= Plan<Pixel>::kindOfWord(start + lane) == kind ? 1 << lane : 0;
    }
    return mask;
}

// The quotient by 5 of the lanes of `coordinates` (raw values times 2^16, as floats), rounded
// once: coordinateAt, since the division by 10 and the doubling (exact) round as one division by 5
// does. 1/5 is taken as the sum of two floats, hi + lo; r * hi + r * lo (the second product
// rounded, the sum rounded once by the FMA) is within far less than the distance of any quotient
// of a 16-bit integer by 5 from a rounding boundary, so it rounds to the quotient's float: for
// every 16-bit raw value bit for bit that of the division (the tests compare all 65,536). The
// factor 2^-16 is exact. The other lanes take hi = 1 and lo = 0 and come out unchanged.
constexpr float kFifthHigh = 0.2f;
constexpr float kFifthLow = static_cast<float>(0.2 - static_cast<double>(kFifthHigh));
constexpr float kCoordinateScale = 1.0f / 65536.0f;
template <int Coordinates>
TARN_AVX2_TARGET inline __m256 coordinatesOfRaw(__m256 raw) {
    static_assert(kRawCoordinateDivisor / kRawCoordinateFactor == 5.0f,
                  "the quotient this computes");
    const __m256 high = _mm256_blend_ps(_mm256_set1_ps(1.0f),
                                        _mm256_set1_ps(kFifthHigh * kCoordinateScale), Coordinates);
    const __m256 low = _mm256_blend_ps(_mm256_setzero_ps(),
                                       _mm256_set1_ps(kFifthLow * kCoordinateScale), Coordinates);
    return _mm256_fmadd_ps(raw, high, _mm256_mul_ps(raw, low));
}

// The eight pixel words from `Start` on, each as its cell word: the distance and the coordinates
// as floats, the intensity as an integer.
template <typename Pixel, int Start>
TARN_AVX2_TARGET inline __m256i windowOf(const uint8_t* pixels) {
    static constexpr ShuffleControl kShuffle = shuffleOfWindow<Pixel>(Start);
    constexpr int kIntensities = lanesOfWindow<Pixel>(Start, WordKind::kIntensity);
    constexpr int kCoordinates = lanesOfWindow<Pixel>(Start, WordKind::kCoordinate);
    const __m256i words = _mm256_broadcastsi128_si256(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels + 2 * Start)));
    const __m256i raw = _mm256_shuffle_epi8(
        words, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kShuffle.byte)));
    __m256 values = _mm256_cvtepi32_ps(raw);
    if constexpr (kCoordinates != 0) {
        values = coordinatesOfRaw<kCoordinates>(values);
    }
    return _mm256_blend_epi32(_mm256_castps_si256(values), raw, kIntensities);
}

// The strip row's words a store takes: an index into {row and column, timestamp low, timestamp
// high, tag, 0} per lane, and the column step (cell << 16) that each cell adds to its row and
// column word.
enum RowWord : int { kRowColumnSource, kTimeLowSource, kTimeHighSource, kTagSource, kZeroSource };
constexpr Lanes rowSourcesOfStore(int store) {
    Lanes sources{};
    for (int lane = 0; lane < kLanes; ++lane) {
        switch ((store * kLanes + lane) % kWordsPerCell) {
            case kRowColumnWord:
                sources.lane[lane] = kRowColumnSource;
                break;
            case kTimeLowWord:
                sources.lane[lane] = kTimeLowSource;
                break;
            case kTimeHighWord:
                sources.lane[lane] = kTimeHighSource;
                break;
            case kTagWord:
                sources.lane[lane] = kTagSource;
                break;
            default:  // a field the layout lacks, the tag's high word, or a pixel's lane
                sources.lane[lane] = kZeroSource;
                break;
        }
    }
    return sources;
}
constexpr Lanes columnStepsOfStore(int store) {
    Lanes steps{};
    for (int lane = 0; lane < kLanes; ++lane) {
        const int word = store * kLanes + lane;
        steps.lane[lane] =
            word % kWordsPerCell == kRowColumnWord ? (word / kWordsPerCell) << 16 : 0;
    }
    return steps;
}
constexpr Lanes rowStepsOfStore(int store) {
    Lanes steps{};
    for (int lane = 0; lane < kLanes; ++lane) {
        steps.lane[lane] = (store * kLanes + lane) % kWordsPerCell == kRowColumnWord ? 1 : 0;
    }
    return steps;
}
template <typename Pixel>
constexpr Lanes windowLanesOfStore(int store) {
    Lanes lanes{};
    for (int lane = 0; lane < kLanes; ++lane) {
        const int word = Plan<Pixel>::pixelWordOf(store, lane);
        lanes.lane[lane] = word < 0 ? 0 : word - Plan<Pixel>::windowOf(store);
    }
    return lanes;
}

// The words of store `Store` that come from the strip row, for its first row.
template <typename Pixel, int Store>
TARN_AVX2_TARGET inline __m256i rowWordsOf(__m256i sources) {
    static constexpr Lanes kSources = rowSourcesOfStore(Store);
    static constexpr Lanes kColumnSteps = columnStepsOfStore(Store);
    return _mm256_add_epi32(_mm256_permutevar8x32_epi32(sources, vectorOf(kSources)),
                            vectorOf(kColumnSteps));
}

template <typename Pixel, int Store>
TARN_AVX2_TARGET inline __m256i nextRowWords(__m256i rowWords) {
    static constexpr Lanes kRowSteps = rowStepsOfStore(Store);
    return _mm256_add_epi32(rowWords, vectorOf(kRowSteps));
}

// The eight cell words of store `Store` of a strip row.
template <typename Pixel, int Store>
TARN_AVX2_TARGET inline __m256i storeWordsOf(const uint8_t* pixels, __m256i rowWords) {
    using P = Plan<Pixel>;
    constexpr int kRowLanes = P::rowLanesOf(Store);
    static_assert(P::windowHoldsWordsOf(Store), "every pixel word a store takes in its window");
    if constexpr (kRowLanes == (1 << kLanes) - 1) {
        return rowWords;
    } else {
        static constexpr Lanes kWindowLanes = windowLanesOfStore<Pixel>(Store);
        const __m256i window = windowOf<Pixel, P::windowOf(Store)>(pixels);
        return _mm256_blend_epi32(_mm256_permutevar8x32_epi32(window, vectorOf(kWindowLanes)),
                                  rowWords, kRowLanes);
    }
}

template <typename Pixel, int... Store>
TARN_AVX2_TARGET inline void writeRows(const uint8_t* pixels, std::size_t rows, std::size_t row,
                                       std::size_t firstColumn, uint64_t timestamp, uint8_t tag,
                                       KESOPointData* cells, std::integer_sequence<int, Store...>) {
    const uint32_t rowColumn = rowColumnWord(row, firstColumn);
    const __m256i sources =
        _mm256_setr_epi32(static_cast<int>(rowColumn), static_cast<int>(timestamp),
                          static_cast<int>(timestamp >> 32), tag, 0, 0, 0, 0);
    __m256i rowWords[] = {rowWordsOf<Pixel, Store>(sources)...};
    constexpr std::size_t kRowPixelBytes = kStripColumns * Pixel::kBytes;
    for (std::size_t r = 0; r < rows; ++r, pixels += kRowPixelBytes, cells += KESO_COLUMNS) {
        // Every window is read before the first store, so windows that stores share are read
        // once.
        const __m256i words[] = {storeWordsOf<Pixel, Store>(pixels, rowWords[Store])...};
        auto* out = reinterpret_cast<__m256i*>(cells);
        (_mm256_storeu_si256(out + Store, words[Store]), ...);
        ((rowWords[Store] = nextRowWords<Pixel, Store>(rowWords[Store])), ...);
    }
}

}  // namespace

template <typename Pixel>
TARN_AVX2_TARGET void writeFullRowsAvx2(const uint8_t* pixels, std::size_t rows, std::size_t row,
                                        std::size_t firstColumn, uint64_t timestamp, uint8_t tag,
                                        KESOPointData* cells) {
    writeRows<Pixel>(pixels, rows, row, firstColumn, timestamp, tag, cells,
                     std::make_integer_sequence<int, kStores>{});
}

template void writeFullRowsAvx2<DistancePixel>(const uint8_t*, std::size_t, std::size_t,
                                               std::size_t, uint64_t, uint8_t, KESOPointData*);
template void writeFullRowsAvx2<XyzPixel>(const uint8_t*, std::size_t, std::size_t, std::size_t,
                                          uint64_t, uint8_t, KESOPointData*);
template void writeFullRowsAvx2<DistanceXyzPixel>(const uint8_t*, std::size_t, std::size_t,
                                                  std::size_t, uint64_t, uint8_t, KESOPointData*);

}  // namespace tarn::stream

#endif  // TARN_AVX2_CELLS
