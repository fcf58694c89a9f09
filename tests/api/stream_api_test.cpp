// The C interface against the simulated sensor on loopback: several streams at once, counters and
// frame info under injected faults, waiting for frames, the decoder, closing from anywhere.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "KESOApi.h"
#include "api_test_support.h"
#include "sim/frame_encoder.h"
#include "sim/scene.h"
#include "tarn/tarn.h"

namespace tarn::api::test {
namespace {

using stream::test::waitUntil;

void sendFrames(sim::StreamSender& sender, uint64_t count, uint8_t pixelType, uint8_t tag) {
    for (uint64_t i = 0; i < count; ++i) {
        sender.sendFrame(scene(), i, {pixelType, tag, i});
    }
}

// The KESO callback cannot carry a user pointer, so the default stream's frames land here.
std::atomic<int> defaultFrames{0};
std::atomic<uint64_t> defaultForeignTags{0};
std::atomic<uint64_t> defaultExpectedTag{0};
void countDefaultFrame(KESOPointData (*grid)[KESO_COLUMNS]) {
    defaultFrames.fetch_add(1);
    if (grid[0][0].tag != defaultExpectedTag.load()) {
        defaultForeignTags.fetch_add(1);
    }
}

TEST(SeveralStreams, EachSensorReachesOnlyItsOwnStreamAndClosingOneLeavesTheOthers) {
    KESODisconnectDevice();
    ASSERT_EQ(KESORegisterCallbackUpdateFrame(countDefaultFrame), 0);
    defaultFrames = 0;
    defaultForeignTags = 0;
    defaultExpectedTag = 3;
    SensorAndStream a;
    SensorAndStream b;
    ASSERT_EQ(a.open(), TARN_OK);
    ASSERT_EQ(b.open(), TARN_OK);
    const uint16_t defaultPort = stream::test::freeUdpPort();
    sim::StreamSender defaultSensor({kLoopback, 0, kLoopback, defaultPort});
    ASSERT_EQ(KESOConnectDevice(defaultPort, kLoopback, defaultSensor.sourcePort()), 0);
    // A sensor that is not b's sends to b's port.
    sim::StreamSender intruder({kLoopback, 0, kLoopback, b.localPort});

    sendFrames(a.sender, 4, sim::kPixelType4Bytes, 1);
    sendFrames(b.sender, 4, sim::kPixelType8Bytes, 2);
    sendFrames(defaultSensor, 4, sim::kPixelType10Bytes, 3);
    sendFrames(intruder, 1, sim::kPixelType8Bytes, 9);

    ASSERT_TRUE(waitUntil([&] {
        return a.recorder.frames == 4 && b.recorder.frames == 4 && defaultFrames == 4 &&
               b.stats().datagrams_rejected == intruder.counters().datagramsSent;
    }));
    EXPECT_EQ(a.recorder.tags, std::vector<uint64_t>(4, 1));
    EXPECT_EQ(b.recorder.tags, std::vector<uint64_t>(4, 2));
    EXPECT_EQ(defaultForeignTags.load(), 0u);
    EXPECT_EQ(a.stats().datagrams_rejected, 0u);
    // b names the intruder it rejected; a heard none.
    tarn_rejected_source heard[TARN_REJECTED_SOURCES_KEPT] = {};
    std::size_t count = 99;
    ASSERT_EQ(tarn_stream_get_rejected_sources(b.stream, heard, 1, &count), TARN_OK);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(heard[0].address, 0x7F000001u);
    EXPECT_EQ(heard[0].port, intruder.sourcePort());
    EXPECT_EQ(heard[0].datagrams, intruder.counters().datagramsSent);
    ASSERT_EQ(tarn_stream_get_rejected_sources(a.stream, nullptr, 0, &count), TARN_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(tarn_stream_get_rejected_sources(a.stream, nullptr, 1, &count),
              TARN_ERR_NULL_ARGUMENT);

    // A failed open and a close leave the other streams running.
    tarn_stream_config clash = b.config();
    tarn_stream* refused = nullptr;
    EXPECT_EQ(tarn_stream_open(&clash, &refused), TARN_ERR_BIND);
    EXPECT_EQ(refused, nullptr);
    ASSERT_EQ(tarn_stream_close(a.stream), TARN_OK);
    EXPECT_EQ(tarn_stream_close(a.stream), TARN_ERR_INVALID_HANDLE);
    a.stream = nullptr;
    b.sender.sendFrame(scene(), 9, {sim::kPixelType8Bytes, 2, 9});
    defaultSensor.sendFrame(scene(), 9, {sim::kPixelType10Bytes, 3, 9});
    EXPECT_TRUE(waitUntil([&] { return b.recorder.frames == 5 && defaultFrames == 5; }));
    KESODisconnectDevice();
}

// Deterministic faults, one kind per frame, and what each must do to the counters and the info.
TEST(Diagnostics, CountersAndFrameInfoMatchTheSimulatorUnderInjectedFaults) {
    SensorAndStream s;
    ASSERT_EQ(s.open(), TARN_OK);
    using sim::FaultKind;
    const std::vector<sim::DatagramFault> faults{
        {FaultKind::kDrop, 1, 5, 0, 0},                                 // middle lost
        {FaultKind::kDrop, 2, 0, 0, 0},                                 // first lost: merged
        {FaultKind::kDrop, 3, -1, 0, 0},                                // last lost: frame lost
        {FaultKind::kDuplicate, 4, 10, 0, 0},
        {FaultKind::kCorruptByte, 5, 20, sim::kOffsetMagic, 0x00},
        {FaultKind::kCorruptByte, 6, 30, sim::kOffsetPixelType, 7},
        {FaultKind::kCorruptByte, 7, 40, sim::kOffsetFrameFlag, 9},
        {FaultKind::kTruncate, 8, 50, 20, 0},
        {FaultKind::kForeignPort, 9, 60, 0, 0},
        {FaultKind::kReorder, 10, 70, 0, 0},
    };
    for (const sim::DatagramFault& fault : faults) {
        s.sender.addFault(fault);
    }
    ::testing::internal::CaptureStdout();
    for (uint64_t frame = 0; frame <= 10; ++frame) {
        s.sender.sendFrame(scene(), frame, {sim::kPixelType10Bytes, 0, frame});
        // One frame at a time, so that the kernel never has to drop one.
        const uint64_t sent = s.sender.counters().datagramsSent;
        ASSERT_TRUE(waitUntil([&] { return s.stats().datagrams_read == sent; }));
    }
    ASSERT_TRUE(waitUntil([&] { return s.recorder.frames == 10; }));
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("data type 7 is invalid"), std::string::npos);
    EXPECT_NE(printed.find("frameFlag is 9 ,unsupported"), std::string::npos);

    const tarn_stream_stats stats = s.stats();
    EXPECT_EQ(stats.kernel_drops, 0u);
    EXPECT_EQ(stats.datagrams_rejected, 1u);
    EXPECT_EQ(stats.invalid_magic, 1u);
    EXPECT_EQ(stats.invalid_pixel_type, 1u);
    EXPECT_EQ(stats.invalid_frame_flag, 1u);
    EXPECT_EQ(stats.invalid_short, 1u);
    EXPECT_EQ(stats.frames_completed, 10u);
    EXPECT_EQ(stats.frames_merged, 1u);
    EXPECT_EQ(stats.frames_lost_last, 1u);
    EXPECT_EQ(stats.frames_incomplete, 6u);
    EXPECT_GE(stats.receive_buffer_bytes, 1u);

    // Frames as decoded: {datagrams, cells written, merged}. A datagram of 10-byte pixels holds
    // 140 cells; frame 3 never arrives, since its last datagram was lost.
    struct Expected {
        uint32_t datagrams;
        uint32_t cells;
        uint8_t merged;
    };
    const std::vector<Expected> expected{{450, 54000, 0}, {449, 53860, 0}, {898, 54000, 1},
                                         {451, 54000, 0}, {449, 53860, 0}, {449, 53860, 0},
                                         {449, 53860, 0}, {449, 53860, 0}, {449, 53860, 0},
                                         {450, 54000, 0}};
    const std::vector<tarn_frame_info> infos = s.recorder.snapshot();
    ASSERT_EQ(infos.size(), expected.size());
    for (std::size_t i = 0; i < infos.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(infos[i].sequence, i + 1);
        EXPECT_EQ(infos[i].datagrams, expected[i].datagrams);
        EXPECT_EQ(infos[i].cells_written, expected[i].cells);
        EXPECT_EQ(infos[i].complete, expected[i].cells == TARN_CELLS ? 1 : 0);
        EXPECT_EQ(infos[i].merged, expected[i].merged);
        EXPECT_EQ(infos[i].pixel_type, sim::kPixelType10Bytes);
        EXPECT_GT(infos[i].receive_monotonic_ns, 0);
    }
    EXPECT_EQ(infos[2].first_timestamp, 1u);  // the merged frame starts with frame 1's datagrams
    EXPECT_EQ(infos[2].last_timestamp, 2u);
}

TEST(WaitFrame, ReturnsEachFrameOnceAndRespectsItsTimeout) {
    SensorAndStream s;
    ASSERT_EQ(s.open(), TARN_OK);
    std::vector<tarn_point> grid(TARN_CELLS);
    tarn_frame_info info{};
    EXPECT_EQ(tarn_stream_wait_frame(s.stream, 0, grid.data(), &info), TARN_ERR_TIMEOUT);
    EXPECT_EQ(tarn_stream_get_frame(s.stream, grid.data(), &info), TARN_ERR_NO_FRAME);

    s.sender.sendFrame(scene(), 7, {sim::kPixelType10Bytes, 0, 7});
    ASSERT_EQ(tarn_stream_wait_frame(s.stream, 5000, grid.data(), &info), TARN_OK);
    EXPECT_EQ(info.sequence, 1u);
    EXPECT_EQ(grid[0].timestamp, 7u);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(tarn_stream_wait_frame(s.stream, 50, grid.data(), &info), TARN_ERR_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(50));

    s.sender.sendFrame(scene(), 8, {sim::kPixelType10Bytes, 0, 8});
    ASSERT_EQ(tarn_stream_wait_frame(s.stream, 5000, nullptr, &info), TARN_OK);
    EXPECT_EQ(info.sequence, 2u);

    // A waiter without a limit is released by the close.
    std::atomic<int> waited{1};
    tarn_stream* const waitedOn = s.stream;
    std::thread waiter([&] { waited = tarn_stream_wait_frame(waitedOn, -1, nullptr, nullptr); });
    ASSERT_EQ(tarn_stream_close(s.stream), TARN_OK);
    s.stream = nullptr;
    waiter.join();
    EXPECT_TRUE(waited == TARN_ERR_NOT_CONNECTED || waited == TARN_ERR_INVALID_HANDLE);
}

TEST(Decoder, DecodesASimulatedStreamBitForBitAsTheLiveStream) {
    SensorAndStream s;
    ASSERT_EQ(s.open(), TARN_OK);
    tarn_decoder* decoder = nullptr;
    ASSERT_EQ(tarn_decoder_open(&decoder), TARN_OK);
    std::vector<tarn_point> live(TARN_CELLS);
    std::vector<tarn_point> offline(TARN_CELLS);
    tarn_frame_info liveInfo{};
    tarn_frame_info offlineInfo{};
    // A pixel type change between frames, and a frame with a datagram missing, so that cells of
    // the earlier frames show through in both.
    const uint8_t types[] = {sim::kPixelType10Bytes, sim::kPixelType4Bytes, sim::kPixelType8Bytes};
    for (uint64_t frame = 0; frame < 3; ++frame) {
        std::vector<sim::Datagram> datagrams = sim::encodeFrame(scene(), frame, {types[frame], 5, frame});
        if (frame == 2) {
            datagrams.erase(datagrams.begin() + 3);
        }
        s.sender.sendFrame(datagrams);
        ASSERT_EQ(tarn_stream_wait_frame(s.stream, 5000, live.data(), &liveInfo), TARN_OK);
        int result = TARN_DATAGRAM_TAKEN;
        for (const sim::Datagram& datagram : datagrams) {
            result = tarn_decoder_push(decoder, datagram.data(), datagram.size(), 0, 0);
        }
        ASSERT_EQ(result, TARN_FRAME_READY);
        ASSERT_EQ(tarn_decoder_frame(decoder, offline.data(), &offlineInfo), TARN_OK);
        EXPECT_EQ(std::memcmp(live.data(), offline.data(), sizeof(tarn_point) * TARN_CELLS), 0);
        EXPECT_EQ(liveInfo.cells_written, offlineInfo.cells_written);
        EXPECT_EQ(liveInfo.pixel_type, types[frame]);
        EXPECT_EQ(offlineInfo.sequence, frame + 1);
    }
    const sim::Datagram imu = stream::test::imuDatagram(5000000999);
    ASSERT_EQ(tarn_decoder_push(decoder, imu.data(), imu.size(), 0, 0), TARN_IMU_READY);
    tarn_imu_sample sample{};
    ASSERT_EQ(tarn_decoder_imu(decoder, &sample), TARN_OK);
    EXPECT_EQ(uint64_t{sample.timestamp}, 5000u);
    EXPECT_EQ(tarn_decoder_frame(decoder, nullptr, nullptr), TARN_ERR_NO_FRAME);
    EXPECT_EQ(tarn_decoder_push(decoder, imu.data(), 0, 0, 0), TARN_ERR_DATAGRAM_LENGTH);
    EXPECT_EQ(tarn_decoder_close(decoder), TARN_OK);
    EXPECT_EQ(tarn_decoder_close(decoder), TARN_ERR_INVALID_HANDLE);
}

TEST(OpenArguments, EachRefusalHasItsOwnCode) {
    SensorAndStream s;
    const struct {
        const char* what;
        void (*spoil)(tarn_stream_config&);
        int code;
    } cases[] = {
        {"local address", [](tarn_stream_config& c) { c.local_address = "127.0.0.01"; },
         TARN_ERR_LOCAL_ADDRESS},
        {"local port", [](tarn_stream_config& c) { c.local_port = 65536; }, TARN_ERR_LOCAL_PORT},
        {"no device", [](tarn_stream_config& c) { c.device_address = nullptr; },
         TARN_ERR_DEVICE_ADDRESS},
        {"device address", [](tarn_stream_config& c) { c.device_address = "not an ip"; },
         TARN_ERR_DEVICE_ADDRESS},
        {"device port", [](tarn_stream_config& c) { c.device_port = 0; }, TARN_ERR_DEVICE_PORT},
        {"alternate port", [](tarn_stream_config& c) { c.alternate_port = -1; },
         TARN_ERR_ALTERNATE_PORT},
        {"buffer", [](tarn_stream_config& c) { c.receive_buffer_bytes = -1; },
         TARN_ERR_RECEIVE_BUFFER},
        {"bind", [](tarn_stream_config& c) { c.local_address = "192.0.2.1"; }, TARN_ERR_BIND},
    };
    for (const auto& c : cases) {
        tarn_stream_config config = s.config();
        c.spoil(config);
        tarn_stream* stream = nullptr;
        EXPECT_EQ(tarn_stream_open(&config, &stream), c.code) << c.what;
        EXPECT_EQ(stream, nullptr) << c.what;
        EXPECT_STRNE(tarn_strerror(c.code), "unknown result code");
    }
    tarn_stream* stream = nullptr;
    EXPECT_EQ(tarn_stream_open(nullptr, &stream), TARN_ERR_NULL_ARGUMENT);
    EXPECT_EQ(tarn_stream_close(tarn_stream_default()), TARN_ERR_DEFAULT_STREAM);
    EXPECT_EQ(tarn_stream_close(nullptr), TARN_ERR_INVALID_HANDLE);
}

// Closing from every place a user may close: inside the stream's own frame callback, and from
// several application threads at once while frames arrive.
struct ClosingRecorder {
    tarn_stream* stream = nullptr;
    std::atomic<int> closeResult{1};
    std::atomic<int> framesAfterClose{0};
};

void closeInsideCallback(const tarn_point*, const tarn_frame_info*, void* user) {
    auto* self = static_cast<ClosingRecorder*>(user);
    if (self->closeResult != 1) {
        self->framesAfterClose.fetch_add(1);
        return;
    }
    self->closeResult = tarn_stream_close(self->stream);
}

TEST(Close, InsideItsOwnCallbackAndFromManyThreads) {
    SensorAndStream s;
    ClosingRecorder closing;
    tarn_stream_config config = s.config();
    config.on_frame = closeInsideCallback;
    config.frame_user = &closing;
    ASSERT_EQ(tarn_stream_open(&config, &closing.stream), TARN_OK);
    sendFrames(s.sender, 3, sim::kPixelType4Bytes, 0);
    ASSERT_TRUE(waitUntil([&] { return closing.closeResult != 1; }));
    EXPECT_EQ(closing.closeResult.load(), TARN_OK);
    EXPECT_EQ(tarn_stream_close(closing.stream), TARN_ERR_INVALID_HANDLE);

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < 5; ++round) {
                tarn_stream_config own = s.config();
                own.local_port = 0;
                tarn_stream* stream = nullptr;
                ASSERT_EQ(tarn_stream_open(&own, &stream), TARN_OK);
                tarn_stream_stats stats{};
                EXPECT_EQ(tarn_stream_get_stats(stream, &stats), TARN_OK);
                EXPECT_EQ(tarn_stream_close(stream), TARN_OK);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

struct LogLines {
    std::mutex mutex;
    std::vector<std::pair<tarn_stream*, std::string>> lines;
};

void keepLine(tarn_stream* stream, const char* line, void* user) {
    auto* self = static_cast<LogLines*>(user);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->lines.emplace_back(stream, line);
}

struct TapCount {
    std::atomic<int> datagrams{0};
    std::atomic<uint32_t> sourcePort{0};
};

void countTapped(const uint8_t*, size_t, const tarn_datagram_meta* meta, void* user) {
    auto* self = static_cast<TapCount*>(user);
    self->datagrams.fetch_add(1);
    self->sourcePort = meta->source_port;
}

TEST(Observers, TapSeesAcceptedDatagramsAndTheLogHandlerGetsLinesWithTheirStream) {
    SensorAndStream s;
    TapCount tap;
    LogLines log;
    tarn_stream_config config = s.config();
    config.on_datagram = countTapped;
    config.datagram_user = &tap;
    ASSERT_EQ(tarn_stream_open(&config, &s.stream), TARN_OK);
    tarn_set_log_handler(keepLine, &log);

    s.sender.addFault({sim::FaultKind::kCorruptByte, 0, 1, sim::kOffsetVersionMinor, 3});
    s.sender.addFault({sim::FaultKind::kForeignPort, 0, 2, 0, 0});
    s.sender.sendFrame(scene(), 0, {sim::kPixelType4Bytes, 0, 0});
    const int accepted = sim::datagramsPerFrame(sim::kPixelType4Bytes) - 1;
    EXPECT_TRUE(waitUntil([&] { return tap.datagrams == accepted && s.stats().frames_decoded == 1; }));
    EXPECT_EQ(tap.sourcePort.load(), s.sender.sourcePort());

    // A receive buffer too small for two frames is reported once, at open, with the way out.
    tarn_stream_config small = s.config();
    small.local_port = 0;
    small.receive_buffer_bytes = 4096;
    tarn_stream* smallStream = nullptr;
    ASSERT_EQ(tarn_stream_open(&small, &smallStream), TARN_OK);
    tarn_stream_stats stats{};
    ASSERT_EQ(tarn_stream_get_stats(smallStream, &stats), TARN_OK);
    EXPECT_LT(stats.receive_buffer_bytes, 100000u);
    tarn_set_log_handler(nullptr, nullptr);
    ASSERT_EQ(tarn_stream_close(smallStream), TARN_OK);

    ASSERT_EQ(log.lines.size(), 2u);
    EXPECT_EQ(log.lines[0].first, s.stream);
    EXPECT_EQ(log.lines[0].second, "version_minor is 3 ,unsupported");
    EXPECT_EQ(log.lines[1].first, smallStream);
    EXPECT_EQ(log.lines[1].second.rfind("receive buffer: the kernel granted ", 0), 0u);
    EXPECT_NE(log.lines[1].second.find("net.core.rmem_max"), std::string::npos);
}

}  // namespace
}  // namespace tarn::api::test
