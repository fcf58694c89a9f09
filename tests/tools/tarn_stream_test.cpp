// tarn stream, record, info, export and replay against tarn sim and the library, each tool run as
// a process on loopback.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "process.h"
#include "sim/scene.h"
#include "sim/wall_frame.h"
#include "tarn/tarn.h"

namespace {

using tarn::testing::freeUdpPort;
using tarn::testing::numberAfter;
using tarn::testing::Output;
using tarn::testing::runTool;
using tarn::testing::ToolProcess;

constexpr int kNoDataStatus = 10;
constexpr int kFileStatus = 5;
constexpr int kOutputStatus = 11;
constexpr std::chrono::seconds kLostOutputTimeout{30};
constexpr int kFrameWaitMs = 5000;

class ToolFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarn-tool-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory_ = pattern;
    }
    void TearDown() override { std::system(("rm -rf " + directory_).c_str()); }

    std::vector<std::string> files(const std::string& folder = "") const {
        std::vector<std::string> names;
        if (DIR* dir = opendir((directory_ + folder).c_str())) {
            while (const dirent* entry = readdir(dir)) {
                if (entry->d_name[0] != '.') {
                    names.push_back(entry->d_name);
                }
            }
            closedir(dir);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string directory_;
    const std::string sourcePort_ = std::to_string(freeUdpPort());
    const std::string localPort_ = std::to_string(freeUdpPort());
};

std::vector<std::string> frameFiles(const std::string& stem) {
    return {stem + "-depth.png", stem + "-depth16.png", stem + "-intensity.png",
            stem + ".csv",       stem + ".pcd",         stem + ".ply"};
}

using StreamTest = ToolFiles;

TEST_F(StreamTest, CountersMatchTheSimulatorUnderLoss) {
    // The stream ends with the frame that the simulator's last datagram closes, so every count
    // is final whatever the pace.
    ToolProcess stream({"stream", "--device", "127.0.0.1", "--device-port", sourcePort_,
                        "--local-port", localPort_, "--frames", "11"});
    ASSERT_TRUE(stream.waitForOutput("tarn stream: listening to")) << stream.output();
    const auto sim = runTool({"sim",
                              "--to",
                              "127.0.0.1:" + localPort_,
                              "--from",
                              "127.0.0.1:" + sourcePort_,
                              "--frames",
                              "12",
                              "--fps",
                              "30",
                              "--pixel-type",
                              "0",
                              "--imu-rate",
                              "60",
                              "--loss",
                              "0.01",
                              "--seed",
                              "5",
                              "--drop-last-of",
                              "4",
                              "--drop-first-of",
                              "8"});
    ASSERT_EQ(sim.status, 0) << sim.err;
    const auto end = stream.wait();
    ASSERT_EQ(end.status, 0) << end.err;

    const long long points = numberAfter(sim.out, "sent 12 frames, ");
    const long long imu = numberAfter(sim.out, " point datagrams, ");
    EXPECT_GT(numberAfter(sim.out, "faults: dropped "), 2);  // random loss besides the two
    EXPECT_NE(end.out.find("tarn stream: " + std::to_string(points + imu) +
                           " datagrams read, 0 rejected, 0 invalid, 0 dropped on a full queue, "
                           "0 kernel drops; " +
                           std::to_string(imu) + " IMU samples\n"),
              std::string::npos)
        << sim.out << end.out;
    // Frame 4 never ends, frame 8 joins frame 7's end; random loss leaves some incomplete.
    EXPECT_NE(end.out.find("tarn stream: 11 frames in "), std::string::npos) << end.out;
    EXPECT_NE(end.out.find("; lost 1, merged 1, incomplete "), std::string::npos);
    EXPECT_GT(numberAfter(end.out, "merged 1, incomplete "), 0);
}

TEST_F(StreamTest, EmbeddedSensorShowsTheAngleAndSavesTheLastFrame) {
    const std::string folder = "/new/frames";  // created with its parent
    const auto outcome = runTool(
        {"stream", "--frames", "4", "--fps", "30", "--angle", "--save", directory_ + folder});
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_NE(outcome.out.find("tarn stream: listening to the embedded simulated sensor"),
              std::string::npos);
    const std::size_t mean = outcome.out.find(" measured: mean ");
    ASSERT_NE(mean, std::string::npos) << outcome.out;
    EXPECT_NEAR(std::atof(outcome.out.c_str() + mean + 16), 12.0, 0.5);
    EXPECT_NE(outcome.out.find("(true 12.00)\n"), std::string::npos);
    const std::vector<std::string> saved = files(folder);
    ASSERT_EQ(saved.size(), 6u);
    EXPECT_EQ(saved, frameFiles(saved[0].substr(0, saved[0].find('-', 6))));
}

TEST_F(StreamTest, SavesEveryFrameItTakesAndStopsAtExactlyTheBound) {
    // Saving runs beside the stream: with --every 1 each frame taken is saved, in order, none
    // skipped; with --every 3 the last frame of the bound is among them.
    for (const std::string every : {"1", "3"}) {
        const std::string folder = "/every" + every;
        const auto outcome = runTool({"stream", "--frames", "9", "--fps", "30", "--save",
                                      directory_ + folder, "--every", every});
        ASSERT_EQ(outcome.status, 0) << outcome.err;
        const long step = std::atol(every.c_str());
        std::vector<std::string> expected;
        for (long n = step; n <= 9; n += step) {
            char stem[32];
            std::snprintf(stem, sizeof stem, "frame-%06ld", n);
            for (const std::string& name : frameFiles(stem)) {
                expected.push_back(name);
            }
        }
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(files(folder), expected) << outcome.out;
        EXPECT_NE(outcome.out.find("tarn stream: 9 frames taken, " + std::to_string(9 / step) +
                                   " saved, 0 not saved"),
                  std::string::npos)
            << outcome.out;
    }
}

TEST_F(StreamTest, RejectingEveryDatagramSaysWhichSourceItExpected) {
    const std::string expectedPort = std::to_string(freeUdpPort());
    ToolProcess stream({"stream", "--device", "127.0.0.1", "--device-port", expectedPort,
                        "--local-port", localPort_, "--idle", "0.5", "--duration", "20"});
    ASSERT_TRUE(stream.waitForOutput("tarn stream: listening to")) << stream.output();
    const auto sim = runTool({"sim", "--to", "127.0.0.1:" + localPort_, "--from",
                              "127.0.0.1:" + sourcePort_, "--frames", "2", "--fps", "50"});
    ASSERT_EQ(sim.status, 0) << sim.err;
    const auto outcome = stream.wait();
    EXPECT_EQ(outcome.status, kNoDataStatus);
    EXPECT_NE(outcome.out.find(" datagrams came from a source other than the one expected, "
                               "127.0.0.1 port " +
                               expectedPort),
              std::string::npos)
        << outcome.out;
    EXPECT_NE(outcome.out.find("; heard from 127.0.0.1:" + sourcePort_ + " ("), std::string::npos)
        << outcome.out;
}

TEST_F(StreamTest, FailuresHaveTheirStatus) {
    const auto silent = runTool(
        {"stream", "--device", "127.0.0.1", "--local-port", localPort_, "--duration", "0.3"});
    EXPECT_EQ(silent.status, kNoDataStatus);
    EXPECT_EQ(silent.err, "tarn stream: no frame arrived\n");
    const std::string plain = directory_ + "/plain";
    std::fclose(std::fopen(plain.c_str(), "w"));
    const auto folder = runTool({"stream", "--save", plain + "/frames"});
    EXPECT_EQ(folder.status, kFileStatus);
    EXPECT_EQ(folder.err, "tarn stream: cannot create " + plain + "/frames: Not a directory\n");
    const auto capture = runTool({"info", directory_ + "/none.pcap"});
    EXPECT_EQ(capture.status, kFileStatus);
    EXPECT_EQ(capture.err.rfind("tarn info: cannot read " + directory_ + "/none.pcap: ", 0), 0u);
}

// Frames the library decodes from a replay, copied in its frame callback.
struct Collected {
    std::mutex mutex;
    std::vector<std::vector<tarn_point>> frames;

    static void onFrame(const tarn_point* grid, const tarn_frame_info*, void* user) {
        auto* self = static_cast<Collected*>(user);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->frames.emplace_back(grid, grid + TARN_CELLS);
    }
};

using RecordingTest = ToolFiles;

TEST_F(RecordingTest, RecordInfoExportAndReplayBitForBit) {
    const std::string capture = directory_ + "/capture.pcap";
    ToolProcess record({"record", capture, "--device", "127.0.0.1", "--device-port", sourcePort_,
                        "--local-port", localPort_, "--frames", "6"});
    ASSERT_TRUE(record.waitForOutput("tarn record: recording ")) << record.output();
    const auto sim =
        runTool({"sim", "--to", "127.0.0.1:" + localPort_, "--from", "127.0.0.1:" + sourcePort_,
                 "--frames", "6", "--fps", "20", "--imu-rate", "40"});
    ASSERT_EQ(sim.status, 0) << sim.err;
    const auto recorded = record.wait();
    ASSERT_EQ(recorded.status, 0) << recorded.err;
    const long long points = numberAfter(sim.out, "sent 6 frames, ");
    const long long imu = numberAfter(sim.out, " point datagrams, ");
    const std::string all = std::to_string(points + imu);
    EXPECT_EQ(points, 6 * 450);
    EXPECT_NE(recorded.out.find("tarn record: wrote " + all + " datagrams (6 frames) to " +
                                capture + "; 0 dropped"),
              std::string::npos)
        << recorded.out;

    const auto info = runTool({"info", capture});
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("  datagrams     " + all + " (" + std::to_string(points) + " point, " +
                            std::to_string(imu) + " IMU, 0 invalid); 0 other"),
              std::string::npos)
        << info.out;
    EXPECT_NE(info.out.find("  sources       127.0.0.1:" + sourcePort_ + "\n"), std::string::npos);
    EXPECT_NE(info.out.find("  frames        6: 6 complete, 0 incomplete, 0 merged; 0 lost"),
              std::string::npos);
    EXPECT_NE(info.out.find("  pixel type    2 (10-byte"), std::string::npos);
    EXPECT_NE(info.out.find("  IMU samples   " + std::to_string(imu) + "\n"), std::string::npos);

    const std::string frames = directory_ + "/frames";
    mkdir(frames.c_str(), 0755);
    const auto exported = runTool({"export", capture, "--save", frames, "--every", "3"});
    ASSERT_EQ(exported.status, 0) << exported.err;
    EXPECT_EQ(exported.out,
              "tarn export: wrote 2 of 6 frames into " + frames + " (6 files each)\n");
    for (const char* stem : {"/frame-000003", "/frame-000006"}) {
        struct stat status {};
        EXPECT_EQ(stat((frames + stem + ".ply").c_str(), &status), 0) << stem;
    }

    // Played by tarn stream through the frame source, every frame comes once and is saved.
    const auto played =
        runTool({"stream", capture, "--angle", "--save", directory_ + "/played", "--every", "1"});
    ASSERT_EQ(played.status, 0) << played.err;
    EXPECT_NE(played.out.find("tarn stream: the recording ended"), std::string::npos);
    EXPECT_NE(played.out.find("tarn stream: 6 frames taken, 6 saved, 0 not saved"),
              std::string::npos)
        << played.out;
    const std::size_t mean = played.out.find("tarn stream: angle on 6 frames, 6 measured: mean ");
    ASSERT_NE(mean, std::string::npos) << played.out;
    EXPECT_NEAR(std::atof(played.out.c_str() + mean + 49), 12.0, 0.5);
    EXPECT_EQ(files("/played").size(), 6u * 6u);

    // Replayed into the library, the frames are the simulated wall's, bit for bit.
    Collected collected;
    tarn_stream_config config;
    tarn_stream_config_init(&config);
    config.local_address = "127.0.0.1";
    config.device_address = "127.0.0.1";
    config.device_port = std::atoi(sourcePort_.c_str());
    config.on_frame = Collected::onFrame;
    config.frame_user = &collected;
    tarn_stream* stream = nullptr;
    ASSERT_EQ(tarn_stream_open(&config, &stream), TARN_OK);
    int port = 0;
    tarn_stream_local_port(stream, &port);
    const auto replay = runTool({"replay", capture, "--to", "127.0.0.1:" + std::to_string(port)});
    EXPECT_EQ(replay.status, 0) << replay.err;
    EXPECT_NE(replay.out.find("tarn replay: sending from 127.0.0.1:" + sourcePort_ + "\n"),
              std::string::npos)
        << replay.out;
    tarn_stream_wait_frame(stream, kFrameWaitMs, nullptr, nullptr);
    for (int i = 0; i < kFrameWaitMs / 10; ++i) {
        tarn_stream_stats stats{};
        tarn_stream_get_stats(stream, &stats);
        if (stats.frames_decoded >= 6) {
            break;
        }
        usleep(10000);
    }
    tarn_stream_close(stream);

    tarn::sim::SceneConfig scene;
    scene.tiltDegrees = 12.0f;
    std::vector<tarn_point> expected(TARN_CELLS);
    ASSERT_EQ(collected.frames.size(), 6u);
    for (std::size_t n = 0; n < collected.frames.size(); ++n) {
        tarn::sim::fillGrid(tarn::sim::Scene(scene), n + 1,
                            reinterpret_cast<KESOPointData(*)[KESO_COLUMNS]>(expected.data()));
        EXPECT_EQ(std::memcmp(collected.frames[n].data(), expected.data(),
                              expected.size() * sizeof(tarn_point)),
                  0)
            << "frame " << n + 1;
    }
}

