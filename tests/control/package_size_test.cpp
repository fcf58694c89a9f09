#include "control/package_size.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "control/control_state.h"
#include "control/exchange.h"
#include "control/frame.h"
#include "control_test_support.h"

namespace {

using tarn::sim::FaultPlan;
using tarn::sim::ReplyFault;
using tarn::testing::SensorTest;

struct Negotiation {
    const char* name;
    int32_t reported;
    bool refuseSet;
    uint32_t expected;
    bool expectSet;
};

void PrintTo(const Negotiation& negotiation, std::ostream* out) {
    *out << negotiation.name;
}

struct FailedRead {
    const char* name;
    FaultPlan plan;
};

void PrintTo(const FailedRead& read, std::ostream* out) {
    *out << read.name;
}

template <typename Case>
std::string caseName(const ::testing::TestParamInfo<Case>& param) {
    return param.param.name;
}

class NegotiationTest : public SensorTest, public ::testing::WithParamInterface<Negotiation> {};

TEST_P(NegotiationTest, LeavesTheAgreedPackageSize) {
    const Negotiation& n = GetParam();
    sensor_.setReportedPkgSize(n.reported);
    if (n.refuseSet) {
        sensor_.setFault(kCmdSetMaxPkgSize, FaultPlan{ReplyFault::refuse});
    }
    link();
    EXPECT_TRUE(g_link_net);
    EXPECT_EQ(g_max_pkg_len, n.expected);

    const auto received = sensor_.received();
    ASSERT_EQ(received.size(), n.expectSet ? 2u : 1u);
    EXPECT_EQ(received[0].command, kCmdGetMaxPkgSize);
    EXPECT_TRUE(received[0].payload().empty());
    if (n.expectSet) {
        EXPECT_EQ(received[1].command, kCmdSetMaxPkgSize);
        EXPECT_EQ(received[1].payload(), (std::vector<uint8_t>{0x00, 0x20, 0x00, 0x00}));
    }
    for (const auto& request : received) {
        EXPECT_TRUE(request.headCrcValid && request.dataCrcValid);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, NegotiationTest,
    ::testing::Values(Negotiation{"Reported4096Accepted", 4096, false, 8192, true},
                      Negotiation{"Reported4096Refused", 4096, true, 4096, true},
                      Negotiation{"Reported65536", 65536, false, 65536, false},
                      Negotiation{"ReportedNegativeRefused", -5, true, 0, true},
                      Negotiation{"Reported8191Accepted", 8191, false, 8192, true},
                      Negotiation{"Reported8192", 8192, false, 8192, false}),
    caseName<Negotiation>);

class FailedReadTest : public SensorTest, public ::testing::WithParamInterface<FailedRead> {};

// The link stands even when the package size cannot be read, and commands still run.
TEST_P(FailedReadTest, LinksWithPackageSizeZero) {
    sensor_.setFault(kCmdGetMaxPkgSize, GetParam().plan);
    link();
    EXPECT_TRUE(g_link_net);
    EXPECT_EQ(g_max_pkg_len, 0u);
    for (const uint16_t command : sensor_.receivedCommands()) {
        EXPECT_EQ(command, kCmdGetMaxPkgSize);
    }

    sensor_.setSettings(tarn::sim::encodeSettings(tarn::testing::sampleSettings()));
    std::string reply;
    EXPECT_EQ(send_cmd_tcp(kCmdGetNetInfo, nullptr, 0, reply, kCtrlWaitMs, kCtrlAttempts), 0u);
    EXPECT_EQ(reply.size(), 44u);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, FailedReadTest,
    ::testing::Values(FailedRead{"WrongHeadCrc", FaultPlan{ReplyFault::wrongHeadCrc}},
                      FailedRead{"WrongCommand", FaultPlan{ReplyFault::wrongCommand}},
                      FailedRead{"Refused", FaultPlan{ReplyFault::refuse}},
                      FailedRead{"NoSizeAfterStatus", FaultPlan{ReplyFault::truncatedData}}),
    caseName<FailedRead>);

}  // namespace
