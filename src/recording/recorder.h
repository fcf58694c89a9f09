// Records the datagrams of a stream into a capture file. The stream's receiver hands each datagram
// to take(), which copies it into a bounded queue and never waits; a thread of its own writes the
// queue to the file, so a slow disk costs counted drops, never received datagrams. The first write
// error stops the writing: the file keeps the whole records written before it, and every datagram
// after it is dropped and counted.
#ifndef TARN_RECORDING_RECORDER_H
#define TARN_RECORDING_RECORDER_H

#include <readerwriterqueue/readerwriterqueue.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "recording/packets.h"
#include "recording/pcap_writer.h"
#include "tarn/recording.h"
#include "tarn/tarn.h"

namespace tarn::recording {

class Recorder {
  public:
    // Creates the file; start() starts the writing thread. Throws WriteError.
    Recorder(const std::string& path, std::size_t queueCapacity);
    // Finishes as finish() does, dropping a write error.
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Throws std::system_error when the thread cannot start.
    void start();

    // One datagram with its source and arrival; never blocks. Call from one thread at a time
    // (the stream's receiver).
    void take(const uint8_t* datagram, std::size_t length, const tarn_datagram_meta& meta);

    // Safe to call from any thread while the others run.
    tarn_recording_writer_stats counts() const;
    // The first write error, or "". Any thread.
    std::string error() const;

    // Writes what is queued, stops the writing thread and closes the file. Call once nothing
    // calls take() any more. Returns false on a write error (read it with error()).
    bool finish(tarn_recording_writer_stats& counts);

  private:
    struct Slot {
        std::array<uint8_t, TARN_MAX_DATAGRAM_BYTES> bytes;
        uint16_t length;
        Route route;
        int64_t realtimeNs;
    };

    void run();
    void writeSlot(const Slot& slot);
    void setError(const std::string& error);
    void publish();

    PcapWriter writer_;
    moodycamel::BlockingReaderWriterQueue<Slot> queue_;
    std::atomic<uint64_t> taken_{0};    // written by the receiver
    std::atomic<uint64_t> refused_{0};  // written by the receiver: full queue, or failed
    std::atomic<uint64_t> lost_{0};     // written by the writing thread: queued when it failed
    std::atomic<uint64_t> written_{0};  // written by the writing thread
    std::atomic<uint64_t> bytes_{0};    // written by the writing thread
    std::atomic<bool> failed_{false};
    std::atomic<bool> stopping_{false};
    mutable std::mutex errorMutex_;
    std::string error_;            // guarded by errorMutex_; the first error only
    uint16_t identification_ = 0;  // writing thread only
    bool finished_ = false;        // finish() only
    std::thread thread_;
};

}  // namespace tarn::recording

#endif  // TARN_RECORDING_RECORDER_H
