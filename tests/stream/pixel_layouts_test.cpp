// A strip row of four pixels is written four cells at a time, on every path the processor has;
// every field must come out as the one-pixel reading gives it, for every layout, every raw
// coordinate and the extreme values, and whole frames (short strips, strips at the grid's edges,
// strips sharing cells) must write the same grid on every path.
#include "stream/pixel_layouts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "stream/frame_strips.h"

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

// The paths this processor has; each test forces them in turn and restores the fastest.
std::vector<FourCellPath> supportedPaths() {
    std::vector<FourCellPath> paths;
    for (FourCellPath path : {FourCellPath::kBaseline, FourCellPath::kAvx2}) {
        if (fourCellPathSupported(path)) {
            paths.push_back(path);
        }
    }
    return paths;
}
struct RestoreFastestPath {
    ~RestoreFastestPath() { forceFourCellPath(fastestFourCellPath()); }
};

template <typename Pixel>
void expectRowAsOnePixelReads(const std::vector<uint8_t>& pixels, const char* what) {
    std::vector<KESOPointData> cells(KESO_COLUMNS);
    writeStripRow<Pixel>(pixels.data(), kStripColumns, kRow, kFirstColumn, kTimestamp, kTag,
                         cells.data());
    for (std::size_t c = 0; c < kStripColumns; ++c) {
        KESOPointData expected{};
        Pixel::read(pixels.data() + c * Pixel::kBytes, expected);
        const KESOPointData& cell = cells[kFirstColumn + c];
        ASSERT_EQ(cell.row, kRow);
        ASSERT_EQ(cell.column, kFirstColumn + c);
        ASSERT_EQ(bitsOf(cell.distance), bitsOf(expected.distance)) << what;
        ASSERT_EQ(cell.intensity, expected.intensity) << what;
        ASSERT_EQ(bitsOf(cell.x), bitsOf(expected.x)) << what;
        ASSERT_EQ(bitsOf(cell.y), bitsOf(expected.y)) << what;
        ASSERT_EQ(bitsOf(cell.z), bitsOf(expected.z)) << what;
        ASSERT_EQ(cell.timestamp, kTimestamp);
        ASSERT_EQ(cell.tag, kTag);
    }
}

template <typename Pixel>
void expectFourCellsAsOnePixelReads() {
    std::mt19937 random(7);
    // Raw values drawn from the extremes as well as from anywhere.
    const uint8_t extremes[] = {0x00, 0x01, 0x7F, 0x80, 0xFF};
    std::vector<uint8_t> pixels(kStripColumns * Pixel::kBytes);
    for (int trial = 0; trial < kTrials; ++trial) {
        for (uint8_t& byte : pixels) {
            byte = trial % 2 == 0 ? extremes[random() % sizeof extremes]
                                  : static_cast<uint8_t>(random());
        }
        expectRowAsOnePixelReads<Pixel>(pixels, "random pixels");
    }
    // Every 16-bit value in every word of the pixels, so every raw coordinate in every field
    // (and in every lane, as the four pixels take consecutive values).
    for (uint32_t value = 0; value < 0x10000; value += 1) {
        for (std::size_t word = 0; word < pixels.size() / 2; ++word) {
            const uint32_t raw = (value + static_cast<uint32_t>(word)) & 0xFFFF;
            pixels[2 * word] = static_cast<uint8_t>(raw);
            pixels[2 * word + 1] = static_cast<uint8_t>(raw >> 8);
        }
        expectRowAsOnePixelReads<Pixel>(pixels, "every raw value");
    }
}

TEST(PixelLayoutsTest, FourCellsAtOnceEqualOnePixelReadsInEveryLayoutOnEveryPath) {
    const RestoreFastestPath restore;
    for (FourCellPath path : supportedPaths()) {
        SCOPED_TRACE(static_cast<int>(path));
        ASSERT_TRUE(forceFourCellPath(path));
        expectFourCellsAsOnePixelReads<DistancePixel>();
        expectFourCellsAsOnePixelReads<XyzPixel>();
        expectFourCellsAsOnePixelReads<DistanceXyzPixel>();
    }
}

