// The frame source, live and recorded: a simulated sensor streams into a live source whose
// datagrams a writer records; the recording, read back as a source, gives the same frames cell
// for cell, the same frame info and the same IMU samples, each once and in order, with and
// without injected loss, duplicates and reordering.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sim/scene.h"
#include "sim/stream_sender.h"
#include "tarn/source.h"
#include "tests/recording/capture_files.h"
#include "tests/stream/stream_test_support.h"

namespace tarn::recording::test {
namespace {

constexpr const char* kLoopback = "127.0.0.1";
constexpr uint64_t kFrames = 12;

struct Frames {
    std::vector<std::vector<tarn_point>> grids;
    std::vector<tarn_frame_info> infos;
    std::vector<tarn_imu_sample> imu;
    tarn_source_stats stats{};
    int endResult = TARN_OK;
};

void takeImu(tarn_source* source, Frames& frames) {
    tarn_imu_sample samples[64];
    size_t count = 0;
    do {
        ASSERT_EQ(tarn_source_imu(source, samples, 64, &count), TARN_OK);
        frames.imu.insert(frames.imu.end(), samples, samples + count);
    } while (count > 0);
}

// Reads a source until it ends (a recording) or a frame takes longer than timeoutMs (live).
Frames drain(tarn_source* source, int timeoutMs) {
    Frames frames;
    std::vector<tarn_point> grid(TARN_CELLS);
    tarn_frame_info info{};
    while ((frames.endResult = tarn_source_next(source, timeoutMs, grid.data(), &info)) ==
           TARN_OK) {
        frames.grids.push_back(grid);
        frames.infos.push_back(info);
        takeImu(source, frames);
    }
    takeImu(source, frames);
    tarn_source_get_stats(source, &frames.stats);
    return frames;
}

void expectSameInfo(const tarn_frame_info& live, const tarn_frame_info& recorded) {
    EXPECT_EQ(recorded.sequence, live.sequence);
    EXPECT_EQ(recorded.datagrams, live.datagrams);
    EXPECT_EQ(recorded.cells_written, live.cells_written);
    EXPECT_EQ(recorded.complete, live.complete);
    EXPECT_EQ(recorded.merged, live.merged);
    EXPECT_EQ(recorded.pixel_type, live.pixel_type);
    EXPECT_EQ(recorded.mixed_pixel_types, live.mixed_pixel_types);
    EXPECT_EQ(recorded.first_timestamp, live.first_timestamp);
    EXPECT_EQ(recorded.last_timestamp, live.last_timestamp);
    EXPECT_EQ(recorded.receive_realtime_ns, live.receive_realtime_ns);
    EXPECT_EQ(recorded.receive_monotonic_ns, 0);
}

// Each variant's faults, by name.
struct FaultCase {
    const char* name;
    sim::RandomFaults faults;
};
const FaultCase kFaultCases[] = {{"Clean", {}},
                                 {"LossDuplicatesReordering", {0.02, 0.02, 0.02, 5}}};

class FrameSourceTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(FrameSourceTest, ARecordingGivesTheFramesOfTheLiveStream) {
    ScratchFolder folder;
    const std::string path = folder.path() + "/live.pcap";
    const uint16_t localPort = stream::test::freeUdpPort();
    sim::StreamSender sender({kLoopback, 0, kLoopback, localPort});
    sender.setRandomFaults(kFaultCases[GetParam()].faults);

    tarn_recording_writer* writer = nullptr;
    ASSERT_EQ(tarn_recording_writer_open(path.c_str(), 0, &writer, nullptr, 0), TARN_OK);
    tarn_stream_config config;
    tarn_stream_config_init(&config);
    config.local_address = kLoopback;
    config.local_port = localPort;
    config.device_address = kLoopback;
    config.device_port = sender.sourcePort();
    config.on_datagram = tarn_recording_writer_tap;
    config.datagram_user = writer;
    tarn_source* live = nullptr;
    ASSERT_EQ(tarn_source_open_stream(&config, kFrames + 2, &live), TARN_OK);
    ASSERT_NE(tarn_source_stream(live), nullptr);

    sim::StreamPlan plan;
    plan.frames = kFrames;
    plan.fps = 40;
    plan.imuRate = 200;
    sender.stream(sim::Scene({}), plan);
    const sim::SenderCounters sent = sender.counters();
    ASSERT_TRUE(stream::test::waitUntil([&] {
        tarn_source_stats stats{};
        tarn_source_get_stats(live, &stats);
        return stats.stream.datagrams_read == sent.datagramsSent;
    }));
    const Frames fromLive = drain(live, 300);
    EXPECT_EQ(fromLive.endResult, TARN_ERR_TIMEOUT);
    tarn_source_close(live);
    tarn_recording_writer_stats written{};
    ASSERT_EQ(tarn_recording_writer_finish(writer, &written), TARN_OK);
    tarn_recording_writer_close(writer);
    EXPECT_EQ(written.written, sent.datagramsSent);

