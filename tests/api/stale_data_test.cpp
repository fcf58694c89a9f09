// A stream stopped while one of its callbacks is held, with more data queued behind it: once
// KESODisconnectDevice or tarn_stream_close has returned nothing of that stream reaches the
// application, and stopping and the next connect take about the held callback, not the queue.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "KESOApi.h"
#include "api/stream_registry.h"
#include "api_test_support.h"
#include "sim/datagram.h"
#include "stream/engine.h"

namespace tarn::api::test {
namespace {

using stream::test::waitUntil;
using Clock = std::chrono::steady_clock;

enum class Held { kImu, kFrame, kDatagram };
enum class Stop { kDisconnect, kClose };

// Generous beside the held callback's own time: the queue behind it would take many seconds.
constexpr auto kPromptLimit = std::chrono::seconds(3);

// The KESO callbacks carry no user pointer, so every callback reports here.
struct Probe {
    Held held = Held::kImu;
    std::shared_ptr<stream::Engine> engine;  // the stream whose callback is held
    std::atomic<int> calls{0};
    std::atomic<bool> stopReturned{false};  // the stopping call has returned
    std::atomic<int> lateReturns{0};        // calls still running when it returned

    // The first call holds until its stream is stopped, and a while longer unless the stopping
    // call returns meanwhile (it must not). Every call is counted.
    void call(Held kind) {
        if (kind != held || engine == nullptr) {
            return;
        }
        if (calls.fetch_add(1) == 0) {
            waitUntil([this] { return !engine->running(); }, std::chrono::seconds(10));
            waitUntil([this] { return stopReturned.load(); }, std::chrono::milliseconds(300));
        }
        if (stopReturned.load()) {
            lateReturns.fetch_add(1);
        }
    }
};
Probe probe;

void kesoImu(KESOImuData) { probe.call(Held::kImu); }
void kesoFrame(KESOPointData (*)[KESO_COLUMNS]) { probe.call(Held::kFrame); }
void onImu(const tarn_imu_sample*, void*) { probe.call(Held::kImu); }
void onFrame(const tarn_point*, const tarn_frame_info*, void*) { probe.call(Held::kFrame); }
void onDatagram(const uint8_t*, size_t, const tarn_datagram_meta*, void*) {
    probe.call(Held::kDatagram);
}

std::chrono::milliseconds since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

class StaleDataTest : public ::testing::TestWithParam<std::pair<Held, Stop>> {
  protected:
    void SetUp() override {
        ASSERT_EQ(KESODisconnectDevice(), 0);
        ASSERT_EQ(KESORegisterCallbackUpdateImu(kesoImu), 0);
        ASSERT_EQ(KESORegisterCallbackUpdateFrame(kesoFrame), 0);
        probe.held = GetParam().first;
        probe.calls = 0;
        probe.stopReturned = false;
        probe.lateReturns = 0;
    }
    void TearDown() override {
        KESODisconnectDevice();
        probe.engine = nullptr;
    }

