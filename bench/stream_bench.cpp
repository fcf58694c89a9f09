// The measurement data path: per-frame assembly and decoding against copying the same bytes, and
// frames over loopback through the library against a bare UDP receive loop.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <limits>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KESOApi.h"
#include "bench/bare_receiver.h"
#include "bench/sender_process.h"
#include "sim/frame_encoder.h"
#include "sim/scene.h"
#include "stream/assembler.h"
#include "stream/decoder.h"
#include "stream/pixel_layouts.h"
#include "stream/stream_state.h"
#include "tarn/tarn.h"

namespace {

using Clock = std::chrono::steady_clock;
using Frame = std::vector<tarn::sim::Datagram>;
using Grid = std::unique_ptr<KESOPointData[][KESO_COLUMNS]>;

constexpr int64_t kGridPoints = static_cast<int64_t>(KESO_ROWS) * KESO_COLUMNS;
// Frames sent per iteration of a loopback benchmark, and iterations per run.
constexpr uint64_t kLoopbackFrames = 40;
constexpr int kLoopbackIterations = 3;
// A wait for datagrams or frames ends when nothing arrived for this long, or at the hard limit;
// the waiter looks at least every kPollInterval.
constexpr auto kQuietPeriod = std::chrono::milliseconds(300);
constexpr auto kWaitLimit = std::chrono::seconds(10);
constexpr auto kPollInterval = std::chrono::milliseconds(1);

Frame wallFrame(uint8_t pixelType) {
    const tarn::sim::Scene scene(tarn::sim::SceneConfig{});
    return tarn::sim::encodeFrame(scene, 0, {pixelType, 0, 0});
}

int64_t frameBytes(const Frame& frame) {
    int64_t bytes = 0;
    for (const auto& datagram : frame) {
        bytes += static_cast<int64_t>(datagram.size());
    }
    return bytes;
}

// Assembles a frame's datagrams the way a stream's assembler does, and returns the frame as the
// decoder receives it.
tarn::stream::QueuedFrame assembleFrame(const Frame& frame, tarn::stream::WorkingFrame& working) {
    static std::atomic<int32_t> pixelBytes{0};
    static const std::shared_ptr<tarn::stream::RunPool> pool =
        std::make_shared<tarn::stream::RunPool>();
    const tarn::stream::AssemblyContext context{pixelBytes, nullptr, nullptr, *pool};
    KESOImuData unused{};
    for (const auto& datagram : frame) {
        tarn::stream::assembleDatagram(datagram.data(), datagram.size(), working, &unused, context);
    }
    return tarn::stream::frameToQueue(working, {});
}

void setFrameCounters(benchmark::State& state, const Frame& frame) {
    const auto iterations = static_cast<int64_t>(state.iterations());
    state.SetBytesProcessed(iterations * frameBytes(frame));
    state.SetItemsProcessed(iterations * kGridPoints);
    state.counters["datagrams"] = static_cast<double>(frame.size());
    state.counters["frames"] =
        benchmark::Counter(static_cast<double>(iterations), benchmark::Counter::kIsRate);
}

// Baseline: the frame's datagram bytes copied once, as the receiver copies them into its ring.
void BM_StreamFrameMemcpy(benchmark::State& state) {
    const Frame frame = wallFrame(static_cast<uint8_t>(state.range(0)));
    std::vector<uint8_t> buffer(static_cast<std::size_t>(frameBytes(frame)));
    for (auto _ : state) {
        uint8_t* target = buffer.data();
        for (const auto& datagram : frame) {
            std::memcpy(target, datagram.data(), datagram.size());
            target += datagram.size();
        }
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    setFrameCounters(state, frame);
}

// Baseline: one decoded grid copied once, as publication copies it.
void BM_StreamGridMemcpy(benchmark::State& state) {
    Grid source = std::make_unique<KESOPointData[][KESO_COLUMNS]>(KESO_ROWS);
    Grid target = std::make_unique<KESOPointData[][KESO_COLUMNS]>(KESO_ROWS);
    for (auto _ : state) {
        std::memcpy(target.get(), source.get(), sizeof(KESOPointData) * kGridPoints);
        benchmark::DoNotOptimize(target.get());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(sizeof(KESOPointData)) * kGridPoints);
}

// Assembly of a whole frame and its hand-over to the decoder (the queued frame shares the
// assembler's buffer); the queued frame is released as the decoder releases it.
void BM_StreamAssemble(benchmark::State& state) {
    const Frame frame = wallFrame(static_cast<uint8_t>(state.range(0)));
    tarn::stream::WorkingFrame working;
    for (auto _ : state) {
        tarn::stream::QueuedFrame queued = assembleFrame(frame, working);
        benchmark::DoNotOptimize(queued.runs.data());
    }
    setFrameCounters(state, frame);
}

void BM_StreamDecode(benchmark::State& state) {
    const Frame frame = wallFrame(static_cast<uint8_t>(state.range(0)));
    tarn::stream::WorkingFrame working;
    const tarn::stream::QueuedFrame assembled = assembleFrame(frame, working);
    Grid grid = std::make_unique<KESOPointData[][KESO_COLUMNS]>(KESO_ROWS);
    for (auto _ : state) {
        tarn::stream::decodeFrame(assembled, grid.get(), nullptr);
        benchmark::ClobberMemory();
    }
    setFrameCounters(state, frame);
}

// The same decode on the baseline path (SSE2 on x86-64), for comparison in one run with
// BM_StreamDecode, which takes the fastest path the processor has.
void BM_StreamDecodeBaselinePath(benchmark::State& state) {
    tarn::stream::forceFourCellPath(tarn::stream::FourCellPath::kBaseline);
    BM_StreamDecode(state);
    tarn::stream::forceFourCellPath(tarn::stream::fastestFourCellPath());
}

void BM_StreamAssembleAndDecode(benchmark::State& state) {
    const Frame frame = wallFrame(static_cast<uint8_t>(state.range(0)));
    tarn::stream::WorkingFrame working;
    Grid grid = std::make_unique<KESOPointData[][KESO_COLUMNS]>(KESO_ROWS);
    for (auto _ : state) {
        tarn::stream::decodeFrame(assembleFrame(frame, working), grid.get(), nullptr);
        benchmark::ClobberMemory();
    }
    setFrameCounters(state, frame);
}

// At the sensor's rate other work runs between two frames and the grid is no longer cached when
// the next frame is decoded. These two run as the two above with the caches emptied first (by
// writing more than the last-level cache holds), outside the timed part.
constexpr std::size_t kCacheEvictionBytes = 64u << 20;
constexpr int64_t kColdIterations = 40;
constexpr std::size_t kCacheLineBytes = 64;

void evictCaches() {
    static std::vector<uint8_t> bytes(kCacheEvictionBytes);
    for (std::size_t i = 0; i < bytes.size(); i += kCacheLineBytes) {
        ++bytes[i];
    }
    benchmark::DoNotOptimize(bytes.data());
    benchmark::ClobberMemory();
}

void BM_StreamGridMemcpyCold(benchmark::State& state) {
    Grid source = std::make_unique<KESOPointData[][KESO_COLUMNS]>(KESO_ROWS);
    Grid target = std::make_unique<KESOPointData[][KESO_COLUMNS]>(KESO_ROWS);
    for (auto _ : state) {
        state.PauseTiming();
        evictCaches();
        state.ResumeTiming();
        std::memcpy(target.get(), source.get(), sizeof(KESOPointData) * kGridPoints);
        benchmark::DoNotOptimize(target.get());
        benchmark::ClobberMemory();
    }
}

void BM_StreamDecodeCold(benchmark::State& state) {
    const Frame frame = wallFrame(static_cast<uint8_t>(state.range(0)));
    tarn::stream::WorkingFrame working;
    const tarn::stream::QueuedFrame assembled = assembleFrame(frame, working);
    Grid grid = std::make_unique<KESOPointData[][KESO_COLUMNS]>(KESO_ROWS);
    for (auto _ : state) {
        state.PauseTiming();
        evictCaches();
        state.ResumeTiming();
        tarn::stream::decodeFrame(assembled, grid.get(), nullptr);
        benchmark::ClobberMemory();
    }
}

// Publication of a decoded grid and the application's copy of it, while connected (nothing is
// published outside a connection). No datagram arrives: the port has no sender.
void BM_KESOSetFrame(benchmark::State& state) {
    Grid grid = std::make_unique<KESOPointData[][KESO_COLUMNS]>(KESO_ROWS);
    if (KESOConnectDevice(tarn::bench::freeLocalPort(), "127.0.0.1",
                          tarn::bench::freeLocalPort()) != 0) {
        state.SkipWithError("KESOConnectDevice failed");
        return;
    }
    for (auto _ : state) {
        KESOSetFrame(grid.get());
        benchmark::ClobberMemory();
    }
    KESODisconnectDevice();
}

void BM_KESOGetFrame(benchmark::State& state) {
    Grid grid = std::make_unique<KESOPointData[][KESO_COLUMNS]>(KESO_ROWS);
    if (KESOConnectDevice(tarn::bench::freeLocalPort(), "127.0.0.1",
                          tarn::bench::freeLocalPort()) != 0) {
        state.SkipWithError("KESOConnectDevice failed");
        return;
    }
    KESOSetFrame(grid.get());
    for (auto _ : state) {
        if (KESOGetFrame(grid.get()) != 0) {
            state.SkipWithError("no frame published");
            break;
        }
        benchmark::ClobberMemory();
    }
    KESODisconnectDevice();
}

// Pixel types 0, 1 and 2: 4, 8 and 10 bytes a pixel.
BENCHMARK(BM_StreamFrameMemcpy)->DenseRange(0, 2);
BENCHMARK(BM_StreamGridMemcpy);
BENCHMARK(BM_StreamAssemble)->DenseRange(0, 2);
BENCHMARK(BM_StreamDecode)->DenseRange(0, 2);
BENCHMARK(BM_StreamDecodeBaselinePath)->DenseRange(0, 2);
BENCHMARK(BM_StreamAssembleAndDecode)->DenseRange(0, 2);
BENCHMARK(BM_StreamGridMemcpyCold)->Iterations(kColdIterations);
BENCHMARK(BM_StreamDecodeCold)->DenseRange(0, 2)->Iterations(kColdIterations);
BENCHMARK(BM_KESOSetFrame);
BENCHMARK(BM_KESOGetFrame);

// ---- Loopback ---------------------------------------------------------------------------------
// The simulated sensor sends from its own process (bench/loopback_sender.cpp), so this process
// spends its time on receiving only.

// How frames are sent: all back to back, or each only once the previous one has arrived.
enum SendMode { kBurst = 0, kLockstep = 1 };

int64_t nowNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// Arrivals counted by a receiving thread, with the time of the last one. The waiter is woken
// when the count reaches its target only, so counting costs the receiver next to nothing.
struct Arrivals {
    std::atomic<uint64_t> count{0};
    std::atomic<int64_t> lastNanoseconds{0};  // steady clock
    std::atomic<uint64_t> target{std::numeric_limits<uint64_t>::max()};
    std::mutex mutex;
    std::condition_variable reached;

    void record() {
        lastNanoseconds.store(nowNanoseconds());
        if (count.fetch_add(1) + 1 == target.load()) {
            std::lock_guard<std::mutex> lock(mutex);
            reached.notify_all();
        }
    }

    // Waits until count reaches wanted, nothing arrived for kQuietPeriod, or kWaitLimit passed.
    void waitFor(uint64_t wanted) {
        const auto limit = Clock::now() + kWaitLimit;
        std::unique_lock<std::mutex> lock(mutex);
        target.store(wanted);
        uint64_t seen = count.load();
        auto lastChange = Clock::now();
        while (seen < wanted && Clock::now() < limit) {
            reached.wait_until(lock, std::min(limit, Clock::now() + kPollInterval));
            const uint64_t now = count.load();
            if (now != seen) {
                seen = now;
                lastChange = Clock::now();
            } else if (Clock::now() - lastChange >= kQuietPeriod) {
                break;
            }
        }
        target.store(std::numeric_limits<uint64_t>::max());
    }
};

// Has the sender process send kLoopbackFrames frames per iteration and reports what `arrivals`
// counted, in units of `perFrame` arrivals per frame. Each iteration's time runs from its first
// command to its last arrival, so the quiet period that ends a lossy wait is not counted.
void runLoopback(benchmark::State& state, tarn::bench::SenderProcess& sender, Arrivals& arrivals,
                 uint64_t perFrame) {
    const auto mode = static_cast<SendMode>(state.range(0));
    const auto pixelType = std::to_string(state.range(1));
    const auto datagrams =
        static_cast<double>(tarn::sim::datagramsPerFrame(static_cast<uint8_t>(state.range(1))));
    uint64_t sentFrames = 0;
    uint64_t arrived = 0;
    double seconds = 0.0;
    long long first = 0;
    long long second = 0;
    bool senderAlive = true;
    for (auto _ : state) {
        const uint64_t before = arrivals.count.load();
        const int64_t start = nowNanoseconds();
        if (mode == kBurst) {
            sender.command("burst " + pixelType + " " + std::to_string(kLoopbackFrames));
            senderAlive = sender.reply(first, second);
        } else {
            for (uint64_t i = 0; i < kLoopbackFrames && senderAlive; ++i) {
                sender.command("frame " + pixelType);
                senderAlive = sender.reply(first, second);
                arrivals.waitFor(before + (i + 1) * perFrame);
            }
        }
        if (!senderAlive) {
            state.SkipWithError("the sender process stopped");
            break;
        }
        sentFrames += kLoopbackFrames;
        arrivals.waitFor(before + kLoopbackFrames * perFrame);
        const int64_t last = std::max(arrivals.lastNanoseconds.load(), start);
        const double iterationSeconds = static_cast<double>(last - start) / 1e9;
        state.SetIterationTime(std::max(iterationSeconds, 1e-9));
        seconds += iterationSeconds;
        arrived += arrivals.count.load() - before;
    }
    if (!senderAlive) {
        return;
    }
    const double arrivedFrames = static_cast<double>(arrived) / static_cast<double>(perFrame);
    const double sent = static_cast<double>(sentFrames);
    state.counters["frames_per_s"] = arrivedFrames / seconds;
    state.counters["datagrams_per_s"] = arrivedFrames * datagrams / seconds;
    state.counters["lost"] = sent - arrivedFrames;
}

// Frames delivered by the library's frame callback. Written by the decoder thread, which may
// still finish a frame after disconnecting, so it lives as long as the process.
Arrivals libraryFrames;
// Delivered frames in which some datagram's cells still hold an older frame. Decoder thread.
std::atomic<uint64_t> partialFrames{0};
// Rows per datagram of the frames being sent; set before connecting.
int sampleRowStep = 1;

// Looks at the first cell of every datagram's strip piece: a frame is whole when all carry the
// newest timestamp.
void countFrame(KESOPointData (*grid)[KESO_COLUMNS]) {
    uint64_t newest = 0;
    uint64_t oldest = std::numeric_limits<uint64_t>::max();
    for (int row = 0; row < KESO_ROWS; row += sampleRowStep) {
        for (int column = 0; column < KESO_COLUMNS; column += tarn::sim::kStripColumns) {
            newest = std::max(newest, grid[row][column].timestamp);
            oldest = std::min(oldest, grid[row][column].timestamp);
        }
    }
    partialFrames.fetch_add(newest == oldest ? 0 : 1);
    libraryFrames.record();
}

// Args: send mode, pixel type. Connects once per run; connect and disconnect are not timed.
void BM_StreamLoopbackLibrary(benchmark::State& state) {
    const auto pixelType = static_cast<uint8_t>(state.range(1));
    const uint16_t localPort = tarn::bench::freeLocalPort();
    tarn::bench::SenderProcess sender(localPort);
    const uint64_t framesBefore = libraryFrames.count.load();
    partialFrames.store(0);
    sampleRowStep = tarn::sim::rowsPerDatagram(pixelType);
    KESORegisterCallbackUpdateFrame(countFrame);
    if (KESOConnectDevice(localPort, "127.0.0.1", sender.sourcePort()) != 0) {
        state.SkipWithError("KESOConnectDevice failed");
        return;
    }
    runLoopback(state, sender, libraryFrames, 1);
    // Where the frames that never arrived went: dropped by the kernel on a full receive buffer, by
    // the library on a full ring or frame queue, or merged with the next frame.
    tarn_stream_stats stats{};
    tarn_stream_get_stats(tarn_stream_default(), &stats);
    KESODisconnectDevice();
    state.counters["kernel_drops"] = static_cast<double>(stats.kernel_drops);
    state.counters["ring_full"] = static_cast<double>(stats.datagrams_queue_full);
    state.counters["frame_queue_full"] = static_cast<double>(stats.frames_queue_full);
    state.counters["merged"] = static_cast<double>(stats.frames_merged + stats.frames_lost_last);
    const uint64_t delivered = libraryFrames.count.load() - framesBefore;
    state.counters["partial"] = static_cast<double>(partialFrames.load()) /
                                static_cast<double>(std::max<uint64_t>(delivered, 1));
}

// Baseline: a plain socket read with blocking recvmmsg and nothing else (BareReceiver).
void BM_StreamLoopbackRecvmmsg(benchmark::State& state) {
    Arrivals arrivals;
    tarn::bench::BareReceiver receiver([&arrivals] { arrivals.record(); });
    if (receiver.port() == 0) {
        state.SkipWithError("bind failed");
        return;
    }
    tarn::bench::SenderProcess sender(receiver.port());
    runLoopback(
        state, sender, arrivals,
        static_cast<uint64_t>(tarn::sim::datagramsPerFrame(static_cast<uint8_t>(state.range(1)))));
}

// Args: send mode (0 burst, 1 lockstep), pixel type.
BENCHMARK(BM_StreamLoopbackRecvmmsg)
    ->ArgsProduct({{kBurst, kLockstep}, {0, 1, 2}})
    ->Iterations(kLoopbackIterations)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StreamLoopbackLibrary)
    ->ArgsProduct({{kBurst, kLockstep}, {0, 1, 2}})
    ->Iterations(kLoopbackIterations)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
