// Records the datagrams of a stream into a capture file. The stream's receiver hands each datagram
// to take(), which copies it into a bounded queue and never waits; a thread of its own writes the
// queue to the file, so a slow disk costs counted drops, never received datagrams.
#ifndef TARN_TOOLS_TARN_CAPTURE_RECORDER_H
#define TARN_TOOLS_TARN_CAPTURE_RECORDER_H

#include <readerwriterqueue/readerwriterqueue.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "tarn/tarn.h"
#include "tools/tarn/capture/packets.h"
#include "tools/tarn/capture/pcap_writer.h"

namespace tarn::capture {

struct RecorderCounts {
    uint64_t taken = 0;    // handed to take()
    uint64_t dropped = 0;  // refused by the full queue
    uint64_t written = 0;  // in the file
};

class Recorder {
  public:
    // Creates the file and starts the writing thread. Throws std::runtime_error naming the path.
    Recorder(const std::string& path, std::size_t queueCapacity);
    // Finishes as finish() does, dropping a write error.
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // One datagram with its source and arrival; never blocks. Call from one thread at a time
    // (the stream's receiver).
    void take(const uint8_t* datagram, std::size_t length, const tarn_datagram_meta& meta);
    // take() as a datagram callback of the library; user is the Recorder.
    static void tap(const uint8_t* datagram, std::size_t length, const tarn_datagram_meta* meta,
                    void* user);

    // Safe to call from any thread while the others run.
    RecorderCounts counts() const;

    // Writes what is queued, stops the writing thread and closes the file. Call once nothing
    // calls take() any more. Throws std::runtime_error when the file could not be written.
    RecorderCounts finish();

  private:
    struct Slot {
        std::array<uint8_t, TARN_MAX_DATAGRAM_BYTES> bytes;
        uint16_t length;
        Route route;
        int64_t realtimeNs;
    };

    void write();
    void writeSlot(const Slot& slot);

    PcapWriter writer_;
    moodycamel::BlockingReaderWriterQueue<Slot> queue_;
    std::atomic<uint64_t> taken_{0};    // written by the receiver
    std::atomic<uint64_t> dropped_{0};  // written by the receiver
    std::atomic<uint64_t> written_{0};  // written by the writing thread
    std::atomic<bool> stopping_{false};
    std::string error_;            // the writing thread's failure, read after it returned
    uint16_t identification_ = 0;  // writing thread only
    bool finished_ = false;
    std::thread thread_;  // last, so it starts after everything it uses exists
};

}  // namespace tarn::capture

#endif  // TARN_TOOLS_TARN_CAPTURE_RECORDER_H
