#include "control/reply.h"

#include <gtest/gtest.h>

#include <vector>

#include "KESOApi.h"
#include "control/frame.h"

namespace {

using Bytes = std::vector<unsigned char>;
using tarn::control::decodeReply;

constexpr std::size_t kBuffer = 1024;

// A reply has the request's layout: the header, then status and reply data.
Bytes replyFrame(uint16_t command, uint32_t status, const Bytes& data) {
    Bytes payload = {static_cast<unsigned char>(status), static_cast<unsigned char>(status >> 8),
                     static_cast<unsigned char>(status >> 16),
                     static_cast<unsigned char>(status >> 24)};
    payload.insert(payload.end(), data.begin(), data.end());
    return tarn::control::frameBytes(
        pack_ctrl_prt_data_pkg(command, static_cast<uint16_t>(payload.size()), payload.data()));
}

void resealHead(Bytes& frame) {
    frame[19] = KESOCrc8(frame.data(), 19, 0);
}

TEST(ReplyTest, StatusOnlyReplyHasNoData) {
    const Bytes frame = replyFrame(kCmdSetMaxPkgSize, 0x01020304, {});
    ASSERT_EQ(frame.size(), 25u);
    const auto reply = decodeReply(frame.data(), frame.size(), kCmdSetMaxPkgSize, kBuffer);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 0x01020304u);
    EXPECT_TRUE(reply->data.empty());
}

TEST(ReplyTest, DataFollowsTheStatus) {
    const Bytes frame = replyFrame(kCmdGetMaxPkgSize, 0, {0x00, 0x20, 0x00, 0x00});
    ASSERT_EQ(frame.size(), 29u);
    const auto reply = decodeReply(frame.data(), frame.size(), kCmdGetMaxPkgSize, kBuffer);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 0u);
    EXPECT_EQ(reply->data, std::string("\x00\x20\x00\x00", 4));
}

TEST(ReplyTest, WrongCommandEchoIsInvalid) {
    const Bytes frame = replyFrame(kCmdGetNetInfo, 0, {});
    EXPECT_FALSE(decodeReply(frame.data(), frame.size(), kCmdSetNetInfo, kBuffer));
}

// A CRC-8 detects every change confined to one byte, so each header byte is protected.
TEST(ReplyTest, AnyChangedHeaderByteIsInvalid) {
    const Bytes frame = replyFrame(kCmdGetMaxPkgSize, 0, {0x00, 0x20, 0x00, 0x00});
    for (std::size_t at = 0; at < 20; ++at) {
        Bytes changed = frame;
        changed[at] ^= 0x5A;
        EXPECT_FALSE(decodeReply(changed.data(), changed.size(), kCmdGetMaxPkgSize, kBuffer))
            << "byte " << at;
    }
}

TEST(ReplyTest, MagicFixedBytesAndDataCrcAreNotChecked) {
    Bytes frame = replyFrame(kCmdGetNetInfo, 0, Bytes(44, 0x11));
    frame[0] = 0x00;
    frame[7] = 0x00;
    frame[15] = 0x77;
    resealHead(frame);
    frame[20] ^= 0xFF;
    const auto reply = decodeReply(frame.data(), frame.size(), kCmdGetNetInfo, kBuffer);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->data.size(), 44u);
}

TEST(ReplyTest, SizeMustMatchTheAnnouncedLength) {
    const Bytes frame = replyFrame(kCmdGetNetInfo, 0, Bytes(44, 0x11));
    EXPECT_FALSE(decodeReply(frame.data(), frame.size() - 1, kCmdGetNetInfo, kBuffer));
    Bytes longer = frame;
    longer.push_back(0);
    EXPECT_FALSE(decodeReply(longer.data(), longer.size(), kCmdGetNetInfo, kBuffer));
    EXPECT_FALSE(decodeReply(frame.data(), 20, kCmdGetNetInfo, kBuffer));
}

TEST(ReplyTest, PayloadShorterThanTheStatusIsInvalid) {
    for (uint16_t dataLen = 0; dataLen < 4; ++dataLen) {
        Bytes frame = replyFrame(kCmdGetNetInfo, 0, {});
        frame.resize(21 + dataLen);
        frame[11] = static_cast<unsigned char>(dataLen);
        resealHead(frame);
        EXPECT_FALSE(tarn::control::checkReplyHead(frame.data(), kCmdGetNetInfo, kBuffer));
        EXPECT_FALSE(decodeReply(frame.data(), frame.size(), kCmdGetNetInfo, kBuffer));
    }
}

TEST(ReplyTest, FrameLongerThanTheReceiveBufferIsInvalid) {
    const Bytes frame = replyFrame(kCmdGetNetInfo, 0, Bytes(kBuffer - 21 - 4 + 1, 0x22));
    ASSERT_EQ(frame.size(), kBuffer + 1);
    EXPECT_FALSE(decodeReply(frame.data(), frame.size(), kCmdGetNetInfo, kBuffer));
    EXPECT_TRUE(decodeReply(frame.data(), frame.size(), kCmdGetNetInfo, kBuffer + 1));
}

}  // namespace
