#include "control/frame.h"

#include <gtest/gtest.h>

#include <vector>

#include "KESOApi.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes wireFrame(uint16_t command, const Bytes& payload) {
    return tarn::control::frameBytes(
        pack_ctrl_prt_data_pkg(command, static_cast<uint16_t>(payload.size()),
                               payload.empty() ? nullptr : payload.data()));
}

TEST(ControlFrameTest, ReadMaxPackageSizeRequestIsByteExact) {
    const Bytes expected = {0x5A, 0xA5, 0x01, 0x06, 0x00, 0x00, 0x01, 0x65, 0x9A, 0x01, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xDA, 0x00};
    EXPECT_EQ(wireFrame(kCmdGetMaxPkgSize, {}), expected);
}

TEST(ControlFrameTest, SetMaxPackageSizeRequestIsByteExact) {
    const Bytes expected = {0x5A, 0xA5, 0x01, 0x06, 0x00, 0x00, 0x01, 0x65, 0x9A,
                            0x02, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                            0x00, 0x11, 0x79, 0x00, 0x20, 0x00, 0x00};
    EXPECT_EQ(wireFrame(kCmdSetMaxPkgSize, {0x00, 0x20, 0x00, 0x00}), expected);
}

TEST(ControlFrameTest, ReadNetworkSettingsRequestIsByteExact) {
    const Bytes expected = {0x5A, 0xA5, 0x01, 0x06, 0x00, 0x00, 0x01, 0x65, 0x9A, 0x02, 0x02,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x5F, 0x00};
    EXPECT_EQ(wireFrame(kCmdGetNetInfo, {}), expected);
}

TEST(ControlFrameTest, CarriesTheSettingsRecordWithItsLengthAndCrc) {
    Bytes settings(44);
    for (std::size_t i = 0; i < settings.size(); ++i) {
        settings[i] = static_cast<unsigned char>(3 * i + 1);
    }
    const ctrl_prt_data_pkg frame = pack_ctrl_prt_data_pkg(kCmdSetNetInfo, 44, settings.data());
    EXPECT_EQ(frame.data, std::string(settings.begin(), settings.end()));
    EXPECT_EQ(frame.data_crc, KESOCrc8(settings.data(), 44, 0));

    const Bytes wire = tarn::control::frameBytes(frame);
    ASSERT_EQ(wire.size(), 65u);
    EXPECT_EQ(wire[9], 0x01);  // command 0x0201, little-endian
    EXPECT_EQ(wire[10], 0x02);
    EXPECT_EQ(wire[11], 0x2C);  // 44
    EXPECT_EQ(wire[12], 0x00);
    EXPECT_EQ(Bytes(wire.begin() + 21, wire.end()), settings);
}

TEST(ControlFrameTest, HeadCrcCoversExactlyTheFirstNineteenBytes) {
    const Bytes base = wireFrame(kCmdSetMaxPkgSize, {0x00, 0x20, 0x00, 0x00});
    EXPECT_EQ(base[19], KESOCrc8(base.data(), 19, 0));

    const Bytes otherPayload = wireFrame(kCmdSetMaxPkgSize, {0x00, 0x40, 0x00, 0x00});
    EXPECT_EQ(otherPayload[19], base[19]);
    EXPECT_NE(otherPayload[20], base[20]);

    EXPECT_NE(wireFrame(kCmdGetMaxPkgSize, {0x00, 0x20, 0x00, 0x00})[19], base[19]);
    EXPECT_NE(wireFrame(kCmdSetMaxPkgSize, {0x00, 0x20, 0x00})[19], base[19]);
}

}  // namespace