    tarn_source* recorded = nullptr;
    char error[256] = {};
    ASSERT_EQ(tarn_source_open_recording(path.c_str(), kLoopback, sender.sourcePort(), &recorded,
                                         error, sizeof error),
              TARN_OK)
        << error;
    EXPECT_EQ(tarn_source_stream(recorded), nullptr);
    const Frames fromFile = drain(recorded, 0);
    tarn_source_close(recorded);
    EXPECT_EQ(fromFile.endResult, TARN_RECORDING_END);
    EXPECT_EQ(fromFile.stats.recording.measurement, sent.datagramsSent);
    EXPECT_EQ(fromFile.stats.recording.cut, 0);

    // Nothing kept back: every decoded frame was returned, once and in order.
    EXPECT_EQ(fromLive.stats.frames_dropped, 0u);
    EXPECT_EQ(fromLive.stats.frames_returned, fromLive.stats.stream.frames_decoded);
    EXPECT_EQ(fromFile.stats.frames_returned, fromFile.stats.stream.frames_decoded);
    EXPECT_GE(fromLive.infos.size(), kFrames / 2);
    for (std::size_t i = 0; i < fromLive.infos.size(); ++i) {
        EXPECT_EQ(fromLive.infos[i].sequence, i + 1);
    }
    const tarn_stream_stats& l = fromLive.stats.stream;
    const tarn_stream_stats& r = fromFile.stats.stream;
    EXPECT_EQ(r.frames_decoded, l.frames_decoded);
    EXPECT_EQ(r.frames_incomplete, l.frames_incomplete);
    EXPECT_EQ(r.frames_merged, l.frames_merged);
    EXPECT_EQ(r.frames_lost_last, l.frames_lost_last);
    EXPECT_EQ(r.imu_samples, l.imu_samples);
    EXPECT_EQ(l.imu_samples, sent.imuSent);
    if (GetParam() != 0) {
        // The faults showed: the comparison covers incomplete, merged or lost frames.
        EXPECT_GT(sent.faults.dropped + sent.faults.duplicated + sent.faults.reordered, 0u);
        EXPECT_GT(l.frames_incomplete + l.frames_merged + l.frames_lost_last, 0u);
    }

    ASSERT_EQ(fromFile.infos.size(), fromLive.infos.size());
    for (std::size_t i = 0; i < fromLive.infos.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i + 1));
        expectSameInfo(fromLive.infos[i], fromFile.infos[i]);
        EXPECT_EQ(std::memcmp(fromLive.grids[i].data(), fromFile.grids[i].data(),
                              sizeof(tarn_point) * TARN_CELLS),
                  0);
    }
    ASSERT_EQ(fromFile.imu.size(), fromLive.imu.size());
    EXPECT_EQ(fromLive.imu.size(), sent.imuSent);
    EXPECT_EQ(std::memcmp(fromLive.imu.data(), fromFile.imu.data(),
                          sizeof(tarn_imu_sample) * fromLive.imu.size()),
              0);
}

INSTANTIATE_TEST_SUITE_P(Faults, FrameSourceTest, ::testing::Values(0u, 1u),
                         [](const auto& param) { return kFaultCases[param.param].name; });

TEST(FrameSourceFilter, KeepsOneSensorsDatagramsAndRefusesBadArguments) {
    ScratchFolder folder;
    const std::string path = folder.path() + "/two.pcap";
    tarn_recording_writer* writer = nullptr;
    ASSERT_EQ(tarn_recording_writer_open(path.c_str(), 0, &writer, nullptr, 0), TARN_OK);
    // One IMU datagram from each of two ports.
    for (const uint16_t port : {uint16_t{6301}, uint16_t{6302}}) {
        Bytes imu = measurementPayload(4, 46, 0);
        imu[8] = 1;  // sample valid
        tarn_datagram_meta meta{};
        meta.source_address = 0x7F000001;
        meta.source_port = port;
        tarn_recording_writer_tap(imu.data(), imu.size(), &meta, writer);
    }
    ASSERT_EQ(tarn_recording_writer_finish(writer, nullptr), TARN_OK);
    tarn_recording_writer_close(writer);

    auto imuFrom = [&](const char* address, int port) {
        tarn_source* source = nullptr;
        EXPECT_EQ(tarn_source_open_recording(path.c_str(), address, port, &source, nullptr, 0),
                  TARN_OK);
        const Frames frames = drain(source, 0);
        tarn_source_close(source);
        return frames.imu.size();
    };
    EXPECT_EQ(imuFrom(nullptr, 0), 2u);
    EXPECT_EQ(imuFrom("127.0.0.1", 6302), 1u);
    EXPECT_EQ(imuFrom("127.0.0.2", 0), 0u);

    tarn_source* source = nullptr;
    EXPECT_EQ(tarn_source_open_recording(path.c_str(), "127.0.0", 0, &source, nullptr, 0),
              TARN_ERR_DEVICE_ADDRESS);
    EXPECT_EQ(tarn_source_open_recording(path.c_str(), nullptr, 70000, &source, nullptr, 0),
              TARN_ERR_DEVICE_PORT);
    EXPECT_EQ(source, nullptr);
    EXPECT_EQ(tarn_source_next(nullptr, 0, nullptr, nullptr), TARN_ERR_INVALID_HANDLE);
}

}  // namespace
}  // namespace tarn::recording::test
