// The counters of one stream. Each counter has one writing thread (named beside it), which adds
// with a relaxed load and store; any thread may read them.
#ifndef TARN_STREAM_COUNTERS_H
#define TARN_STREAM_COUNTERS_H

#include <atomic>
#include <cstdint>

#include "tarn/tarn.h"

namespace tarn::stream {

using Counter = std::atomic<uint64_t>;

// Adds to a counter that only the calling thread writes.
inline void bump(Counter& counter, uint64_t amount = 1) {
    counter.store(counter.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
}

struct StreamCounters {
    // Receiver thread.
    Counter datagramsRead{0};
    Counter datagramsRejected{0};
    Counter datagramsQueueFull{0};
    Counter kernelDrops{0};
    // Assembler thread.
    Counter invalidMagic{0};
    Counter invalidType{0};
    Counter invalidVersion{0};
    Counter invalidPixelType{0};
    Counter invalidFrameFlag{0};
    Counter invalidShort{0};
    Counter invalidImuFlag{0};
    Counter framesCompleted{0};
    Counter framesQueueFull{0};
    Counter framesLostLast{0};
    Counter framesMerged{0};
    Counter framesTooLong{0};
    Counter framesRedelivered{0};
    Counter imuSamples{0};
    // Decoder thread.
    Counter framesDecoded{0};
    Counter framesIncomplete{0};
    // Connecting thread, while no worker runs.
    Counter receiveBufferBytes{0};

    // Sets every counter to zero; only while no worker of the stream runs.
    void reset();
    tarn_stream_stats snapshot() const;
};

}  // namespace tarn::stream

#endif  // TARN_STREAM_COUNTERS_H
