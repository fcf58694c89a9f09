#include "control/exchange.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <ostream>
#include <string>

#include "control/control_state.h"
#include "control/frame.h"
#include "control_test_support.h"

namespace {

using tarn::sim::FaultPlan;
using tarn::sim::ReplyFault;
using tarn::testing::SensorTest;

// Far above the two waits of 1000 ms an exchange may spend; only guards against a hang.
constexpr auto kHangLimit = std::chrono::seconds(10);

class ExchangeTest : public SensorTest {
  protected:
    void SetUp() override {
        SensorTest::SetUp();
        settings_ = tarn::sim::encodeSettings(tarn::testing::sampleSettings());
        sensor_.setSettings(settings_);
    }

    // Links, then forgets the negotiation so that only the exchange under test is seen.
    void linkQuietly() {
        link();
        negotiationRequests_ = sensor_.received().size();
    }

    std::size_t requestsSinceLink() const {
        return sensor_.received().size() - negotiationRequests_;
    }

    uint32_t readSettings(std::string& reply, uint16_t attempts = kCtrlAttempts) {
        return send_cmd_tcp(kCmdGetNetInfo, nullptr, 0, reply, kCtrlWaitMs, attempts);
    }

    std::string settingsText() const { return std::string(settings_.begin(), settings_.end()); }

    tarn::sim::SettingsRecord settings_{};
    std::size_t negotiationRequests_ = 0;
};

TEST_F(ExchangeTest, WithoutALinkNothingIsSent) {
    std::string reply;
    EXPECT_EQ(readSettings(reply), 4u);
    EXPECT_EQ(sensor_.connectionsAccepted(), 0);
    EXPECT_TRUE(reply.empty());
}

TEST_F(ExchangeTest, ZeroAttemptsOrAMissingPayloadSendNothing) {
    linkQuietly();
    std::string reply;
    EXPECT_EQ(readSettings(reply, 0), 3u);
    EXPECT_EQ(send_cmd_tcp(kCmdSetNetInfo, nullptr, 44, reply, kCtrlWaitMs, kCtrlAttempts), 3u);
    EXPECT_EQ(requestsSinceLink(), 0u);
}

TEST_F(ExchangeTest, ReplyDataAfterTheStatusReachesTheCaller) {
    linkQuietly();
    std::string reply;
    EXPECT_EQ(readSettings(reply), 0u);
    EXPECT_EQ(reply, settingsText());
    EXPECT_EQ(requestsSinceLink(), 1u);
}

TEST_F(ExchangeTest, StatusOnlyReplyLeavesTheReplyStringAlone) {
    linkQuietly();
    FaultPlan refusal{ReplyFault::refuse};
    refusal.status = 7;
    sensor_.setFault(kCmdGetNetInfo, refusal);
    std::string reply = "as passed";
    EXPECT_EQ(readSettings(reply), 7u);
    EXPECT_EQ(reply, "as passed");
    EXPECT_EQ(requestsSinceLink(), 1u);
}

TEST_F(ExchangeTest, WrongDataCrcIsAccepted) {
    linkQuietly();
    sensor_.setFault(kCmdGetNetInfo, FaultPlan{ReplyFault::wrongDataCrc});
    std::string reply;
    EXPECT_EQ(readSettings(reply), 0u);
    EXPECT_EQ(reply, settingsText());
    EXPECT_EQ(requestsSinceLink(), 1u);
}

TEST_F(ExchangeTest, SplitReplyIsReadWhole) {
    linkQuietly();
    sensor_.setFault(kCmdGetNetInfo, FaultPlan{ReplyFault::split});
    std::string reply;
    EXPECT_EQ(readSettings(reply), 0u);
    EXPECT_EQ(reply, settingsText());
    EXPECT_EQ(requestsSinceLink(), 1u);
}

TEST_F(ExchangeTest, LateReplyWithinTheWaitIsAccepted) {
    linkQuietly();
    FaultPlan late{ReplyFault::late};
    late.delay = std::chrono::milliseconds(200);
    sensor_.setFault(kCmdGetNetInfo, late);
    std::string reply;
    EXPECT_EQ(readSettings(reply), 0u);
    EXPECT_EQ(reply, settingsText());
    EXPECT_EQ(requestsSinceLink(), 1u);
}

TEST_F(ExchangeTest, SilentSensorEndsEachAttemptAfterTheWait) {
    linkQuietly();
    sensor_.setFault(kCmdGetNetInfo, FaultPlan{ReplyFault::silent});
    std::string reply;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(readSettings(reply), 3u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, kHangLimit);
    EXPECT_EQ(requestsSinceLink(), 2u);
    EXPECT_TRUE(reply.empty());
}

// Sending on a connection the sensor has closed must fail the attempt, not raise SIGPIPE (whose
// default action, restored here, would end this test's process).
TEST_F(ExchangeTest, ClosedConnectionFailsWithoutASignal) {
    std::signal(SIGPIPE, SIG_DFL);
    linkQuietly();
    FaultPlan closing{ReplyFault::closeMidReply};
    closing.replies = 1;
    sensor_.setFault(kCmdGetNetInfo, closing);
    std::string reply;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(readSettings(reply, 4), 3u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, kHangLimit);
    EXPECT_EQ(requestsSinceLink(), 1u);
    EXPECT_TRUE(reply.empty());
}

struct BadReply {
    const char* name;
    FaultPlan plan;
};

void PrintTo(const BadReply& bad, std::ostream* out) {
    *out << bad.name;
}

FaultPlan withDataLen(uint16_t dataLen) {
    FaultPlan plan{ReplyFault::wrongDataLen};
    plan.dataLen = dataLen;
    return plan;
}

class BadReplyTest : public ExchangeTest, public ::testing::WithParamInterface<BadReply> {};

// After one bad reply the request goes out again, and whatever was left of the bad reply is not
// taken for the answer.
TEST_P(BadReplyTest, IsRetriedOnce) {
    linkQuietly();
    FaultPlan once = GetParam().plan;
    once.replies = 1;
    sensor_.setFault(kCmdGetNetInfo, once);
    std::string reply;
    EXPECT_EQ(readSettings(reply), 0u);
    EXPECT_EQ(reply, settingsText());
    EXPECT_EQ(requestsSinceLink(), 2u);
}

TEST_P(BadReplyTest, FailsWhenEveryReplyIsBad) {
    linkQuietly();
    sensor_.setFault(kCmdGetNetInfo, GetParam().plan);
    std::string reply;
    EXPECT_EQ(readSettings(reply), 3u);
    EXPECT_TRUE(reply.empty());
    EXPECT_EQ(requestsSinceLink(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BadReplyTest,
    ::testing::Values(BadReply{"WrongCommand", FaultPlan{ReplyFault::wrongCommand}},
                      BadReply{"WrongHeadCrc", FaultPlan{ReplyFault::wrongHeadCrc}},
                      BadReply{"LengthBelowStatus", withDataLen(2)},
                      BadReply{"LengthBeyondBuffer", withDataLen(60000)},
                      BadReply{"LengthBeyondWhatIsSent", withDataLen(49)}),
    [](const ::testing::TestParamInfo<BadReply>& param) { return std::string(param.param.name); });

}  // namespace
