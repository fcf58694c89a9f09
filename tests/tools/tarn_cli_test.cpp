// The tarn command's help, version, command-line errors and address check, each run as a process.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "process.h"

namespace {

using tarn::testing::linesOf;
using tarn::testing::Output;
using tarn::testing::runTool;
using Words = std::vector<std::string>;

constexpr int kUsageStatus = 2;
constexpr int kRejectedStatus = 3;
constexpr int kOutputStatus = 11;
// Well below the 100 s the closed pipe's stream would otherwise run.
constexpr std::chrono::seconds kOutputCaseTimeout{30};

TEST(TarnCli, EveryHelpHasUsageAndExamples) {
    const std::vector<Words> helps = {
        {"--help"},           {"stream", "--help"},      {"record", "--help"},
        {"replay", "--help"}, {"info", "--help"},        {"export", "--help"},
        {"sim", "--help"},    {"net", "--help"},         {"net", "get", "--help"},
        {"net", "set", "-h"}, {"net", "check", "--help"}};
    for (const Words& words : helps) {
        SCOPED_TRACE(words.size() > 1 ? words[0] + " " + words[1] : words[0]);
        const auto outcome = runTool(words);
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.out.rfind("usage: tarn", 0), 0u);
        EXPECT_NE(outcome.out.find("Examples:"), std::string::npos);
        EXPECT_EQ(outcome.err, "");
    }
    const std::string top = runTool({"--help"}).out;
    EXPECT_NE(top.find("Exit status:\n  0  success\n"), std::string::npos);
    EXPECT_NE(top.find("  9  tarn net get: the settings were not read (library result -1987)"),
              std::string::npos);
    EXPECT_NE(top.find(" 11  standard output could not be written"), std::string::npos);
}

TEST(TarnCli, LostOutputEndsWithItsOwnStatusAndOneLine) {
    struct Case {
        Words words;
        Output to;
        std::string line;
    };
    const std::vector<Case> cases = {
        {{"net", "check", "1.2.3.4"},
         Output::closed,
         "tarn net check: cannot write standard output: Bad file descriptor"},
        {{"stream", "--duration", "0.3"},
         Output::closed,
         "tarn stream: cannot write standard output: Bad file descriptor"},
        // Ends at its first status line after the reader left, not after 100 s, nor by SIGPIPE.
        {{"stream", "--duration", "100"},
         Output::closedPipe,
         "tarn stream: cannot write standard output: Broken pipe"},
    };
    for (const Case& c : cases) {
        const auto outcome = runTool(c.words, kOutputCaseTimeout, c.to);
        EXPECT_EQ(outcome.status, kOutputStatus) << c.line;
        EXPECT_EQ(outcome.err, c.line + "\n");
    }
}

TEST(TarnCli, HelpCommandAndCommandFaultsPointToTheHelpOnce) {
    EXPECT_EQ(runTool({"help", "stream"}).out, runTool({"stream", "--help"}).out);
    EXPECT_EQ(runTool({"help"}).out, runTool({"--help"}).out);
    for (const Words& words : {Words{}, Words{"bogus"}, Words{"help", "bogus"}}) {
        const auto outcome = runTool(words);
        EXPECT_EQ(outcome.status, kUsageStatus);
        const std::size_t first = outcome.err.find("(see tarn --help)");
        EXPECT_NE(first, std::string::npos) << outcome.err;
        EXPECT_EQ(outcome.err.find("(see tarn --help)", first + 1), std::string::npos)
            << outcome.err;
    }
}

TEST(TarnCli, ABusyLocalPortIsNamedAsInUse) {
    const int holder = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    ASSERT_EQ(getsockname(holder, reinterpret_cast<sockaddr*>(&local), &length), 0);
    const std::string port = std::to_string(ntohs(local.sin_port));
    const auto outcome = runTool({"stream", "--device", "127.0.0.1", "--local-address", "127.0.0.1",
                                  "--local-port", port, "--duration", "1"});
    close(holder);
    EXPECT_EQ(linesOf(outcome.err).size(), 1u) << outcome.err;
    EXPECT_NE(outcome.err.find("cannot listen on local port " + port + ": the port is in use"),
              std::string::npos)
        << outcome.err;
}

