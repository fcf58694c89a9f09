// The data path under hostile or broken input from the simulated sensor. Each test names what
// must hold; none of them may crash, hang or let a wrong datagram through.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "KESOApi.h"
#include "api_test_support.h"
#include "sim/frame_encoder.h"
#include "sim/scene.h"

namespace tarn::api::test {
namespace {

using stream::test::waitUntil;

// Every frame that completes is either decoded or counted as dropped at the frame queue, the
// sequence has no gap, and the callback saw exactly the decoded frames.
void expectFramesAccountedFor(SensorAndStream& s) {
    ASSERT_TRUE(waitUntil([&] {
        const tarn_stream_stats stats = s.stats();
        return stats.frames_completed == stats.frames_decoded + stats.frames_queue_full &&
               static_cast<uint64_t>(s.recorder.frames) == stats.frames_decoded;
    }));
    const std::vector<tarn_frame_info> infos = s.recorder.snapshot();
    for (std::size_t i = 0; i < infos.size(); ++i) {
        ASSERT_EQ(infos[i].sequence, i + 1);
        ASSERT_EQ(infos[i].complete != 0, infos[i].cells_written == TARN_CELLS);
    }
}

TEST(FaultInjection, LossDuplicatesAndReorderingOnlyCostFramesAndAreCounted) {
    SensorAndStream s;
    ASSERT_EQ(s.open(), TARN_OK);
    s.sender.setRandomFaults({0.3, 0.1, 0.1, 7});
    for (uint64_t frame = 0; frame < 20; ++frame) {
        s.sender.sendFrame(scene(), frame, {sim::kPixelType8Bytes, 0, frame});
        const uint64_t sent = s.sender.counters().datagramsSent;
        ASSERT_TRUE(waitUntil([&] { return s.stats().datagrams_read == sent; }));
    }
    expectFramesAccountedFor(s);
    const tarn_stream_stats stats = s.stats();
    EXPECT_EQ(stats.kernel_drops, 0u);
    // With 30% of datagrams lost, nearly every frame lacks cells.
    EXPECT_EQ(stats.frames_incomplete, stats.frames_decoded);
}

TEST(FaultInjection, AForeignFloodFromTwoSendersNeverGetsInAndTheRealStreamKeepsItsFrames) {
    SensorAndStream s;
    ASSERT_EQ(s.open(), TARN_OK);
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> foreignSent{0};
    std::vector<std::thread> flooders;
    for (const char* source : {"127.0.0.1", "127.0.0.2"}) {
        flooders.emplace_back([&, source] {
            sim::StreamSender flood({source, 0, kLoopback, s.localPort});
            const std::vector<sim::Datagram> frame =
                sim::encodeFrame(scene(), 0, {sim::kPixelType4Bytes, 66, 0});
            for (int round = 0; round < 200 && !stop; ++round) {
                flood.sendFrame(frame);
            }
            foreignSent += flood.counters().datagramsSent;
        });
    }
    sim::StreamPlan plan;
    plan.frames = 20;
    plan.fps = 50.0;
    plan.tag = 1;
    s.sender.stream(scene(), plan);
    stop = true;
    for (std::thread& flooder : flooders) {
        flooder.join();
    }
    // Every datagram that reached the socket was read or dropped by the kernel. The kernel's drop
    // count comes with the next datagram read, so a last one follows the flood; once the assembler
    // has taken that one too, every frame before it has been assembled.
    ASSERT_TRUE(s.sender.send(stream::test::imuDatagram(1000000)));
    const uint64_t arrived = foreignSent.load() + s.sender.counters().datagramsSent;
    ASSERT_TRUE(waitUntil([&] {
        const tarn_stream_stats stats = s.stats();
        return stats.datagrams_read + stats.kernel_drops == arrived && stats.imu_samples == 1;
    }));
    expectFramesAccountedFor(s);
    const tarn_stream_stats stats = s.stats();
    // Whatever the kernel dropped under the flood, nothing foreign was accepted.
    EXPECT_LE(stats.datagrams_rejected, foreignSent.load());
    EXPECT_GE(stats.datagrams_rejected + stats.kernel_drops, foreignSent.load());
    std::lock_guard<std::mutex> lock(s.recorder.mutex);
    for (uint64_t tag : s.recorder.tags) {
        EXPECT_EQ(tag, 1u);
    }
    // Every real frame arrives or is counted; a datagram dropped by the kernel or on a full ring
    // can hide one frame.
    EXPECT_GE(stats.frames_decoded + stats.frames_lost_last + stats.frames_queue_full +
                  stats.kernel_drops + stats.datagrams_queue_full,
              20u)
        << "decoded " << stats.frames_decoded << ", lost last " << stats.frames_lost_last
        << ", merged " << stats.frames_merged << ", kernel drops " << stats.kernel_drops;
}

TEST(FaultInjection, EveryDatagramLengthWithRandomContentIsReadAndNothingBreaks) {
    SensorAndStream s;
    ASSERT_EQ(s.open(), TARN_OK);
    std::mt19937 random(3);
    std::uniform_int_distribution<int> byte(0, 255);
    for (std::size_t length = 0; length <= TARN_MAX_DATAGRAM_BYTES; ++length) {
        sim::Datagram datagram(length);
        for (uint8_t& b : datagram) {
            b = static_cast<uint8_t>(byte(random));
        }
        // Valid magic and kind in every other datagram, so that the deeper checks are reached.
        if (length >= 4 && length % 2 == 0) {
            datagram[0] = 0x5A;
            datagram[1] = 0xA5;
            datagram[3] = length % 4 == 0 ? 1 : 4;
        }
        ASSERT_TRUE(s.sender.send(datagram));
        if (length % 128 == 0) {
            ASSERT_TRUE(waitUntil([&] { return s.stats().datagrams_read == length + 1; }));
        }
    }
    ASSERT_TRUE(waitUntil(
        [&] { return s.stats().datagrams_read == TARN_MAX_DATAGRAM_BYTES + 1; }));
    // The stream still works.
    s.sender.sendFrame(scene(), 0, {sim::kPixelType10Bytes, 0, 0});
    EXPECT_TRUE(waitUntil([&] {
        std::lock_guard<std::mutex> lock(s.recorder.mutex);
        return !s.recorder.infos.empty() && s.recorder.infos.back().complete == 1;
    }));
}

struct Blocking {
    std::atomic<bool> released{false};
    std::atomic<int> frames{0};
};

void blockFirstFrame(const tarn_point*, const tarn_frame_info*, void* user) {
    auto* self = static_cast<Blocking*>(user);
    if (self->frames.fetch_add(1) == 0) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!self->released && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
}

TEST(FaultInjection, AFrameCallbackThatBlocksForTwoSecondsLosesNothingUncounted) {
    SensorAndStream s;
    Blocking blocking;
    tarn_stream_config config = s.config();
    config.on_frame = blockFirstFrame;
    config.frame_user = &blocking;
    ASSERT_EQ(tarn_stream_open(&config, &s.stream), TARN_OK);
    sim::StreamPlan plan;
    plan.frames = 30;
    plan.fps = 30.0;
    s.sender.stream(scene(), plan);
    ASSERT_TRUE(waitUntil([&] { return blocking.frames == 30; }, std::chrono::seconds(10)));
    const tarn_stream_stats stats = s.stats();
    EXPECT_EQ(stats.frames_decoded, 30u);
    EXPECT_EQ(stats.frames_queue_full + stats.datagrams_queue_full + stats.kernel_drops, 0u);
}

TEST(FaultInjection, HundredReconnectsWhileDatagramsKeepArriving) {
    KESODisconnectDevice();
    const uint16_t localPort = stream::test::freeUdpPort();
    sim::StreamSender sender({kLoopback, 0, kLoopback, localPort});
    std::atomic<bool> stop{false};
    std::thread streaming([&] {
        sim::StreamPlan plan;
        plan.seconds = 60.0;
        plan.fps = 100.0;
        plan.spread = 0.0;
        plan.stop = &stop;
        sender.stream(scene(), plan);
    });
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(KESOConnectDevice(localPort, kLoopback, sender.sourcePort()), 0) << i;
        ASSERT_EQ(KESODisconnectDevice(), 0);
    }
    ASSERT_EQ(KESOConnectDevice(localPort, kLoopback, sender.sourcePort()), 0);
    tarn_frame_info info{};
    EXPECT_EQ(tarn_stream_wait_frame(tarn_stream_default(), 5000, nullptr, &info), TARN_OK);
    stop = true;
    streaming.join();
    KESODisconnectDevice();
}

}  // namespace
}  // namespace tarn::api::test
