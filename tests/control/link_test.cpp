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

// Texts that are no dotted decimal address used to become a connect to 255.255.255.255 or to the
// local host; now they fail before any socket exists.
TEST_F(LinkTest, UnreadableAddressesConnectNothing) {
    for (const char* text :
         {"", "not-an-ip", "192.168.1.300", "192.168.1.08", "0", "192.168.001.010"}) {
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(KESOLinkDeviceNetControl(text, kLinkTimeoutMs), 2) << text;
        EXPECT_EQ(::testing::internal::GetCapturedStdout(),
                  "ctrl-server address \"" + std::string(text) +
                      "\" is not a dotted-quad IPv4 address\n");
        EXPECT_EQ(sock_ctrl, -1);
        EXPECT_FALSE(g_link_net);
    }
    // The message stays on one line and short, whatever the text holds.
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(KESOLinkDeviceNetControl("1.2.3.4\nX" + std::string(50, '9'), kLinkTimeoutMs), 2);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "ctrl-server address \"1.2.3.4?X" + std::string(31, '9') +
                  "...\" is not a dotted-quad IPv4 address\n");
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
