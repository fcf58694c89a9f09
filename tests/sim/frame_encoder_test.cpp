#include "sim/frame_encoder.h"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace tarn::sim {
namespace {

uint16_t readU16(const Datagram& d, std::size_t offset) {
    return static_cast<uint16_t>(d[offset] | (d[offset + 1] << 8));
}

uint64_t readU64(const Datagram& d, std::size_t offset) {
    uint64_t value = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        value |= static_cast<uint64_t>(d[offset + i]) << (8 * i);
    }
    return value;
}

class FrameEncoderTest : public ::testing::TestWithParam<uint8_t> {};

// Walks every datagram the way a receiver places points (four columns per row from the first
// row and column) and checks each cell of the grid is written exactly once, with the scene's value.
TEST_P(FrameEncoderTest, StripsCoverEveryCellExactlyOnce) {
    const uint8_t pixelType = GetParam();
    const std::size_t size = pixelBytes(pixelType);
    SceneConfig config;
    config.tiltDegrees = 12.0f;
    const Scene scene(config);
    const uint64_t frame = 3;
    const std::vector<Datagram> datagrams = encodeFrame(scene, frame, {pixelType, 9, 77});

    ASSERT_EQ(datagrams.size(), static_cast<std::size_t>(datagramsPerFrame(pixelType)));
    std::vector<std::array<int, kColumns>> hits(kRows);
    for (std::size_t k = 0; k < datagrams.size(); ++k) {
        const Datagram& d = datagrams[k];
        ASSERT_LE(d.size(), kMaxDatagramBytes);
        ASSERT_EQ((d.size() - kPointHeaderBytes) % (size * kStripColumns), 0u);
        const uint8_t expectedFlag = k == 0                      ? kFrameFlagFirst
                                     : k + 1 == datagrams.size() ? kFrameFlagLast
                                                                 : kFrameFlagMiddle;
        EXPECT_EQ(d[kOffsetFrameFlag], expectedFlag) << "datagram " << k;
        EXPECT_EQ(d[kOffsetPixelType], pixelType);
        EXPECT_EQ(d[kOffsetTag], 9);
        EXPECT_EQ(readU64(d, kOffsetTimestamp), 77u);

        const int firstColumn = readU16(d, kOffsetFirstColumn);
        const int firstRow = readU16(d, kOffsetFirstRow);
        const std::size_t count = (d.size() - kPointHeaderBytes) / size;
        for (std::size_t i = 0; i < count; ++i) {
            const int row = firstRow + static_cast<int>(i / kStripColumns);
            const int column = firstColumn + static_cast<int>(i % kStripColumns);
            ASSERT_LT(row, kRows);
            ASSERT_LT(column, kColumns);
            ++hits[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];

            const RawPoint p = scene.point(row, column, frame);
            const Datagram single = encodePointDatagram(PointHeader{}, {p}, pixelType);
            const std::size_t at = kPointHeaderBytes + i * size;
            ASSERT_TRUE(std::equal(single.begin() + kPointHeaderBytes, single.end(),
                                   d.begin() + static_cast<std::ptrdiff_t>(at)))
                << "cell " << row << "," << column;
        }
    }
    for (int row = 0; row < kRows; ++row) {
        for (int column = 0; column < kColumns; ++column) {
            ASSERT_EQ(hits[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)], 1)
                << "cell " << row << "," << column;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(PixelTypes, FrameEncoderTest,
                         ::testing::Values(kPixelType4Bytes, kPixelType8Bytes, kPixelType10Bytes),
                         [](const ::testing::TestParamInfo<uint8_t>& param) {
                             return "PixelType" + std::to_string(param.param);
                         });

TEST(FrameEncoder, DatagramsAreAsFullAsTheSizeLimitAllows) {
    EXPECT_EQ(rowsPerDatagram(kPixelType4Bytes), 89);
    EXPECT_EQ(rowsPerDatagram(kPixelType8Bytes), 44);
    EXPECT_EQ(rowsPerDatagram(kPixelType10Bytes), 35);
    EXPECT_EQ(datagramsPerFrame(kPixelType4Bytes), 180);
    EXPECT_EQ(datagramsPerFrame(kPixelType10Bytes), 450);
    // One more row of 10-byte pixels would not fit.
    EXPECT_GT(kPointHeaderBytes + 36 * 4 * 10, kMaxDatagramBytes);
    EXPECT_THROW(rowsPerDatagram(3), std::invalid_argument);
}

}  // namespace
}  // namespace tarn::sim
