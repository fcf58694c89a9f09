#include "control/link.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "control/control_state.h"
#include "control_test_support.h"

namespace {

using tarn::testing::ControlStateTest;
using tarn::testing::kLinkTimeoutMs;

std::string connectMessage(int error) {
    return "connect to ctrl-server error " + std::to_string(error) + "\n";
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

using LinkTest = ControlStateTest;

TEST_F(LinkTest, RefusedConnectionFailsAtOnceAndTheNextLinkStartsAfresh) {
    constexpr uint32_t kLongTimeoutMs = 60000;
    ::testing::internal::CaptureStdout();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KESOLinkDeviceNetControl(address_, kLongTimeoutMs), 2);
    EXPECT_LT(secondsSince(start), kLongTimeoutMs / 1000.0 / 2);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), connectMessage(ECONNREFUSED));
    EXPECT_EQ(sock_ctrl, -1);
    EXPECT_FALSE(g_link_net);

    tarn::sim::ControlServer sensor(address_);
    ASSERT_TRUE(sensor.listening());
    EXPECT_EQ(KESOLinkDeviceNetControl(address_, kLinkTimeoutMs), 0);
    EXPECT_TRUE(g_link_net);
    EXPECT_NE(sock_ctrl, -1);
    EXPECT_EQ(sensor.connectionsAccepted(), 1);
}

TEST_F(LinkTest, UnansweredConnectionFailsWhenTheTimeoutRunsOut) {
    tarn::sim::UnansweredListener silentHost(address_);
    ASSERT_TRUE(silentHost.ready());

    ::testing::internal::CaptureStdout();
    EXPECT_EQ(KESOLinkDeviceNetControl(address_, 200), 2);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), connectMessage(ETIMEDOUT));
    EXPECT_EQ(sock_ctrl, -1);
    EXPECT_FALSE(g_link_net);
}

TEST_F(LinkTest, ZeroTimeoutDoesNotWaitForAnUnansweredConnection) {
    tarn::sim::UnansweredListener silentHost(address_);
    ASSERT_TRUE(silentHost.ready());

    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(kCtrlPort);
    peer.sin_addr.s_addr = inet_addr(address_.c_str());
    EXPECT_FALSE(UnblockConnect(fd, &peer, 0));
    EXPECT_EQ(errno, ETIMEDOUT);
    close(fd);
}

TEST_F(LinkTest, LinkedSocketIsBackInBlockingMode) {
    tarn::sim::ControlServer sensor(address_);
    ASSERT_TRUE(sensor.listening());
    ASSERT_EQ(KESOLinkDeviceNetControl(address_, kLinkTimeoutMs), 0);
    const int flags = fcntl(sock_ctrl, F_GETFL);
    ASSERT_NE(flags, -1);
    EXPECT_EQ(flags & O_NONBLOCK, 0);
}

TEST_F(LinkTest, BreakWithoutALinkResetsTheState) {
    g_link_net = true;
    KESOBreakLinkDeviceNetControl();
    EXPECT_FALSE(g_link_net);
    EXPECT_EQ(sock_ctrl, -1);
}

TEST_F(LinkTest, BreakClosesTheConnection) {
    tarn::sim::ControlServer sensor(address_);
    ASSERT_TRUE(sensor.listening());
    ASSERT_EQ(KESOLinkDeviceNetControl(address_, kLinkTimeoutMs), 0);
    const int linked = sock_ctrl;
    KESOBreakLinkDeviceNetControl();
    EXPECT_FALSE(g_link_net);
    EXPECT_EQ(sock_ctrl, -1);
    EXPECT_EQ(fcntl(linked, F_GETFD), -1);
}

}  // namespace
