// tarn record, info, export and replay where recording goes wrong: a full disk, a reader of the
// status lines that goes away, and a recording cut in its last record.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "process.h"

namespace {

using tarn::testing::linesOf;
using tarn::testing::numberAfter;
using tarn::testing::runTool;
using tarn::testing::toolPath;

constexpr int kFileStatus = 5;

struct ShellOutcome {
    int status = -1;
    std::string out;
    std::string err;
};

class RecordFaultsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarn-record-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory_ = pattern;
    }
    void TearDown() override { std::system(("rm -rf " + directory_).c_str()); }

    static std::string read(const std::string& path) {
        std::ifstream file(path);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    // Runs script under bash (bounded by timeout), with TOOL standing for the tool.
    ShellOutcome shell(const std::string& script) {
        const std::string command = "timeout 120 bash -c 'TOOL=" + toolPath() + "; " + script +
                                    "' >" + directory_ + "/out 2>" + directory_ + "/err";
        ShellOutcome outcome;
        const int status = std::system(command.c_str());
        outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        outcome.out = read(directory_ + "/out");
        outcome.err = read(directory_ + "/err");
        return outcome;
    }

    static long long fileSize(const std::string& path) {
        struct stat status {};
        return stat(path.c_str(), &status) == 0 ? static_cast<long long>(status.st_size) : -1;
    }

    std::string directory_;
};

TEST_F(RecordFaultsTest, AFullDiskStopsTheRecordingWithAnErrorAndAFileOfWholeRecords) {
    const std::string capture = directory_ + "/full.pcap";
    // 256 KiB fit, a few hundred datagrams; the simulated sensor sends thousands.
    const ShellOutcome record =
        shell("ulimit -f 256; exec $TOOL record " + capture + " --frames 40 --fps 50");
    EXPECT_EQ(record.status, kFileStatus) << record.out << record.err;
    const std::string expected = "tarn record: cannot write " + capture + ": File too large; ";
    ASSERT_EQ(record.err.rfind(expected, 0), 0u) << record.err;
    const long long written = numberAfter(record.err, "the file holds ");
    EXPECT_GT(written, 0);
    EXPECT_EQ(record.out.find("tarn record: wrote"), std::string::npos) << record.out;
    EXPECT_LE(fileSize(capture), 256 * 1024);

    // The file reads to its end without a warning and holds what the error said.
    const auto info = runTool({"info", capture});
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(info.err, "");
    EXPECT_EQ(numberAfter(info.out, "  datagrams     "), written) << info.out;
}

// A closed or full standard output: RecordingTest.LostOutputEndsTheRecordingWithTheFileWhole.

TEST_F(RecordFaultsTest, ARecordingCutInItsLastRecordIsReadUpToTheCutWithOneWarning) {
    const std::string capture = directory_ + "/cut.pcap";
    const auto record = runTool({"record", capture, "--frames", "3", "--imu-rate", "0"});
    ASSERT_EQ(record.status, 0) << record.err;
    const long long whole = numberAfter(record.out, "tarn record: wrote ");
    ASSERT_EQ(truncate(capture.c_str(), fileSize(capture) - 100), 0);

    const std::string warning = "warning: " + capture + " is cut in record " +
                                std::to_string(whole) + " (truncated dump file";
    const auto info = runTool({"info", capture});
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(numberAfter(info.out, "  datagrams     "), whole - 1) << info.out;
    ASSERT_EQ(linesOf(info.err).size(), 1u) << info.err;
    EXPECT_EQ(info.err.rfind("tarn info: " + warning, 0), 0u) << info.err;

    const auto exported = runTool({"export", capture, "--save", directory_});
    EXPECT_EQ(exported.status, 0) << exported.err;
    ASSERT_EQ(linesOf(exported.err).size(), 1u) << exported.err;
    EXPECT_EQ(exported.err.rfind("tarn export: " + warning, 0), 0u) << exported.err;
    EXPECT_EQ((exported.out + exported.err).find('\r'), std::string::npos);  // no progress line

    tarn::testing::ToolProcess replay(
        {"replay", capture, "--to", "127.0.0.1:9", "--max", "--loop"});
    ASSERT_TRUE(replay.waitForOutput("tarn replay: 1.0 s")) << replay.output();
    const auto replayed = replay.stop(SIGINT);
    EXPECT_EQ(replayed.status, 0) << replayed.err;
    ASSERT_EQ(linesOf(replayed.err).size(), 1u) << replayed.err;  // once, not once a pass
    EXPECT_EQ(replayed.err.rfind("tarn replay: " + warning, 0), 0u) << replayed.err;
}

}  // namespace
