// Writes an McapWriter's messages on a thread of its own, from a bounded queue, so that a slow
// disk never holds up the thread that records: messages that find the queue full are dropped and
// counted. One thread records (reserve, buffer, push); the writer thread owns the McapWriter until
// finish() has returned.
#ifndef TARN_MCAP_WRITER_THREAD_H
#define TARN_MCAP_WRITER_THREAD_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "mcap_writer.h"

namespace tarn::mcap {

class WriterThread {
  public:
    // Starts the thread. capacity: messages the queue holds, at least 1.
    WriterThread(McapWriter& writer, std::size_t capacity);
    ~WriterThread();  // finish()
    WriterThread(const WriterThread&) = delete;
    WriterThread& operator=(const WriterThread&) = delete;

    // True when the queue has room for count more messages; false counts them as dropped.
    bool reserve(std::size_t count);
    // An empty buffer to serialise a message into (a used one, when there is one).
    std::vector<uint8_t> buffer();
    // Queues a message that reserve() made room for.
    void push(uint16_t channel, uint64_t time, std::vector<uint8_t> bytes);
    // The first failed write's result, kOk until then. Any thread.
    WriteResult error() const { return error_.load(std::memory_order_acquire); }
    uint64_t dropped() const { return dropped_; }
    // Writes what is queued, then stops the thread.
    void finish();

  private:
    struct Message {
        uint16_t channel;
        uint64_t time;
        std::vector<uint8_t> bytes;
    };
    void run();

    McapWriter& writer_;
    const std::size_t capacity_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Message> queue_;                // guarded by mutex_
    std::vector<std::vector<uint8_t>> spare_;  // written messages' buffers; guarded by mutex_
    bool stopping_ = false;                    // guarded by mutex_
    std::atomic<WriteResult> error_{WriteResult::kOk};  // written by the writer thread
    uint64_t dropped_ = 0;                              // the recording thread's
    std::thread thread_;
};

}  // namespace tarn::mcap

#endif  // TARN_MCAP_WRITER_THREAD_H