    // Sends what the held callback is called for, and more of it.
    void send(sim::StreamSender& sender, int count) {
        for (int i = 0; i < count; ++i) {
            if (probe.held == Held::kFrame) {
                sender.sendFrame(scene(), static_cast<uint64_t>(i), {sim::kPixelType4Bytes, 1, 0});
            } else {
                sim::ImuFields fields;
                fields.timestamp = static_cast<uint64_t>(i) * 1000000;
                sender.sendImu(fields);
            }
        }
    }
};

TEST_P(StaleDataTest, NothingQueuedIsDeliveredOnceStoppedAndStoppingIsPrompt) {
    const Stop stop = GetParam().second;
    SensorAndStream s;  // its sensor feeds whichever stream is tested
    tarn_stream* tested = nullptr;
    if (stop == Stop::kDisconnect) {
        ASSERT_EQ(KESOConnectDevice(s.localPort, kLoopback, s.sender.sourcePort()), 0);
        tested = tarn_stream_default();
    } else {
        tarn_stream_config config = s.config();
        config.on_frame = onFrame;
        config.on_imu = onImu;
        config.on_datagram = onDatagram;
        ASSERT_EQ(tarn_stream_open(&config, &s.stream), TARN_OK);
        tested = s.stream;
    }
    probe.engine = findStream(tested);
    ASSERT_NE(probe.engine, nullptr);

    send(s.sender, 1);
    ASSERT_TRUE(waitUntil([] { return probe.calls.load() == 1; }));
    const int behind = probe.held == Held::kFrame ? 40 : 2000;
    send(s.sender, behind);
    if (probe.held != Held::kDatagram) {
        // Read and queued, or for frames assembled, behind the held callback.
        ASSERT_TRUE(waitUntil([&] {
            tarn_stream_stats stats{};
            tarn_stream_get_stats(tested, &stats);
            return probe.held == Held::kFrame ? stats.frames_completed >= 20u
                                              : stats.datagrams_read >= 1000u;
        }));
    }

    const Clock::time_point stopping = Clock::now();
    if (stop == Stop::kDisconnect) {
        ASSERT_EQ(KESODisconnectDevice(), 0);
    } else {
        ASSERT_EQ(tarn_stream_close(s.stream), TARN_OK);
        s.stream = nullptr;
    }
    probe.stopReturned = true;
    EXPECT_LT(since(stopping), kPromptLimit);
    EXPECT_EQ(probe.calls.load(), 1);

    // The next connection, to a sensor that sends nothing, starts at once and empty.
    sim::StreamSender silent({kLoopback, 0, kLoopback, 0});
    const uint16_t port = stream::test::freeUdpPort();
    const Clock::time_point connecting = Clock::now();
    ASSERT_EQ(KESOConnectDevice(port, kLoopback, silent.sourcePort()), 0);
    EXPECT_LT(since(connecting), kPromptLimit);
    ASSERT_EQ(KESODisconnectDevice(), 0);
    EXPECT_EQ(probe.calls.load(), 1);
    EXPECT_EQ(probe.lateReturns.load(), 0);
}

// A closed handle is refused by every call, also once a newer stream took the closed one's memory,
// and never closes or reads that newer stream.
TEST(StaleHandle, AClosedHandleNeverReachesANewerStream) {
    tarn_stream* closed = nullptr;
    for (int round = 0; round < 8; ++round) {
        SensorAndStream s;
        ASSERT_EQ(s.open(), TARN_OK);
        ASSERT_NE(s.stream, closed);
        if (closed != nullptr) {
            int port = 0;
            EXPECT_EQ(tarn_stream_local_port(closed, &port), TARN_ERR_INVALID_HANDLE);
            EXPECT_EQ(tarn_stream_close(closed), TARN_ERR_INVALID_HANDLE);
            EXPECT_EQ(tarn_stream_local_port(s.stream, &port), TARN_OK);
            EXPECT_EQ(port, s.localPort);
        }
        ASSERT_EQ(tarn_stream_close(s.stream), TARN_OK);
        closed = s.stream;
        s.stream = nullptr;
    }
}

std::string caseName(const ::testing::TestParamInfo<std::pair<Held, Stop>>& param) {
    static const char* const kKinds[] = {"Imu", "Frame", "Datagram"};
    return std::string(kKinds[static_cast<int>(param.param.first)]) +
           (param.param.second == Stop::kDisconnect ? "Disconnect" : "Close");
}

INSTANTIATE_TEST_SUITE_P(EachCallback, StaleDataTest,
                         ::testing::Values(std::make_pair(Held::kImu, Stop::kDisconnect),
                                           std::make_pair(Held::kFrame, Stop::kDisconnect),
                                           std::make_pair(Held::kImu, Stop::kClose),
                                           std::make_pair(Held::kFrame, Stop::kClose),
                                           std::make_pair(Held::kDatagram, Stop::kClose)),
                         caseName);

}  // namespace
}  // namespace tarn::api::test
