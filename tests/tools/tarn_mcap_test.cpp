// tarn record into MCAP files: every frame and IMU sample recorded, the format chosen by the
// extension or --format, export, info, and a full disk.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "process.h"

namespace {

using tarn::testing::runTool;
using tarn::testing::toolPath;

constexpr int kUsageStatus = 2;
constexpr int kFileStatus = 5;
const std::string kMagic("\x89MCAP0\r\n", 8);

class McapRecordTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarn-mcap-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory_ = pattern;
    }
    void TearDown() override { std::system(("rm -rf " + directory_).c_str()); }

    static std::string read(const std::string& path) {
        std::ifstream file(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }

    std::string directory_;
};

TEST_F(McapRecordTest, EveryDecodedFrameAndImuSampleIsRecordedOnceInAWholeFile) {
    const std::string named = directory_ + "/run.mcap";
    const auto record = runTool({"record", named, "--frames", "4", "--imu-rate", "100"});
    ASSERT_EQ(record.status, 0) << record.err;
    EXPECT_EQ(record.err.find("warning"), std::string::npos) << record.err;
    const long long frames = tarn::testing::numberAfter(record.out, "messages (");
    const long long imu = tarn::testing::numberAfter(record.out, " decoded, ");
    ASSERT_GE(frames, 4) << record.out;
    EXPECT_GT(imu, 0) << record.out;
    EXPECT_NE(record.out.find("(" + std::to_string(frames) + " frames of " +
                              std::to_string(frames) + " decoded"),
              std::string::npos)
        << record.out;
    const auto info = runTool({"info", named});
    EXPECT_EQ(tarn::testing::numberAfter(info.out, "/tarn/points "), frames) << info.out;
    EXPECT_EQ(tarn::testing::numberAfter(info.out, "/tarn/imu_raw "), imu) << info.out;
    const std::string bytes = read(named);
    ASSERT_GT(bytes.size(), 2 * kMagic.size());
    EXPECT_EQ(bytes.substr(0, 8), kMagic);
    EXPECT_EQ(bytes.substr(bytes.size() - 8), kMagic);  // closed with its summary and footer

    const std::string other = directory_ + "/run.bin";
    ASSERT_EQ(runTool({"record", other, "--frames", "2", "--format", "mcap"}).status, 0);
    EXPECT_EQ(read(other).substr(0, 8), kMagic);
    EXPECT_EQ(runTool({"record", other, "--format", "bag"}).status, kUsageStatus);
}

TEST_F(McapRecordTest, ExportConvertsEveryFrameOfARecording) {
    const std::string capture = directory_ + "/run.pcap";
    const std::string converted = directory_ + "/run.mcap";
    ASSERT_EQ(runTool({"record", capture, "--frames", "3"}).status, 0);
    // As many frames as the recording holds (a loaded machine may record a few more than asked).
    const auto info = runTool({"info", capture});
    const long long frames = tarn::testing::numberAfter(info.out, "  frames        ");
    ASSERT_GE(frames, 3) << info.out;
    const auto exported = runTool({"export", capture, "--mcap", converted});
    ASSERT_EQ(exported.status, 0) << exported.err;
    EXPECT_EQ(
        exported.out.rfind("tarn export: wrote " + std::to_string(frames) + " frames and ", 0), 0u)
        << exported.out;
    const std::string bytes = read(converted);
    ASSERT_GT(bytes.size(), 2 * kMagic.size());
    EXPECT_EQ(bytes.substr(bytes.size() - 8), kMagic);

    EXPECT_EQ(runTool({"export", directory_ + "/none.pcap", "--mcap", converted}).status,
              kFileStatus);
    EXPECT_EQ(runTool({"export", capture, "--mcap", converted, "--every", "2"}).status,
              kUsageStatus);
}

TEST_F(McapRecordTest, InfoSummarisesSeveralFilesAndScansOneWithoutSummary) {
    const std::string capture = directory_ + "/run.pcap";
    const std::string converted = directory_ + "/run.mcap";
    const std::string cut = directory_ + "/cut.mcap";
    ASSERT_EQ(runTool({"record", capture, "--frames", "3", "--imu-rate", "0"}).status, 0);
    ASSERT_EQ(runTool({"export", capture, "--mcap", converted}).status, 0);
    const std::string bytes = read(converted);
    std::ofstream(cut, std::ios::binary) << bytes.substr(0, bytes.size() / 2);

    const auto info = runTool({"info", capture, converted, cut, directory_ + "/none.pcap"});
    EXPECT_EQ(info.status, kFileStatus);  // the missing file's, after every other block
    EXPECT_NE(info.out.find(capture + "\n  datagrams"), std::string::npos) << info.out;
    // One message per frame the recording holds (a loaded machine may record a few more than
    // asked).
    const long long frames = tarn::testing::numberAfter(info.out, "  frames        ");
    ASSERT_GE(frames, 3) << info.out;
    const auto block = info.out.find(converted + "\n  format        MCAP, read from its summary");
    ASSERT_NE(block, std::string::npos) << info.out;
    EXPECT_EQ(tarn::testing::numberAfter(info.out.substr(block), "/tarn/points                  "),
              frames)
        << info.out;
    EXPECT_NE(info.out.find(cut + "\n  format        MCAP, no summary"), std::string::npos)
        << info.out;
    EXPECT_NE(info.err.find("none.pcap"), std::string::npos) << info.err;
}

TEST_F(McapRecordTest, AFullDiskEndsTheRecordingWithAnErrorNotAHang) {
    const std::string path = directory_ + "/full.mcap";
    // 1 MiB holds no more than a few frames of about 0.6 MB each.
    const std::string command = "timeout 120 bash -c 'ulimit -f 1024; exec " + toolPath() +
                                " record " + path + " --frames 60' >" + directory_ + "/out 2>" +
                                directory_ + "/err";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), kFileStatus);
    const std::string err = read(directory_ + "/err");
    EXPECT_EQ(err.rfind("tarn record: " + path + ": writing the MCAP file failed", 0), 0u) << err;
    EXPECT_EQ(read(directory_ + "/out").find("tarn record: wrote"), std::string::npos);
    const std::string bytes = read(path);
    EXPECT_LE(bytes.size(), 1024u * 1024u);
    EXPECT_EQ(bytes.substr(0, 8), kMagic);
}

}  // namespace
