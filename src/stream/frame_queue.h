// The frame queue of a stream, assembler to decoder, bounded in frames and in bytes; and the
// hand-over of the decode grid between the two: the assembler may write the grid (a frame as it
// arrives) only while the decoder has finished every frame pushed to it.
#ifndef TARN_STREAM_FRAME_QUEUE_H
#define TARN_STREAM_FRAME_QUEUE_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include <readerwriterqueue/atomicops.h>
#include <readerwriterqueue/readerwriterqueue.h>

#include "KESOApi.h"
#include "stream/counters.h"
#include "stream/datagram_queue.h"
#include "stream/queued_frame.h"

// Frames a frame queue holds (packgedDataQueue for the default stream).
constexpr std::size_t kFrameQueueCapacity = 200;

using PackgedDataQueue = moodycamel::ReaderWriterQueue<tarn::stream::QueuedFrame, kQueueBlockSize>;

namespace tarn::stream {

// A queued datagram costs its bytes and about this much bookkeeping (string and list node).
constexpr std::size_t kQueuedDatagramOverheadBytes = 64;
// The largest frame a sensor sends: every cell in 10-byte pixels, in 450 datagrams.
constexpr std::size_t kLargestFrameDatagrams = 450;
constexpr std::size_t kLargestFrameBytes =
    std::size_t{KESO_ROWS} * KESO_COLUMNS * 10 +
    kLargestFrameDatagrams * (45 + kQueuedDatagramOverheadBytes);
// Queued frames together never hold more than 200 of the largest frames (about 118 MB).
constexpr std::size_t kMaxQueuedFrameBytes = 200 * kLargestFrameBytes;

// Single producer (the assembler), single consumer (the decoder).
class FrameQueue {
  public:
    // queue must remain live while this is in use; a full queue counts in *full.
    FrameQueue(PackgedDataQueue& queue, Counter& full) : queue_(queue), full_(full) {}

    // ---- Assembler side ----
    // Queues a frame and wakes the decoder; false (and counted) when the queue is full or would
    // hold more than kMaxQueuedFrameBytes.
    bool push(QueuedFrame frame);
    // True while the decoder has finished every frame pushed: the decode grid is the assembler's.
    bool decoderCaughtUp() const { return finished_.load(std::memory_order_acquire) == pushed_; }

    // ---- Any thread ----
    void wakeDecoder() { ready_.signal(); }

    // ---- Decoder side ----
    // Sleeps until a frame is pushed or woken, or for at most timeoutUs; true when woken.
    bool waitForFrame(int64_t timeoutUs) { return ready_.wait(timeoutUs); }
    // Takes the oldest frame for decoding, leaving the wake-ups to waitForFrame; false when none
    // is queued. The decoder calls finished() once it is done with the frame and the grid.
    bool takeToDecode(QueuedFrame& frame);
    void finished() { finished_.fetch_add(1, std::memory_order_release); }
    // Takes the oldest frame, consuming one wake-up, and finishes it at once (the KESO queue
    // function's way).
    bool take(QueuedFrame& frame);

    // Discards what an earlier connection left: queued frames and pending wake-ups. Only while
    // neither the assembler nor the decoder runs.
    void discardLeftovers();

  private:
    PackgedDataQueue& queue_;
    Counter& full_;                            // assembler thread
    std::atomic<std::size_t> queuedBytes_{0};  // both sides
    moodycamel::spsc_sema::LightweightSemaphore ready_;
    uint64_t pushed_ = 0;                // assembler thread
    std::atomic<uint64_t> finished_{0};  // decoder thread
};

}  // namespace tarn::stream

#endif  // TARN_STREAM_FRAME_QUEUE_H
