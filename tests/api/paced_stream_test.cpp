// A stream paced as the sensor sends it, its datagrams spread over half of each frame period, so
// that the receiver sleeps through the middle of each frame.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "sim/frame_encoder.h"
#include "tests/api/api_test_support.h"

namespace tarn::api::test {
namespace {

using stream::test::waitUntil;

void countDatagram(const uint8_t*, size_t, const tarn_datagram_meta*, void* user) {
    static_cast<std::atomic<std::size_t>*>(user)->fetch_add(1);
}

TEST(PacedStream, EveryFrameArrivesWholeAndClosingInTheMiddleOfAFrameReturns) {
    SensorAndStream s;
    std::atomic<std::size_t> datagrams{0};
    tarn_stream_config config = s.config();
    config.on_datagram = countDatagram;
    config.datagram_user = &datagrams;
    ASSERT_EQ(tarn_stream_open(&config, &s.stream), TARN_OK);

    sim::StreamPlan plan;
    plan.frames = 6;
    plan.fps = 20.0;
    s.sender.stream(scene(), plan);
    ASSERT_TRUE(waitUntil([&] { return s.recorder.frames.load() == 6; }));
    for (const tarn_frame_info& info : s.recorder.snapshot()) {
        EXPECT_EQ(info.complete, 1);
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