TEST_F(RecordingTest, LostOutputEndsTheRecordingWithTheFileWhole) {
    // Each ends at its first line nobody reads, well before --duration.
    const std::string capture = directory_ + "/lost.pcap";
    const std::vector<std::string> record = {"record", capture, "--duration", "100"};
    // Descriptor 1 closed: the capture file must not take its place and get the status lines.
    const auto closed = runTool(record, kLostOutputTimeout, Output::closed);
    EXPECT_EQ(closed.status, kOutputStatus) << closed.err;
    std::string head(4, '\0');
    std::FILE* file = std::fopen(capture.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    head.resize(std::fread(head.data(), 1, head.size(), file));
    std::fclose(file);
    EXPECT_EQ(head, "\x4d\x3c\xb2\xa1");  // the nanosecond pcap magic, little-endian

    // A pipe closed once datagrams are written: no SIGPIPE halfway through the file.
    const auto piped =
        runTool(record, kLostOutputTimeout, Output::closedPipe,
                [](const std::string& line) { return numberAfter(line, " written ") > 0; });
    EXPECT_EQ(piped.status, kOutputStatus) << piped.err;
    const auto info = runTool({"info", capture});
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_GT(numberAfter(info.out, "  datagrams     "), 0) << info.out;

    const auto full = runTool({"info", capture}, kLostOutputTimeout, Output::full);
    EXPECT_EQ(full.status, kOutputStatus);
    EXPECT_EQ(full.err, "tarn info: cannot write standard output: No space left on device\n");
}

}  // namespace
