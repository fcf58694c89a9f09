// The receiver of a stream: moves the device's datagrams from the UDP socket straight into the
// receive ring and queues the slots' pointers for the assembler. It learns the frames' pace to
// sleep over the middle of a frame, notes whom it rejected, and hands each accepted datagram to
// the datagram callback.
#ifndef TARN_STREAM_RECEIVER_H
#define TARN_STREAM_RECEIVER_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "stream/arrival_pace.h"
#include "stream/counters.h"
#include "stream/datagram_queue.h"
#include "stream/delivery_gate.h"
#include "stream/receive_ring.h"
#include "stream/receive_time.h"
#include "stream/rejected_sources.h"
#include "stream/source_filter.h"
#include "stream/stream_storage.h"
#include "tarn/tarn.h"

namespace tarn::stream {

// The assembler holds at most one slot besides the queued ones (the one it took last), so with
// this many pointers queued every ring slot is in use and the ring counts as full.
constexpr uint64_t kRingFullQueuedPointers = kRingSlots - 1;

// A receiver reads at most this many datagrams in a row before it looks at its stop flag again.
constexpr std::size_t kDatagramsPerWake = 256;

// With the ring full, the receiver looks again after this long (or at once when stopped); the
// socket's receive buffer holds what arrives meanwhile.
constexpr int64_t kRingFullWaitNs = 200000;

class Receiver {
  public:
    // Works on storage's socket, stop flag, ring and ring index; queues into datagrams, counts in
    // counters and calls the datagram callback through gate. logStream is the stream's handle
    // as its messages name it. All must remain live while the receiver is in use.
    Receiver(const StreamStorage& storage, DatagramQueue& datagrams, StreamCounters& counters,
             DeliveryGate& gate, tarn_stream* const& logStream);
    ~Receiver();
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    // ---- While the receiver does not run (the connecting thread) ----
    void setCallback(tarn_datagram_callback callback, void* user);
    // Reads back the receive buffer the kernel granted the socket, counts it, and warns when it
    // holds fewer than two of the largest frames. Also turns on the kernel's drop counter and
    // arrival times.
    void setUpSocket(int socket);
    // Forgets the previous connection's rejected sources and pending wake-ups.
    void discardLeftovers();

    // ---- The receiver thread ----
    // Waits on the socket and drains it until the stop flag is cleared; in the middle of a frame
    // it sleeps instead, as long as the frames' pace allows (see ArrivalPace). wake() ends either
    // wait.
    void run(const SourceFilter& filter);
    // Copies an accepted datagram into the next ring slot and queues it; false when the ring or
    // the queue is full.
    bool store(const uint8_t* bytes, std::size_t length, const ReceiveTime& received);

    // ---- Any thread ----
    void wake();
    // The bound local port, which the datagram callback's meta names; 0 before the first
    // connection.
    int localPort() const { return localPort_.load(); }
    void setLocalPort(int port) { localPort_.store(port); }
    const RejectedSources& rejectedSources() const { return rejected_; }
    // The arrival times the assembler reads beside the slots it takes.
    const ReceiveRing& ring() const { return ring_; }

  private:
    struct Drained {
        std::size_t datagrams = 0;  // read from the socket
        bool emptied = false;       // the socket held no more
        bool ringFull = false;      // it was left holding more: the ring had no free slot
    };
    Drained drainSocket(int socket, const SourceFilter& filter);

    std::atomic<int>& socket_;          // written by the connecting thread, read here
    const std::atomic<bool>& running_;  // the stream's stop flag
    DatagramQueue& datagrams_;
    StreamCounters& counters_;  // the receiver's counters are written here only
    DeliveryGate& gate_;
    tarn_stream* const& logStream_;  // set before the first run
    // Written only while the receiver does not run.
    tarn_datagram_callback callback_ = nullptr;
    void* callbackUser_ = nullptr;
    std::atomic<int> localPort_{0};
    ReceiveRing ring_;           // slots written by the receiver thread
    RejectedSources rejected_;   // written by the receiver thread
    ArrivalPace pace_;           // receiver thread
    int64_t lastArrivalNs_ = 0;  // latest arrival handed out (monotonic); receiver thread
    uint64_t unannounced_ = 0;   // queued since the assembler was woken; receiver thread
    int wakeFd_ = -1;            // eventfd that ends the receiver's waits
};

}  // namespace tarn::stream

#endif  // TARN_STREAM_RECEIVER_H
