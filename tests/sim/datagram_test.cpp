#include "sim/datagram.h"

#include <gtest/gtest.h>

#include <vector>

namespace tarn::sim {
namespace {

PointHeader sampleHeader(uint8_t pixelType) {
    PointHeader header;
    header.tag = 0x7e;
    header.firstColumn = 0x0164;  // 356
    header.firstRow = 0x0093;     // 147
    header.pixelType = pixelType;
    header.frameFlag = kFrameFlagLast;
    header.timestamp = 0x0102030405060708ULL;
    return header;
}

// The 45 header bytes sampleHeader must produce, written out by hand.
std::vector<uint8_t> expectedHeader(uint8_t pixelType) {
    return {0x5a, 0xa5, 0x00, 0x01, 0x00, 0x00, 0x00,      0x00, 0x00, 0x00, 0x00, 0x7e,
            0x64, 0x01, 0x93, 0x00, 0x00, 0x00, pixelType, 0x00, 0x02, 0x00, 0x00, 0x00,
            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,      0x00, 0x00, 0x00, 0x00, 0x00,
            0x00, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03,      0x02, 0x01};
}

const RawPoint kPoint{-50, 0x1234, 5, 0xabcd, 200};

TEST(PointDatagram, FourBytePixelsCarryDistanceAndIntensity) {
    const Datagram d = encodePointDatagram(sampleHeader(kPixelType4Bytes), {kPoint});
    std::vector<uint8_t> expected = expectedHeader(kPixelType4Bytes);
    expected.insert(expected.end(), {0xcd, 0xab, 200, 0x00});
    EXPECT_EQ(d, expected);
}

TEST(PointDatagram, EightBytePixelsCarryCoordinatesAndIntensity) {
    const Datagram d = encodePointDatagram(sampleHeader(kPixelType8Bytes), {kPoint, kPoint});
    std::vector<uint8_t> expected = expectedHeader(kPixelType8Bytes);
    for (int i = 0; i < 2; ++i) {
        expected.insert(expected.end(), {0xce, 0xff, 0x34, 0x12, 0x05, 0x00, 200, 0x00});
    }
    EXPECT_EQ(d, expected);
}

TEST(PointDatagram, TenBytePixelsCarryEverything) {
    const Datagram d = encodePointDatagram(sampleHeader(kPixelType10Bytes), {kPoint});
    std::vector<uint8_t> expected = expectedHeader(kPixelType10Bytes);
    expected.insert(expected.end(), {0xcd, 0xab, 0xce, 0xff, 0x34, 0x12, 0x05, 0x00, 200, 0x00});
    EXPECT_EQ(d, expected);
}

TEST(PointDatagram, EveryCheckedFieldCanBeMadeInvalid) {
    PointHeader header = sampleHeader(kPixelType4Bytes);
    header.magic = 0x5aa5;
    header.dataType = 9;
    header.versionMinor = 2;
    header.pixelType = 3;
    header.frameFlag = 7;
    const Datagram d = encodePointDatagram(header, {kPoint}, kPixelType8Bytes);
    ASSERT_EQ(d.size(), kPointHeaderBytes + 8);
    EXPECT_EQ(d[0], 0xa5);
    EXPECT_EQ(d[1], 0x5a);
    EXPECT_EQ(d[kOffsetDataType], 9);
    EXPECT_EQ(d[kOffsetVersionMinor], 2);
    EXPECT_EQ(d[kOffsetPixelType], 3);
    EXPECT_EQ(d[kOffsetFrameFlag], 7);
    EXPECT_THROW(encodePointDatagram(header, {kPoint}), std::invalid_argument);
}

TEST(ImuDatagram, RecordSitsAtOffsetSix) {
    ImuFields fields;
    fields.timestamp = 5000000999ULL;  // 0x12A05F5E7
    fields.sample = packImuSample({{1.0f, 0.0f, -2.0f}, {0.5f, 0.0f, 0.0f}});
    const Datagram d = encodeImuDatagram(fields);

    const std::vector<uint8_t> expected = {
        0x5a, 0xa5, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
        0xe7, 0xf5, 0x05, 0x2a, 0x01, 0x00, 0x00, 0x00,                          // timestamp
        0x00, 0x00, 0x80, 0x3f, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xc0,  // accel
        0x00, 0x00, 0x00, 0x3f, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // gyro
        0x00, 0x00};
    EXPECT_EQ(d, expected);

    const ImuSample back = unpackImuSample(&d[kOffsetImuSample]);
    EXPECT_EQ(back.accel[2], -2.0f);
    EXPECT_EQ(back.gyro[0], 0.5f);
}

}  // namespace
}  // namespace tarn::sim
