// Process-wide state of the measurement data path: the default stream's objects, by the names the
// KESO interface gives them. Defined in KESOApi.cpp; the default Engine works on them.
#ifndef TARN_STREAM_STREAM_STATE_H
#define TARN_STREAM_STREAM_STATE_H

#include <atomic>
#include <cstdint>
#include <mutex>

#include "KESOApi.h"
#include "stream/datagram_queue.h"
#include "stream/frame_queue.h"
#include "stream/ring_slot.h"

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

// Decode grid of the default stream. Written by its decoder thread, and by its assembler only
// while the decoder has finished every frame pushed to it (see stream/frame_queue.h); the frame
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
