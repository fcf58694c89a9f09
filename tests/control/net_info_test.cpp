#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <vector>

#include "KESOApi.h"
#include "control/control_state.h"
#include "control/frame.h"
#include "control_test_support.h"

namespace {

using tarn::sim::FaultPlan;
using tarn::sim::NetSettings;
using tarn::sim::ReplyFault;
using tarn::testing::ControlStateTest;
using tarn::testing::kLinkTimeoutMs;
using tarn::testing::SensorTest;
using tarn::testing::toIpInfo;
using tarn::testing::toRecord;

constexpr int kTimeoutMs = static_cast<int>(kLinkTimeoutMs);

NetSettings otherSettings() {
    NetSettings settings = tarn::testing::sampleSettings();
    settings.address = {10, 1, 2, 3};
    settings.netmask = {255, 0, 0, 0};
    settings.dataPort = 7000;
    return settings;
}

bool sameBytes(const KESOIpInfo& a, const KESOIpInfo& b) {
    return toRecord(a) == toRecord(b);
}

using NetInfoTest = SensorTest;

TEST_F(NetInfoTest, GetSendsNegotiationThenTheReadCommand) {
    sensor_.setReportedPkgSize(4096);
    sensor_.setSettings(tarn::sim::encodeSettings(otherSettings()));
    KESOIpInfo info{};
    EXPECT_EQ(KESOGetNetInfo(address_.c_str(), kTimeoutMs, &info), 0);
    EXPECT_EQ(tarn::sim::decodeSettings(toRecord(info)), otherSettings());
    EXPECT_EQ(sensor_.receivedCommands(),
              (std::vector<uint16_t>{kCmdGetMaxPkgSize, kCmdSetMaxPkgSize, kCmdGetNetInfo}));
    EXPECT_FALSE(g_link_net);
    EXPECT_EQ(sock_ctrl, -1);
}

TEST_F(NetInfoTest, SetSendsTheRecordAfterTheNegotiation) {
    sensor_.setReportedPkgSize(65536);
    const KESOIpInfo info = toIpInfo(tarn::sim::encodeSettings(otherSettings()));
    EXPECT_EQ(KESOSetNetInfo(address_.c_str(), kTimeoutMs, info), 0);

    const auto received = sensor_.received();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].command, kCmdGetMaxPkgSize);
    EXPECT_EQ(received[1].command, kCmdSetNetInfo);
    EXPECT_EQ(received[1].payload(), std::vector<uint8_t>(info.bytes, info.bytes + 44));
    EXPECT_TRUE(received[1].headCrcValid && received[1].dataCrcValid);
    EXPECT_EQ(sensor_.connectionsAccepted(), 1);
    EXPECT_FALSE(g_link_net);
}

TEST_F(NetInfoTest, SettingsReadBackEqual) {
    const KESOIpInfo written = toIpInfo(tarn::sim::encodeSettings(otherSettings()));
    ASSERT_EQ(KESOSetNetInfo(address_.c_str(), kTimeoutMs, written), 0);
    KESOIpInfo read{};
    ASSERT_EQ(KESOGetNetInfo(address_.c_str(), kTimeoutMs, &read), 0);
    EXPECT_TRUE(sameBytes(read, written));
    EXPECT_EQ(tarn::sim::decodeSettings(sensor_.settings()), otherSettings());
}

TEST_F(NetInfoTest, GetReportsAShortRecordAndKeepsTheCallersOwn) {
    sensor_.setFault(kCmdGetNetInfo, FaultPlan{ReplyFault::truncatedData});
    KESOIpInfo info = toIpInfo(tarn::sim::encodeSettings(otherSettings()));
    const KESOIpInfo before = info;
    EXPECT_EQ(KESOGetNetInfo(address_.c_str(), kTimeoutMs, &info), -1987);
    EXPECT_TRUE(sameBytes(info, before));
}

TEST_F(NetInfoTest, GetReportsASilentSensor) {
    sensor_.setFault(kCmdGetNetInfo, FaultPlan{ReplyFault::silent});
    KESOIpInfo info = toIpInfo(tarn::sim::encodeSettings(otherSettings()));
    const KESOIpInfo before = info;
    EXPECT_EQ(KESOGetNetInfo(address_.c_str(), kTimeoutMs, &info), -1987);
    EXPECT_TRUE(sameBytes(info, before));
    EXPECT_FALSE(g_link_net);
}

TEST_F(NetInfoTest, SetReportsARefusal) {
    const auto kept = tarn::sim::encodeSettings(tarn::testing::sampleSettings());
    sensor_.setSettings(kept);
    sensor_.setFault(kCmdSetNetInfo, FaultPlan{ReplyFault::refuse});
    EXPECT_EQ(KESOSetNetInfo(address_.c_str(), kTimeoutMs,
                             toIpInfo(tarn::sim::encodeSettings(otherSettings()))),
              -1988);
    EXPECT_EQ(sensor_.settings(), kept);
}

TEST_F(NetInfoTest, SetReportsAConnectionClosedMidReplyWithoutASignal) {
    std::signal(SIGPIPE, SIG_DFL);
    sensor_.setFault(kCmdSetNetInfo, FaultPlan{ReplyFault::closeMidReply});
    EXPECT_EQ(KESOSetNetInfo(address_.c_str(), kTimeoutMs,
                             toIpInfo(tarn::sim::encodeSettings(otherSettings()))),
              -1988);
    EXPECT_FALSE(g_link_net);
    EXPECT_EQ(sock_ctrl, -1);
}

// A null address or record and a negative time-out (which would wait for 49 days as unsigned)
// are refused before anything is connected.
TEST_F(NetInfoTest, UnusableArgumentsConnectNothing) {
    const KESOIpInfo before = toIpInfo(tarn::sim::encodeSettings(otherSettings()));
    KESOIpInfo info = before;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(KESOGetNetInfo(address_.c_str(), -1, &info), -1989);
    EXPECT_EQ(KESOSetNetInfo(address_.c_str(), -1000, info), -1990);
    EXPECT_EQ(KESOGetNetInfo(nullptr, kTimeoutMs, &info), -1989);
    EXPECT_EQ(KESOSetNetInfo(nullptr, kTimeoutMs, info), -1990);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "ctrl-server time-out -1 ms is negative\n"
              "ctrl-server time-out -1000 ms is negative\n"
              "ctrl-server address is null\n"
              "ctrl-server address is null\n");
    EXPECT_EQ(KESOGetNetInfo(address_.c_str(), kTimeoutMs, nullptr), -1987);
    EXPECT_EQ(KESOGetNetInfo(nullptr, -1, nullptr), -1987);
    EXPECT_TRUE(sameBytes(info, before));
    EXPECT_EQ(sensor_.connectionsAccepted(), 0);
}

using NetInfoWithoutSensorTest = ControlStateTest;

TEST_F(NetInfoWithoutSensorTest, ReportsTheMissingConnection) {
    KESOIpInfo info = toIpInfo(tarn::sim::encodeSettings(otherSettings()));
    const KESOIpInfo before = info;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(KESOGetNetInfo(address_.c_str(), kTimeoutMs, &info), -1989);
    EXPECT_EQ(KESOSetNetInfo(address_.c_str(), kTimeoutMs, info), -1990);
    ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(sameBytes(info, before));
    EXPECT_EQ(sock_ctrl, -1);
}

}  // namespace