TEST(TarnCli, VersionIsTheLibraryVersion) {
    const auto outcome = runTool({"--version"});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, "tarn " TARN_VERSION "\n");
}

TEST(TarnCli, BadCommandLinesGiveOneLineNamingTheFault) {
    struct Case {
        Words words;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{}, "tarn: missing command (see tarn --help)"},
        {{"frobnicate"}, "tarn: unknown command 'frobnicate'"},
        {{"sim", "--bogus", "1"}, "tarn sim: unknown option --bogus"},
        {{"sim", "--fps"}, "tarn sim: --fps needs a value"},
        {{"sim", "--seed", "1", "--seed=2"}, "tarn sim: --seed is given twice"},
        {{"sim", "--fps", "0"}, "tarn sim: --fps must be a number from 0.1 to 1000, not '0'"},
        {{"sim", "--fps", "15x"}, "not '15x'"},
        {{"sim", "--pixel-type", "3"}, "--pixel-type must be a whole number from 0 to 2, not '3'"},
        {{"sim", "--to", "10.0.0.1:7001"}, "--to '10.0.0.1' is not a loopback address"},
        {{"sim", "--to", "127.0.0.1:0"}, "the port must be from 1 to 65535"},
        {{"sim", "--corrupt", "1:2"}, "--corrupt '1:2' must be K:D:O:V"},
        {{"sim", "--truncate", "1:2:3000"}, "--truncate '1:2:3000' must be K:D:N"},
        {{"sim", "--control-fault", "get-net:explode"}, "unknown fault 'explode'"},
        {{"sim", "--control", "127.0.0.1", "--control-fault", "0x9999x:silent"},
         "unknown command '0x9999x'"},
        {{"sim", "--no-stream"}, "--no-stream needs --control"},
        {{"stream", "--every", "2"}, "tarn stream: --every needs --save"},
        {{"stream", "--device", "127.0.0.1", "--tilt", "5"},
         "--tilt is for the embedded simulated sensor, not with --device"},
        {{"stream", "--box", "1:2:3"}, "--box '1:2:3' must be Y0:Y1:Z0:Z1:X0:X1"},
        {{"record"}, "tarn record: missing the file to record into (FILE.pcap)"},
        {{"replay", "x.pcap"}, "tarn replay: --to is required"},
        {{"replay", "x.pcap", "--to", "127.0.0.1:9", "--max", "--rate", "2"},
         "--max and --rate exclude each other"},
        {{"export", "x.pcap"}, "tarn export: --save is required"},
        {{"net"}, "tarn net: missing subcommand (get, set or check)"},
        {{"net", "get"}, "tarn net get: --device is required"},
        {{"net", "get", "--device", "300.1.1.1"}, "'300.1.1.1' is not a dotted-quad IPv4 address"},
        {{"net", "get", "--device", "192.168.001.010"}, "has a leading zero"},
        {{"net", "get", "--device", "127.0.0.1", "--timeout", "0"}, "--timeout must be"},
        {{"net", "set", "--device", "127.0.0.1"}, "nothing to write"},
        {{"net", "set", "--device", "127.0.0.1", "--mac", "01:02"}, "--mac '01:02' must be six"},
        {{"net", "set", "--device", "127.0.0.1", "--hex", "abc"}, "--hex must be 88 hex digits"},
        {{"net", "set", "--device", "127.0.0.1", "--host-port", "70000"},
         "--host-port must be a whole number from 1 to 65535"},
        {{"net", "set", "--device", "127.0.0.1", "--gateway", "1.2.3"}, "--gateway '1.2.3'"},
        {{"net", "check"}, "tarn net check: missing the address to check"},
    };
    for (const Case& c : cases) {
        const auto outcome = runTool(c.words);
        SCOPED_TRACE(outcome.err);
        EXPECT_EQ(outcome.status, kUsageStatus);
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(linesOf(outcome.err).size(), 1u);
        EXPECT_NE(outcome.err.find(c.message), std::string::npos);
    }
}

