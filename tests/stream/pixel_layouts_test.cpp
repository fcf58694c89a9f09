// A strip row of four pixels is written four cells at a time; every field must come out as the
// one-pixel reading gives it, for every layout and for the extreme raw values.
#include "stream/pixel_layouts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace tarn::stream {
namespace {

constexpr std::size_t kRow = 149;
constexpr std::size_t kFirstColumn = 356;
constexpr uint64_t kTimestamp = 0x0102030405060708ull;
constexpr uint8_t kTag = 0xAB;
constexpr int kTrials = 4000;

uint32_t bitsOf(float value) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

template <typename Pixel>
void expectFourCellsAsOnePixelReads() {
    std::mt19937 random(7);
    // Raw values drawn from the extremes as well as from anywhere.
    const uint8_t extremes[] = {0x00, 0x01, 0x7F, 0x80, 0xFF};
    std::vector<uint8_t> pixels(kStripColumns * Pixel::kBytes);
    std::vector<KESOPointData> cells(KESO_COLUMNS);
    for (int trial = 0; trial < kTrials; ++trial) {
        for (uint8_t& byte : pixels) {
            byte = trial % 2 == 0 ? extremes[random() % sizeof extremes]
                                  : static_cast<uint8_t>(random());
        }
        writeStripRow<Pixel>(pixels.data(), kStripColumns, kRow, kFirstColumn, kTimestamp, kTag,
                             cells.data());
        for (std::size_t c = 0; c < kStripColumns; ++c) {
            KESOPointData expected{};
            Pixel::read(pixels.data() + c * Pixel::kBytes, expected);
            const KESOPointData& cell = cells[kFirstColumn + c];
            ASSERT_EQ(cell.row, kRow);
            ASSERT_EQ(cell.column, kFirstColumn + c);
            ASSERT_EQ(bitsOf(cell.distance), bitsOf(expected.distance)) << "trial " << trial;
            ASSERT_EQ(cell.intensity, expected.intensity) << "trial " << trial;
            ASSERT_EQ(bitsOf(cell.x), bitsOf(expected.x)) << "trial " << trial;
            ASSERT_EQ(bitsOf(cell.y), bitsOf(expected.y)) << "trial " << trial;
            ASSERT_EQ(bitsOf(cell.z), bitsOf(expected.z)) << "trial " << trial;
            ASSERT_EQ(cell.timestamp, kTimestamp);
            ASSERT_EQ(cell.tag, kTag);
        }
    }
}

TEST(PixelLayoutsTest, FourCellsAtOnceEqualOnePixelReadsInEveryLayout) {
    expectFourCellsAsOnePixelReads<DistancePixel>();
    expectFourCellsAsOnePixelReads<XyzPixel>();
    expectFourCellsAsOnePixelReads<DistanceXyzPixel>();
}

}  // namespace
}  // namespace tarn::stream
