// One sensor stream: owns and wires its receiver, assembler, decoder and publication, the queues
// between them, its counters and its workers, and starts and stops them together. The default
// stream, which the KESO functions drive, works on the process-wide objects of stream_state.h;
// every other stream owns its own.
#ifndef TARN_STREAM_ENGINE_H
#define TARN_STREAM_ENGINE_H

#include <atomic>
#include <memory>

#include "stream/assembler.h"
#include "stream/counters.h"
#include "stream/datagram_queue.h"
#include "stream/decoder.h"
#include "stream/delivery_gate.h"
#include "stream/frame_queue.h"
#include "stream/publication.h"
#include "stream/receiver.h"
#include "stream/source_filter.h"
#include "stream/stream_storage.h"
#include "stream/workers.h"
#include "tarn/tarn.h"

namespace tarn::stream {

// The callbacks of a handle stream, fixed while it runs.
struct StreamCallbacks {
    tarn_frame_callback frame = nullptr;
    void* frameUser = nullptr;
    tarn_imu_callback imu = nullptr;
    void* imuUser = nullptr;
    tarn_datagram_callback datagram = nullptr;
    void* datagramUser = nullptr;
};

class Engine {
  public:
    // A stream on these objects, which must remain live while it is in use.
    explicit Engine(const StreamStorage& storage);
    // A stream that owns its objects. Throws std::bad_alloc.
    Engine();
    // Closes the stream's socket.
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // The handle the application knows the stream by, which its messages name (see
    // tarn_set_log_handler). Set once, before the stream first runs.
    tarn_stream* logStream() const { return logStream_; }
    void setLogStream(tarn_stream* handle) { logStream_ = handle; }
    const StreamStorage& storage() const { return storage_; }
    bool running() const { return storage_.running.load(); }

    // ---- Lifecycle: one application thread at a time ----
    // Drops what an earlier connection left: queued datagrams and frames, pending wake-ups; resets
    // the counters and the frame sequence. Only while no worker runs.
    void discardLeftovers();
    // Only while no worker runs.
    void setCallbacks(const StreamCallbacks& callbacks);
    // Marks the stream running and starts its three workers, each holding `self`. When a worker
    // cannot start, the stream is stopped again and the error is rethrown.
    void start(const std::shared_ptr<Engine>& self, const SourceFilter& filter);
    // Marks the stream stopped, withdraws the published frame and wakes every worker and waiter.
    // From then on no callback of the stream starts, and each worker returns after the callback
    // in hand, whatever is still queued. Any thread.
    void stop();
    // Returns once no callback of the stream runs; after stop(), on an application thread.
    void waitForCallbacks() { gate_.waitUntilIdle(); }

    // ---- Its parts (each says which thread may call what) ----
    StreamCounters& counters() { return counters_; }
    WorkerSet& workers() { return workers_; }
    Receiver& receiver() { return receiver_; }
    Assembler& assembler() { return assembler_; }
    Decoder& decoder() { return decoder_; }
    Publication& publication() { return publication_; }
    DatagramQueue& datagrams() { return datagrams_; }
    FrameQueue& frames() { return frames_; }

  private:
    struct OwnedStorage;
    explicit Engine(std::unique_ptr<OwnedStorage> owned);
    void startWorker(const std::shared_ptr<Engine>& self, WorkerRole role,
                     void (*body)(Engine&, const SourceFilter&), const SourceFilter& filter);

    std::unique_ptr<OwnedStorage> owned_;  // null for the default stream
    tarn_stream* logStream_ = nullptr;     // written only before the first start
    const StreamStorage storage_;
    StreamCounters counters_;              // each counter says its writing thread
    WorkerSet workers_;                    // any thread
    DeliveryGate gate_{storage_.running};  // every callback of the stream passes it
    // Receiver thread to assembler thread.
    DatagramQueue datagrams_{storage_.datagramQueue};
    // Assembler thread to decoder thread, with the decode grid's hand-over.
    FrameQueue frames_{storage_.frameQueue, counters_.framesQueueFull};
    // Written by the decoder thread and the application (KESOSetFrame); read by any thread.
    Publication publication_{storage_};
    // Run by the receiver, assembler and decoder threads; configured only while they do not run.
    Receiver receiver_{storage_, datagrams_, counters_, gate_, logStream_};
    Assembler assembler_{storage_,  datagrams_, receiver_.ring(), frames_, publication_,
                         counters_, gate_,      logStream_};
    Decoder decoder_{storage_, frames_, publication_, counters_, gate_, logStream_};
};

// The default stream. Created on first use and never destroyed; its workers hold it through
// defaultStreamShared().
Engine& defaultStream();
const std::shared_ptr<Engine>& defaultStreamShared();

// The default stream's handle, tarn_stream_default(). Handles are numbers that name a stream,
// never addresses (see api/stream_registry.h); this one is the first.
tarn_stream* defaultStreamHandle();

// The default stream's queues and ring (packgedDataQueue, originDataQueue, m_big_buffer), made on
// first use and never destroyed.
PackgedDataQueue& defaultFrameQueue();
OriginDataQueue& defaultDatagramQueue();
OriginDataPack* defaultRing();

}  // namespace tarn::stream

#endif  // TARN_STREAM_ENGINE_H
