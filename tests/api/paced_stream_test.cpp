// A stream paced as the sensor sends it, its datagrams spread over half of each frame period, so
// that the receiver sleeps through the middle of each frame and reads what arrived meanwhile in
// one go.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/frame_encoder.h"
#include "tests/api/api_test_support.h"

namespace tarn::api::test {
namespace {

using stream::test::waitUntil;

struct Arrivals {
    std::atomic<std::size_t> count{0};
    std::mutex mutex;
    std::vector<int64_t> monotonicNs;
};

void countDatagram(const uint8_t*, size_t, const tarn_datagram_meta* meta, void* user) {
    auto* arrivals = static_cast<Arrivals*>(user);
    std::lock_guard<std::mutex> lock(arrivals->mutex);
    arrivals->monotonicNs.push_back(meta->receive_monotonic_ns);
    arrivals->count.fetch_add(1);
}

TEST(PacedStream, EveryFrameArrivesWholeAndClosingInTheMiddleOfAFrameReturns) {
    SensorAndStream s;
    Arrivals arrivals;
    std::atomic<std::size_t>& datagrams = arrivals.count;
    tarn_stream_config config = s.config();
    config.on_datagram = countDatagram;
    config.datagram_user = &arrivals;
    ASSERT_EQ(tarn_stream_open(&config, &s.stream), TARN_OK);

    sim::StreamPlan plan;
    plan.frames = 6;
    plan.fps = 20.0;
    s.sender.stream(scene(), plan);
    ASSERT_TRUE(waitUntil([&] { return s.recorder.frames.load() == 6; }));
    for (const tarn_frame_info& info : s.recorder.snapshot()) {
        EXPECT_EQ(info.complete, 1);
    }
    {
        // Each datagram carries its own arrival time, also those read in one go after a sleep:
        // times never go back, and hardly two are the same (the time a group was read would be
        // shared by the whole group).
        std::lock_guard<std::mutex> lock(arrivals.mutex);
        std::size_t repeated = 0;
        for (std::size_t i = 1; i < arrivals.monotonicNs.size(); ++i) {
            ASSERT_LE(arrivals.monotonicNs[i - 1], arrivals.monotonicNs[i]) << i;
            repeated += arrivals.monotonicNs[i - 1] == arrivals.monotonicNs[i] ? 1 : 0;
        }
        EXPECT_LT(repeated, arrivals.monotonicNs.size() / 20);
    }

    const std::size_t frameDatagrams =
        sim::encodeFrame(scene(), 0, {sim::kPixelType10Bytes, 0, 0}).size();
    const std::size_t middleOfThirdFrame = datagrams.load() + frameDatagrams * 5 / 2;
    std::atomic<bool> stop{false};
    plan.frames = 0;
    plan.seconds = 10.0;
    plan.firstFrame = 6;
    plan.stop = &stop;
    std::thread sensor([&] { s.sender.stream(scene(), plan); });
    EXPECT_TRUE(waitUntil([&] { return datagrams.load() >= middleOfThirdFrame; }));
    EXPECT_EQ(tarn_stream_close(s.stream), TARN_OK);
    s.stream = nullptr;
    stop = true;
    sensor.join();
}

}  // namespace
}  // namespace tarn::api::test
