// tarn net get and set against tarn sim's control port, and the message and exit status of every
// library result they can meet.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "process.h"
#include "tarn/net_settings.h"

namespace {

using tarn::testing::linesOf;
using tarn::testing::runTool;
using tarn::testing::ToolProcess;
using Words = std::vector<std::string>;

// A record with a byte set beyond the simulated sensor's members (offset 40).
const std::string kOtherHex =
    "0a0102030aff00000a010201c0a80164"
    "bd18f01c024b45534f01000000000000"
    "00000000000000005a000000";

class NetAgainstSim : public ::testing::Test {
  protected:
    void startSim(const Words& extra) {
        Words words = {"sim", "--no-stream", "--control", address_};
        words.insert(words.end(), extra.begin(), extra.end());
        sim_ = std::make_unique<ToolProcess>(words);
        ASSERT_TRUE(sim_->waitForOutput("tarn sim: control port on " + address_ + ":6501\n"))
            << sim_->output();
    }

    tarn::testing::Outcome net(Words words) {
        words.insert(words.begin(), "net");
        words.insert(words.end(), {"--device", address_});
        return runTool(words);
    }

    const std::string address_ = tarn::testing::processLoopbackAddress();
    std::unique_ptr<ToolProcess> sim_;
};

TEST_F(NetAgainstSim, SetThenGetRoundTrip) {
    startSim({});
    const auto first = net({"get"});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_NE(first.out.find("settings of " + address_ + " (44 bytes):\n  hex           "),
              std::string::npos);
    EXPECT_NE(first.out.find("  address       " + address_ +
                             "\n"
                             "  netmask       255.0.0.0\n"
                             "  gateway       127.0.0.1\n"
                             "  host address  127.0.0.1\n"
                             "  data port     6301\n"
                             "  host port     7001\n"
                             "  mac           02:00:00:00:00:01\n"
                             "  other bytes   zero\n"),
              std::string::npos)
        << first.out;

    // Members change one by one; the others stay as read.
    EXPECT_EQ(net({"set", "--host-port", "7100", "--mac", "02-AA-bb-cc-dd-ee"}).status, 0);
    const auto changed = net({"get"});
    EXPECT_NE(changed.out.find("  data port     6301\n"
                               "  host port     7100\n"
                               "  mac           02:aa:bb:cc:dd:ee\n"),
              std::string::npos)
        << changed.out;

    // A whole record goes through unchanged, bytes beyond the members included.
    EXPECT_EQ(net({"set", "--hex", kOtherHex}).status, 0);
    EXPECT_EQ(net({"set", "--host-port", "99999"}).status, 2);  // refused before connecting
    const auto whole = net({"get"});
    EXPECT_NE(whole.out.find("  hex           " + kOtherHex + "\n"), std::string::npos);
    EXPECT_NE(whole.out.find("  address       10.1.2.3\n"), std::string::npos);
    EXPECT_NE(whole.out.find("  data port     6333\n  host port     7408\n"), std::string::npos);
    EXPECT_NE(whole.out.find("  other bytes   not zero"), std::string::npos);

    const auto end = sim_->stop(SIGINT);
    EXPECT_EQ(end.status, 0);
    // get, set (a read and a write), get, set, get: the refused set never connected.
    EXPECT_NE(end.out.find("tarn sim: control: 6 connections,"), std::string::npos) << end.out;
}

TEST_F(NetAgainstSim, EveryResultHasItsMessageAndStatus) {
    startSim({"--control-fault", "get-net:refuse", "--control-fault", "set-net:refuse"});
    const std::string nobody = tarn::testing::unservedLoopbackAddress();
    struct Case {
        Words words;
        int status;
        std::string line;
    };
    const std::vector<Case> cases = {
        {{"net", "set", "--hex", kOtherHex, "--device", nobody},
         6,
         "tarn net set: " + nobody +
             ": no control connection: nothing answered on port 6501 in time, or the connection "
             "was refused (-1990)"},
        {{"net", "get", "--device", nobody},
         7,
         "tarn net get: " + nobody +
             ": no control connection: nothing answered on port 6501 in time, or the connection "
             "was refused (-1989)"},
        {{"net", "set", "--hex", kOtherHex, "--device", address_},
         8,
         "tarn net set: " + address_ +
             ": the sensor did not confirm the new settings: refused, or no valid reply (-1988)"},
        {{"net", "get", "--device", address_},
         9,
         "tarn net get: " + address_ +
             ": the settings were not read: refused, no valid reply, or not 44 bytes (-1987)"},
        {{"net", "set", "--host-port", "7100", "--device", address_},
         9,
         "tarn net set: " + address_ +
             ": reading the current settings: the settings were not read: refused, no valid "
             "reply, or not 44 bytes (-1987)"},
    };
    for (const Case& c : cases) {
        const auto outcome = runTool(c.words);
        EXPECT_EQ(outcome.status, c.status) << c.line;
        EXPECT_EQ(outcome.err, c.line + "\n");
    }
}

// A second address of this test process, in 127.0.0.0/16 where processLoopbackAddress never is.
std::string secondAddress() {
    const std::string first = tarn::testing::processLoopbackAddress();
    std::string rest = first.substr(first.find('.', 4) + 1);  // "b.c"
    if (rest.compare(0, 2, "0.") == 0) {
        rest = "200" + rest.substr(1);
    }
    return "127.0." + rest;
}

TEST(NetSeveralDevices, WorkInParallelAndSettingsWithABadDataCrcAreNotWrittenBack) {
    const std::string good = tarn::testing::processLoopbackAddress();
    const std::string spoilt = secondAddress();
    ToolProcess goodSim({"sim", "--no-stream", "--control", good});
    ToolProcess spoiltSim(
        {"sim", "--no-stream", "--control", spoilt, "--control-fault", "get-net:wrong-data-crc"});
    ASSERT_TRUE(goodSim.waitForOutput("control port on " + good + ":6501\n")) << goodSim.output();
    ASSERT_TRUE(spoiltSim.waitForOutput("control port on " + spoilt + ":6501\n"))
        << spoiltSim.output();

    // Both are read; the one whose data CRC fails is reported, the other printed.
    const auto both = runTool({"net", "get", "--device", spoilt, "--device", good});
    EXPECT_EQ(both.status, 9);
    EXPECT_NE(both.out.find("settings of " + good + " (44 bytes)"), std::string::npos) << both.out;
    EXPECT_EQ(both.out.find("settings of " + spoilt), std::string::npos) << both.out;
    EXPECT_EQ(both.err, "tarn net get: " + spoilt +
                            ": the settings arrived with a data CRC that does not match their "
                            "bytes (-18)\n");

    const auto refused = runTool({"net", "set", "--host-port", "7100", "--device", spoilt});
    EXPECT_EQ(refused.status, 9);
    EXPECT_NE(refused.err.find("reading the current settings: the settings arrived with a data "
                               "CRC that does not match their bytes (-18); --force writes them "
                               "back all the same"),
              std::string::npos)
        << refused.err;
    const auto forced =
        runTool({"net", "set", "--host-port", "7100", "--device", spoilt, "--force"});
    EXPECT_EQ(forced.status, 0) << forced.err;
    EXPECT_NE(forced.out.find("  host port     7100\n"), std::string::npos) << forced.out;

    // get, the refused set (its read only), the forced set (read and write).
    const auto end = spoiltSim.stop(SIGINT);
    EXPECT_NE(end.out.find("tarn sim: control: 4 connections,"), std::string::npos) << end.out;
}

// NetAgainstSim above checks the layout against the simulated sensor's record end to end.
TEST(NetSettingsRecord, MembersSitAtTheirOffsetsAndEveryByteSurvives) {
    uint8_t record[TARN_NET_SETTINGS_BYTES];
    for (std::size_t i = 0; i < sizeof record; ++i) {
        record[i] = static_cast<uint8_t>(i + 1);
    }
    tarn_net_settings s{};
    ASSERT_EQ(tarn_net_settings_read(record, &s), TARN_OK);
    EXPECT_EQ(s.address[0], 1);
    EXPECT_EQ(s.netmask[0], 5);
    EXPECT_EQ(s.gateway[0], 9);
    EXPECT_EQ(s.host_address[3], 16);
    EXPECT_EQ(s.data_port, 0x1211);
    EXPECT_EQ(s.host_port, 0x1413);
    EXPECT_EQ(s.mac[0], 21);
    EXPECT_EQ(s.mac[5], 26);
    EXPECT_EQ(s.reserved[0], 27);
    EXPECT_EQ(s.reserved[17], 44);
    uint8_t back[TARN_NET_SETTINGS_BYTES] = {};
    ASSERT_EQ(tarn_net_settings_write(&s, back), TARN_OK);
    EXPECT_EQ(std::memcmp(back, record, sizeof record), 0);

    EXPECT_EQ(tarn_net_settings_read(nullptr, &s), TARN_ERR_NULL_ARGUMENT);
    EXPECT_EQ(tarn_net_settings_write(nullptr, back), TARN_ERR_NULL_ARGUMENT);
    EXPECT_EQ(tarn_net_settings_read(record, nullptr), TARN_ERR_NULL_ARGUMENT);
    EXPECT_EQ(tarn_net_settings_write(&s, nullptr), TARN_ERR_NULL_ARGUMENT);
}

}  // namespace
