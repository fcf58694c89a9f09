// The datagram queue of a stream, receiver to assembler: pointers to the ring slots that hold
// accepted datagrams, in arrival order, with the counts that tell the receiver which slots are
// still in use, and the wake-up the assembler sleeps on.
#ifndef TARN_STREAM_DATAGRAM_QUEUE_H
#define TARN_STREAM_DATAGRAM_QUEUE_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include <readerwriterqueue/atomicops.h>
#include <readerwriterqueue/readerwriterqueue.h>

#include "stream/ring_slot.h"

// Slot pointers a datagram queue holds (originDataQueue for the default stream): more than the
// ring's slots, so that the ring, not the queue, is what fills up.
constexpr std::size_t kOriginQueueCapacity = 4480;
// Elements in each block of the queues' storage.
constexpr std::size_t kQueueBlockSize = 512;

using OriginDataQueue = moodycamel::ReaderWriterQueue<OriginDataPack*, kQueueBlockSize>;

namespace tarn::stream {

// The receiver wakes the assembler at the latest after this many queued datagrams.
constexpr uint64_t kDatagramsBeforeWake = 64;

// Single producer (the receiver), single consumer (the assembler).
class DatagramQueue {
  public:
    // queue must remain live while this is in use.
    explicit DatagramQueue(OriginDataQueue& queue) : queue_(queue) {}

    // ---- Receiver side ----
    // Queues a slot; false when the queue is full. wakeAssembler false leaves the wake-up to the
    // caller (a batch wakes once).
    bool push(OriginDataPack* slot, bool wakeAssembler = true) {
        if (!queue_.try_enqueue(slot)) {
            return false;
        }
        pushed_.fetch_add(1, std::memory_order_relaxed);
        if (wakeAssembler) {
            ready_.signal();
        }
        return true;
    }
    // Pointers pushed and not yet taken. The taken count is read with acquire: a slot taken
    // before is no longer read by the assembler.
    uint64_t queued() const {
        const uint64_t taken = taken_.load(std::memory_order_acquire);
        return pushed_.load(std::memory_order_relaxed) - taken;
    }

    // ---- Any thread ----
    void wakeAssembler() { ready_.signal(); }

    // ---- Assembler side ----
    // Takes the oldest pointer; false when none is queued. Taking a pointer hands the slot taken
    // before back to the receiver. The wake-ups are left to waitForDatagrams.
    bool takeNext(OriginDataPack*& slot) {
        if (!queue_.try_dequeue(slot)) {
            return false;
        }
        taken_.fetch_add(1, std::memory_order_release);
        return true;
    }
    // The same, also consuming one wake-up (the KESO queue function's way).
    bool take(OriginDataPack** slot) {
        if (!queue_.try_dequeue(*slot)) {
            return false;
        }
        ready_.tryWait();
        taken_.fetch_add(1, std::memory_order_release);
        return true;
    }
    // Sleeps until woken or for at most timeoutUs; true when woken.
    bool waitForDatagrams(int64_t timeoutUs) { return ready_.wait(timeoutUs); }
    // Discards the pointers queued at the moment of the call.
    void clear();
    // Discards what an earlier connection left: queued pointers and pending wake-ups. Only while
    // neither the receiver nor the assembler runs.
    void discardLeftovers();

  private:
    OriginDataQueue& queue_;
    // Pointers ever pushed (receiver) and taken (assembler); never reset, so that the difference
    // stays right across connections.
    std::atomic<uint64_t> pushed_{0};
    std::atomic<uint64_t> taken_{0};
    moodycamel::spsc_sema::LightweightSemaphore ready_;
};

}  // namespace tarn::stream

#endif  // TARN_STREAM_DATAGRAM_QUEUE_H
