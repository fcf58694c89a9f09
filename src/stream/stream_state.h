// Process-wide state of the measurement data path. Defined in KESOApi.cpp.
#ifndef TARN_STREAM_STREAM_STATE_H
#define TARN_STREAM_STREAM_STATE_H

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <vector>
#include <mutex>
#include <string>

#include <readerwriterqueue/readerwriterqueue.h>

#include "KESOApi.h"
#include "stream/datagram_run.h"
#include "tarn/tarn.h"

constexpr int kRingSlots = 4000;
constexpr std::size_t kMaxDatagramBytes = 1472;
constexpr std::size_t kOriginQueueCapacity = 4480;
constexpr std::size_t kFrameQueueCapacity = 200;
constexpr std::size_t kQueueBlockSize = 512;

// One received datagram in a ring slot.
struct OriginDataPack {
    uint16_t len;                     // valid bytes in data, 1 to 1472
    uint8_t data[kMaxDatagramBytes];  // the datagram as received; bytes past len are stale
};
static_assert(sizeof(OriginDataPack) == 1474, "a ring slot is 1474 bytes");

namespace tarn::stream {

// When the host received a datagram.
struct ReceiveTime {
    int64_t monotonicNs = 0;  // CLOCK_MONOTONIC
    int64_t realtimeNs = 0;   // CLOCK_REALTIME
};

// A frame on its way from the assembler to the decoder: its datagrams in arrival order, in one
// run or, for a frame merged with its predecessor, in several; and what the assembler knew of it.
struct QueuedFrame {
    std::vector<std::shared_ptr<const DatagramRun>> runs;
    bool merged = false;        // its first datagram was lost; it holds the previous frame's too
    bool redelivered = false;   // the previous frame again, completed by a duplicated last datagram
    ReceiveTime lastReceived;   // arrival of its last datagram
    std::size_t bytes = 0;      // what it holds, for the frame queue's byte bound
    // Already written into the decode grid while it arrived (see IncrementalDecode); its info
    // is then decodedInfo.
    bool decoded = false;
    tarn_frame_info decodedInfo{};

    std::size_t count() const;
    // Calls visit(bytes, length) for each datagram in order; stops early when visit returns false.
    template <typename Visit>
    void forEach(Visit visit) const {
        for (const auto& run : runs) {
            if (!run->forEach(visit)) {
                return;
            }
        }
    }
};

}  // namespace tarn::stream

using OriginDataQueue = moodycamel::ReaderWriterQueue<OriginDataPack*, kQueueBlockSize>;
using PackgedDataQueue = moodycamel::ReaderWriterQueue<tarn::stream::QueuedFrame, kQueueBlockSize>;

// Measurement UDP socket; -1 when there is none. Written by connect/disconnect on the
// application thread, read by the receiver on every receive (atomic, since the receiver of an
// ending connection may still read it while disconnect writes it).
extern std::atomic<int> sockfd;
// True while a connection is up: the only stop signal of the workers (seq_cst stores,
// plain loads).
extern std::atomic<bool> linkDeviceFlag;

// Frame queue, assembler -> decoder (single producer, single consumer).
extern PackgedDataQueue& packgedDataQueue;
// Datagram queue, receiver -> assembler (single producer, single consumer).
extern OriginDataQueue& originDataQueue;
// Receive ring of kRingSlots slots, allocated at load and never freed. Slots are written by
// the receiver and read by the assembler after it takes their pointer from originDataQueue. The
// receiver never refills a slot that is still queued or still held by the assembler (the ring
// counts as full with kRingSlots - 1 pointers queued; see stream/receiver.h).
extern OriginDataPack* m_big_buffer;
// Next ring slot to fill. Receiver thread only.
extern uint64_t m_big_buffer_index;
// Pixel size in bytes (4, 8 or 10), 0 until the first point datagram. Written by the
// assembler; the decoder reads each datagram's own pixel type instead (relaxed).
extern std::atomic<int32_t> m_one_pixel_len;

// Decode grid of the default stream. Written and read by its decoder thread only; the frame
// callback sees it between two frames.
extern KESOPointData frame_[KESO_ROWS][KESO_COLUMNS];
// Published grid and its flag, guarded by realTimeDataMutex_ (the flag is also cleared
// without the mutex by KESODisconnectDevice).
extern KESOPointData realTimeData_[KESO_ROWS][KESO_COLUMNS];
extern std::atomic<bool> realTimeDataFlag_;
extern std::mutex realTimeDataMutex_;

// Application callbacks. Written by the registration functions only while no connection is
// up; read by the decoder and the assembler.
extern std::atomic<KESOFrameCallback> frameUpdateFunc;
extern std::atomic<KESOImuCallback> imuUpdateFunc;

#endif  // TARN_STREAM_STREAM_STATE_H
