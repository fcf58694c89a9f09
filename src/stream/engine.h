// One sensor stream: its socket, receive ring, queues, workers, decode and published grids,
// callbacks and counters. The default stream, which the KESO functions drive, works on the
// process-wide objects of stream_state.h; every other stream owns its own.
#ifndef TARN_STREAM_ENGINE_H
#define TARN_STREAM_ENGINE_H

#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include <readerwriterqueue/atomicops.h>

#include "KESOApi.h"
#include "stream/assembler.h"
#include "stream/counters.h"
#include "stream/delivery_gate.h"
#include "stream/incremental_decode.h"
#include "stream/receiver.h"
#include "stream/rejected_sources.h"
#include "stream/stream_state.h"
#include "stream/workers.h"
#include "tarn/tarn.h"

namespace tarn::stream {

using Grid = KESOPointData (*)[KESO_COLUMNS];

// The objects a stream works on.
struct StreamStorage {
    std::atomic<int>& socket;               // sockfd
    std::atomic<bool>& running;             // linkDeviceFlag
    OriginDataQueue& datagramQueue;         // originDataQueue
    PackgedDataQueue& frameQueue;           // packgedDataQueue
    OriginDataPack* ring;                   // m_big_buffer
    uint64_t& ringIndex;                    // m_big_buffer_index
    std::atomic<int32_t>& pixelBytes;       // m_one_pixel_len
    Grid decodeGrid;                        // frame_
    Grid publishedGrid;                     // realTimeData_
    std::atomic<bool>& published;           // realTimeDataFlag_
    std::mutex& publishedMutex;             // realTimeDataMutex_
    std::atomic<KESOFrameCallback>& kesoFrameCallback;  // frameUpdateFunc
    std::atomic<KESOImuCallback>& kesoImuCallback;      // imuUpdateFunc
};

// Which datagrams a stream accepts: those from one IPv4 address and one of two source ports.
struct SourceFilter {
    uint32_t address = 0;        // network byte order
    uint16_t port = 0;
    uint16_t alternatePort = 0;  // 0: none
    bool acceptsNothing = true;

    bool accepts(const sockaddr_in& source) const;
    // The filter for an address text: it accepts nothing unless the text is exactly the standard
    // printed form of an IPv4 address.
    static SourceFilter forAddressText(const char* address, uint16_t port, uint16_t alternatePort);
};

// The callbacks of a handle stream, fixed while it runs.
struct StreamCallbacks {
    tarn_frame_callback frame = nullptr;
    void* frameUser = nullptr;
    tarn_imu_callback imu = nullptr;
    void* imuUser = nullptr;
    tarn_datagram_callback datagram = nullptr;
    void* datagramUser = nullptr;
};

// A frame grid on the heap.
using GridStorage = std::unique_ptr<KESOPointData[][KESO_COLUMNS]>;

class Engine {
  public:
    struct OwnedStorage;

    explicit Engine(const StreamStorage& storage);
    // A stream that owns its storage. Throws std::bad_alloc.
    Engine();
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // The handle the application knows the stream by, which its messages name (see
    // tarn_set_log_handler). Set once, before the stream first runs.
    tarn_stream* logStream() const { return logStream_; }
    void setLogStream(tarn_stream* handle) { logStream_ = handle; }
    const StreamStorage& storage() const { return storage_; }
    StreamCounters& counters() { return counters_; }
    const RejectedSources& rejectedSources() const { return rejected_; }
    RunPool& runPool() { return *runPool_; }
    WorkerSet& workers() { return workers_; }
    bool running() const { return storage_.running.load(); }
    // The bound local port; 0 before the first connection.
    int localPort() const { return localPort_.load(); }
    void setLocalPort(int port) { localPort_.store(port); }

    // ---- Lifecycle: one application thread at a time ----
    // Drops what an earlier connection left: queued datagrams and frames, pending wake-ups; resets
    // the counters and the frame sequence. Only while no worker runs.
    void discardLeftovers();
    void setCallbacks(const StreamCallbacks& callbacks) { callbacks_ = callbacks; }
    // Marks the stream running and starts its three workers, each holding `self`. When a worker
    // cannot start, the stream is stopped again and the error is rethrown.
    void start(const std::shared_ptr<Engine>& self, const SourceFilter& filter);
    // Marks the stream stopped, withdraws the published frame and wakes every worker and waiter.
    // From then on no callback of the stream starts, and each worker returns after the callback
    // in hand, whatever is still queued.
    void stop();
    // Returns once no callback of the stream runs; after stop(), on an application thread.
    void waitForCallbacks() { gate_.waitUntilIdle(); }
    // Reads back the receive buffer the kernel granted the socket, counts it, and warns when it
    // holds fewer than two of the largest frames. Also turns on the kernel's drop counter.
    void setUpReceiveBuffer(int socket);

    // ---- Worker bodies ----
    void runReceiver(const SourceFilter& filter);
    void runAssembler();
    void runDecoder();
    // One step of the assembler: handles the oldest queued datagram, if any. False when none was
    // queued. Assembler side only.
    bool assembleQueued(WorkingFrame& frame);
    // One step of the decoder: decodes, publishes and hands out the oldest queued frame, if any.
    // False when none was queued. Decoder side only.
    bool decodeQueued();

    // ---- Datagram queue (receiver to assembler) ----
    // Queues a slot; wakeAssembler false leaves the wake-up to the caller (a batch signals once).
    bool pushDatagram(OriginDataPack* pack, bool wakeAssembler = true);
    bool takeDatagram(OriginDataPack** pack);
    void clearDatagrams();
    uint64_t queuedDatagramPointers() const;
    // Copies an accepted datagram into the next ring slot and queues it; false when the ring is
    // full. Receiver thread only.
    bool storeDatagram(const uint8_t* bytes, std::size_t length, const ReceiveTime& received);

