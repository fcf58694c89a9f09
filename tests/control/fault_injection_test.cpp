// The control calls against sensors that misbehave at the transport: each call returns its code
// within the documented bound (the connection wait plus 6.7 s for a settings call).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "KESOApi.h"
#include "control/control_state.h"
#include "control/frame.h"
#include "control_test_support.h"
#include "misbehaving_peer.h"

namespace {

using std::chrono::milliseconds;
using tarn::sim::FaultPlan;
using tarn::sim::ReplyFault;
using tarn::testing::ControlStateTest;
using tarn::testing::MisbehavingPeer;
using tarn::testing::PeerFault;

constexpr int kTimeoutMs = static_cast<int>(tarn::testing::kLinkTimeoutMs);
// What the header promises beyond the connection wait, which is immediate on loopback.
constexpr double kDocumentedSeconds = 6.7;
// Room for a loaded machine and the sanitizers; a hang or a 49-day wait still shows.
constexpr double kSlackSeconds = 3.0;

struct Timed {
    int code;
    double seconds;
};

class FaultInjectionTest : public ControlStateTest {
  protected:
    // KESOGetNetInfo against the peer on this test's address, timed; prints the time for the
    // record of measured bounds.
    Timed timedGet(KESOIpInfo& info) {
        const auto start = std::chrono::steady_clock::now();
        const int code = KESOGetNetInfo(address_.c_str(), kTimeoutMs, &info);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("%s: code %d after %.2f s\n",
                    ::testing::UnitTest::GetInstance()->current_test_info()->name(), code, seconds);
        EXPECT_LT(seconds, kDocumentedSeconds + kSlackSeconds);
        EXPECT_FALSE(g_link_net);
        EXPECT_EQ(sock_ctrl, -1);
        return Timed{code, seconds};
    }

    bool holds(const KESOIpInfo& info, const std::vector<uint8_t>& bytes) {
        return bytes.size() == sizeof info.bytes &&
               std::memcmp(info.bytes, bytes.data(), bytes.size()) == 0;
    }

    KESOIpInfo info_{};
};

TEST_F(FaultInjectionTest, PeerThatResetsInsteadOfAnswering) {
    for (const uint16_t command : {kCmdGetNetInfo, kCmdGetMaxPkgSize}) {
        MisbehavingPeer peer(address_, PeerFault::reset, command);
        ASSERT_TRUE(peer.listening());
        EXPECT_EQ(timedGet(info_).code, -1987) << "reset on " << command;
    }
}

TEST_F(FaultInjectionTest, PeerThatAnswersByteByByte) {
    MisbehavingPeer prompt(address_, PeerFault::byteByByte, MisbehavingPeer::kEveryCommand,
                           milliseconds(2));
    ASSERT_TRUE(prompt.listening());
    EXPECT_EQ(timedGet(info_).code, 0);
    EXPECT_TRUE(holds(info_, prompt.settings()));
}

// 69 bytes 30 ms apart take 2 s, longer than an attempt may wait.
TEST_F(FaultInjectionTest, PeerThatTricklesSlowerThanTheWait) {
    MisbehavingPeer slow(address_, PeerFault::byteByByte, kCmdGetNetInfo, milliseconds(30));
    ASSERT_TRUE(slow.listening());
    const KESOIpInfo before = info_;
    EXPECT_EQ(timedGet(info_).code, -1987);
    EXPECT_EQ(std::memcmp(info_.bytes, before.bytes, sizeof before.bytes), 0);
}

// A reply later than the one-second wait belongs to an attempt that has already failed; it is
// never taken for the answer to another command.
TEST_F(FaultInjectionTest, PeerThatAnswersLate) {
    tarn::sim::ControlServer sensor(address_);
    ASSERT_TRUE(sensor.listening());
    FaultPlan late{ReplyFault::late};
    late.delay = milliseconds(1900);
    sensor.setFault(kCmdGetMaxPkgSize, late);
    EXPECT_EQ(timedGet(info_).code, -1987);
}

// Just under two waits late to every command, with a package size to raise: every command uses
// both attempts (six in all), the longest a sensor that reads its requests can make a call take.
TEST_F(FaultInjectionTest, PeerThatAnswersEveryCommandLate) {
    tarn::sim::ControlServer sensor(address_);
    ASSERT_TRUE(sensor.listening());
    sensor.setReportedPkgSize(4096);
    FaultPlan late{ReplyFault::late};
    late.delay = milliseconds(1950);
    for (const uint16_t command : {kCmdGetMaxPkgSize, kCmdSetMaxPkgSize, kCmdGetNetInfo}) {
        sensor.setFault(command, late);
    }
    EXPECT_EQ(timedGet(info_).code, -1987);
}

TEST_F(FaultInjectionTest, PeerThatFloods) {
    for (const uint16_t command : {kCmdGetNetInfo, kCmdGetMaxPkgSize}) {
        MisbehavingPeer peer(address_, PeerFault::flood, command);
        ASSERT_TRUE(peer.listening());
        EXPECT_EQ(timedGet(info_).code, -1987) << "flood on " << command;
    }
}

TEST_F(FaultInjectionTest, PeerThatNeverAnswers) {
    tarn::sim::ControlServer sensor(address_);
    ASSERT_TRUE(sensor.listening());
    sensor.setFault(kCmdGetMaxPkgSize, FaultPlan{ReplyFault::silent});
    sensor.setFault(kCmdGetNetInfo, FaultPlan{ReplyFault::silent});
    EXPECT_EQ(timedGet(info_).code, -1987);
    // Two commands of two attempts, each waiting its whole second.
    EXPECT_EQ(sensor.received().size(), 4u);
}

}  // namespace