// Frames of random datagrams of every layout and length (whole strip rows, a partial last row,
// cut inside a pixel), at random places with the grid's last rows and columns among them, some
// sharing cells (the later one wins), some forming bands of disjoint rows: every path writes the
// grid the baseline writes, byte for byte, both strip by strip and as a whole frame.
TEST(PixelLayoutsTest, FramesWriteTheSameGridOnEveryPath) {
    const RestoreFastestPath restore;
    constexpr std::size_t kGridBytes = sizeof(KESOPointData) * KESO_ROWS * KESO_COLUMNS;
    auto newGrid = [] { return std::make_unique<KESOPointData[][KESO_COLUMNS]>(KESO_ROWS); };
    // Per path: the frame written strip by strip, and as a whole; the baseline's are kept.
    const auto strips = newGrid();
    const auto frame = newGrid();
    const auto baselineStrips = newGrid();
    const auto baselineFrame = newGrid();
    std::mt19937 random(11);
    const uint8_t types[] = {kDistancePixelType, kXyzPixelType, kDistanceXyzPixelType};
    const uint16_t bandRows[] = {0, 40, 80, 120, KESO_ROWS - 1};
    for (int trial = 0; trial < 300; ++trial) {
        std::vector<std::vector<uint8_t>> datagrams(1 + random() % 24);
        std::vector<PointHeader> headers(datagrams.size());
        for (std::size_t i = 0; i < datagrams.size(); ++i) {
            PointHeader& header = headers[i];
            header.pixelType = types[trial % 4 == 3 ? random() % 3 : trial % 3];
            header.tag = static_cast<uint8_t>(random());
            header.timestamp = static_cast<uint64_t>(random()) << 32 | random();
            header.firstRow = static_cast<uint16_t>(trial % 2 == 0 ? bandRows[random() % 5]
                                                                   : random() % KESO_ROWS);
            header.firstColumn = static_cast<uint16_t>(
                random() % 8 == 0 ? KESO_COLUMNS - 1 - random() % 4 : 4 * (random() % 90));
            const std::size_t pixelBytes =
                static_cast<std::size_t>(pixelBytesOfType(header.pixelType));
            datagrams[i].resize(kPointHeaderBytes + random() % (200 * pixelBytes + 1));
            for (uint8_t& byte : datagrams[i]) {
                byte = static_cast<uint8_t>(random());
            }
        }
        uint32_t baselineCells = 0;
        for (FourCellPath path : supportedPaths()) {
            ASSERT_TRUE(forceFourCellPath(path));
            std::memset(strips.get(), 0x5A, kGridBytes);
            std::memset(frame.get(), 0x5A, kGridBytes);
            FrameStrips whole(datagrams.size());
            for (std::size_t i = 0; i < datagrams.size(); ++i) {
                FrameStrips::Strip strip;
                if (FrameStrips::stripOf(headers[i], datagrams[i].data(), datagrams[i].size(),
                                         strip)) {
                    FrameStrips::writeStrip(strip, strips.get());
                }
                whole.add(headers[i], datagrams[i].data(), datagrams[i].size());
            }
            const uint32_t cells = whole.write(frame.get());
            if (path == FourCellPath::kBaseline) {
                std::memcpy(baselineStrips.get(), strips.get(), kGridBytes);
                std::memcpy(baselineFrame.get(), frame.get(), kGridBytes);
                baselineCells = cells;
            }
            ASSERT_EQ(std::memcmp(baselineStrips.get(), strips.get(), kGridBytes), 0)
                << "strip by strip, trial " << trial << ", path " << static_cast<int>(path);
            ASSERT_EQ(std::memcmp(baselineFrame.get(), frame.get(), kGridBytes), 0)
                << "whole frame, trial " << trial << ", path " << static_cast<int>(path);
            ASSERT_EQ(cells, baselineCells);
        }
    }
}

}  // namespace
}  // namespace tarn::stream