    // ---- Frame queue (assembler to decoder) ----
    // False when the queue is full or would hold more than kMaxQueuedFrameBytes; counted.
    bool pushFrame(QueuedFrame frame);
    bool takeFrame(QueuedFrame& frame);

    // ---- Publication ----
    void publish(Grid grid, const tarn_frame_info* info);
    // KESOGetFrame: 0, or -1992 when nothing was published in the current connection.
    int copyPublished(Grid grid, tarn_frame_info* info);
    // tarn_stream_wait_frame's result codes.
    int waitPublished(int timeoutMs, Grid grid, tarn_frame_info* info);

  private:
    explicit Engine(std::unique_ptr<OwnedStorage> owned);
    void wakeWorkers();
    void startWorker(const std::shared_ptr<Engine>& self, WorkerRole role,
                     void (*body)(Engine&, const SourceFilter&), const SourceFilter& filter);
    void deliverImu(const KESOImuData& sample);
    // Writes what arrived of the working frame into the decode grid while the decoder has
    // nothing else to do with it, and undoes what was written of a frame that will not be
    // delivered. Assembler side only.
    void decodeArrived(const WorkingFrame& frame);
    void undoArrived();
    void queueCompleted(const WorkingFrame& frame, const ReceiveTime& lastReceived);
    void deliverFrame(const tarn_frame_info& info);
    struct Drained {
        std::size_t datagrams = 0;  // read from the socket
        bool emptied = false;       // the socket held no more
        bool ringFull = false;      // it was left holding more: the ring had no free slot
    };
    Drained drainSocket(int socket, const SourceFilter& filter);

    std::unique_ptr<OwnedStorage> owned_;  // null for the default stream
    tarn_stream* logStream_ = nullptr;
    StreamStorage storage_;
    StreamCallbacks callbacks_;  // written only while no worker runs
    StreamCounters counters_;
    RejectedSources rejected_;  // written by the receiver
    WorkerSet workers_;
    DeliveryGate gate_{storage_.running};

    std::shared_ptr<RunPool> runPool_ = std::make_shared<RunPool>();
    std::unique_ptr<ReceiveTime[]> slotTimes_;  // arrival of the datagram in each ring slot
    // Pointers ever pushed into and taken from the datagram queue; the taken count's release order
    // tells the receiver that the slot taken before is no longer read.
    std::atomic<uint64_t> pushedPointers_{0};
    std::atomic<uint64_t> takenPointers_{0};
    std::atomic<std::size_t> queuedFrameBytes_{0};
    moodycamel::spsc_sema::LightweightSemaphore datagramsReady_;
    moodycamel::spsc_sema::LightweightSemaphore framesReady_;
    std::atomic<int> localPort_{0};
    // Datagrams queued since the assembler was last woken. Receiver thread only.
    uint64_t unannounced_ = 0;
    // What the receiver learned of the pace of the frames; receiver thread only.
    ArrivalPace pace_;
    // The latest datagram arrival time handed out (monotonic); receiver thread only.
    int64_t lastArrivalNs_ = 0;
    int wakeFd_ = -1;  // eventfd that wakes the receiver out of its wait on the socket

    // The decode of the working frame as it arrives; assembler thread only. It writes the decode
    // grid only while every frame pushed to the decoder has been finished by it (the decoder
    // releases the grid with framesFinished_ and takes it back with the next frame pushed).
    IncrementalDecode arriving_;
    uint64_t framesPushed_ = 0;  // assembler side
    std::atomic<uint64_t> framesFinished_{0};  // decoder side
    // True while the published grid is the decode grid as the decoder last published it, so that
    // a frame that is written while it arrives and then lost can be undone from it. Written
    // under storage_.publishedMutex.
    std::atomic<bool> publishedIsDecoded_{true};

    // Decoder thread; reset while no worker runs.
    uint64_t sequence_ = 0;
    // Guarded by storage_.publishedMutex.
    tarn_frame_info publishedInfo_{};
    uint64_t publications_ = 0;
    uint64_t lastWaited_ = 0;
    std::condition_variable publishedChanged_;
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

// With the ring full, the receiver looks again after this long (or at once when stopped); the
// socket's receive buffer holds what arrives meanwhile.
constexpr int64_t kRingFullWaitNs = 200000;

// The receiver wakes the assembler at the latest after this many queued datagrams.
constexpr uint64_t kDatagramsBeforeWake = 64;

// The assembler begins to write a frame into the grid as it arrives only while no more than this
// many datagrams wait behind it: in a burst it gathers and the decoder decodes, each on its core.
constexpr uint64_t kMostBacklogForIncrementalDecode = 2 * kDatagramsBeforeWake;

// A worker that finds its queue empty sleeps at most this long before it looks at the stop flag
// again; stopping wakes it at once, so this only bounds the idle wake-ups.
constexpr int kIdleWakeMilliseconds = 1000;

// A queued datagram costs its bytes and about this much bookkeeping (string and list node).
constexpr std::size_t kQueuedDatagramOverheadBytes = 64;
// The largest frame a sensor sends: every cell in 10-byte pixels, in 450 datagrams.
constexpr std::size_t kLargestFrameDatagrams = 450;
constexpr std::size_t kLargestFrameBytes =
    std::size_t{KESO_ROWS} * KESO_COLUMNS * 10 + kLargestFrameDatagrams * (45 + kQueuedDatagramOverheadBytes);
// Queued frames together never hold more than 200 of the largest frames (about 118 MB).
constexpr std::size_t kMaxQueuedFrameBytes = 200 * kLargestFrameBytes;

}  // namespace tarn::stream

#endif  // TARN_STREAM_ENGINE_H