// --device, --to and --from mean the same in every command: ADDRESS and ADDRESS:PORT are both
// taken (the command then gets as far as its own work, whose status is the same for both), and a
// bad one is refused with the same line.
TEST(TarnCli, EveryCommandTakesTheSharedEndpointFlagsTheSameWay) {
    struct Case {
        Words before;  // the command and what it needs, before the flag
        std::string flag;
        bool loopbackOnly;
        Words after;
    };
    const Words brief = {"--duration", "0.2", "--local-address", "127.0.0.1"};
    const std::vector<Case> cases = {
        {{"stream"}, "--device", false, brief},
        {{"record", ::testing::TempDir() + "/shared-flags.pcap"}, "--device", false, brief},
        {{"view", "--port", "0"}, "--device", false, brief},
        {{"net", "get", "--timeout", "50"}, "--device", false, {}},
        {{"sim", "--frames", "1"}, "--to", true, {}},
        {{"sim", "--frames", "1"}, "--from", true, {}},
        {{"replay", "missing.pcap"}, "--to", true, {}},
        {{"replay", "missing.pcap", "--to", "127.0.0.1"}, "--from", true, {}},
    };
    auto withFlag = [](const Case& c, const std::string& value) {
        Words words = c.before;
        words.push_back(c.flag);
        words.push_back(value);
        words.insert(words.end(), c.after.begin(), c.after.end());
        return words;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.before[0] + " " + c.flag);
        // net's --device names the control port, which is 6501.
        const std::string port = c.before[0] == "net" ? "6501" : "7009";
        const auto bare = runTool(withFlag(c, "127.0.0.1"));
        const auto withPort = runTool(withFlag(c, "127.0.0.1:" + port));
        EXPECT_NE(bare.status, kUsageStatus) << bare.err;
        EXPECT_EQ(withPort.status, bare.status) << withPort.err;
        for (const std::string& bad : {std::string("300.1.1.1"), std::string("127.0.0.1:x"),
                                       std::string(c.loopbackOnly ? "10.0.0.1" : "1.02.3.4")}) {
            const auto refused = runTool(withFlag(c, bad));
            EXPECT_EQ(refused.status, kUsageStatus);
            EXPECT_EQ(linesOf(refused.err).size(), 1u) << refused.err;
            EXPECT_NE(refused.err.find(": " + c.flag + " '" + bad.substr(0, bad.find(':'))),
                      std::string::npos)
                << refused.err;
        }
    }
    // The port given is the one used.
    EXPECT_NE(runTool({"stream", "--device", "127.0.0.1:7009", "--duration", "0.2"})
                  .out.find("127.0.0.1 port 7009 (or 6301)"),
              std::string::npos);
    EXPECT_NE(
        runTool({"sim", "--frames", "1", "--to", "127.0.0.1:7009"}).out.find("to 127.0.0.1:7009"),
        std::string::npos);
}

TEST(TarnCli, NetCheckSaysWhetherTheLibraryTakesTheAddress) {
    struct Case {
        std::string address;
        int status;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"192.168.1.10", 0, "192.168.1.10: accepted\n"},
        {"0.0.0.0", 0, "0.0.0.0: accepted\n"},
        {"192.168.001.010", 0,
         "192.168.001.010: accepted, but the connection reads leading zeros as octal and reaches "
         "192.168.1.8\n"},
        {"192.168.1.08", 0,
         "192.168.1.08: accepted, but the connection reads leading zeros as octal and gets no "
         "address from it (8 and 9 are not octal digits)\n"},
        {"256.1.1.1", kRejectedStatus,
         "'256.1.1.1': not accepted: not four components 0 to 255 separated by dots\n"},
        {" 1.2.3.4", kRejectedStatus,
         "' 1.2.3.4': not accepted: not four components 0 to 255 separated by dots\n"},
    };
    for (const Case& c : cases) {
        const auto outcome = runTool({"net", "check", c.address});
        EXPECT_EQ(outcome.status, c.status) << c.address;
        EXPECT_EQ(outcome.out, c.line);
    }
}

}  // namespace
