// The objects a stream works on. The default stream, which the KESO functions drive, works on the
// process-wide objects of stream_state.h; every other stream owns its own.
#ifndef TARN_STREAM_STREAM_STORAGE_H
#define TARN_STREAM_STREAM_STORAGE_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "KESOApi.h"
#include "stream/datagram_queue.h"
#include "stream/frame_queue.h"
#include "stream/ring_slot.h"

namespace tarn::stream {

using Grid = KESOPointData (*)[KESO_COLUMNS];

// A frame grid on the heap.
using GridStorage = std::unique_ptr<KESOPointData[][KESO_COLUMNS]>;

// Each names the process-wide object that the default stream's member is (see stream_state.h for
// which thread uses it how).
struct StreamStorage {
    std::atomic<int>& socket;                           // sockfd
    std::atomic<bool>& running;                         // linkDeviceFlag
    OriginDataQueue& datagramQueue;                     // originDataQueue
    PackgedDataQueue& frameQueue;                       // packgedDataQueue
    OriginDataPack* ring;                               // m_big_buffer
    uint64_t& ringIndex;                                // m_big_buffer_index
    std::atomic<int32_t>& pixelBytes;                   // m_one_pixel_len
    Grid decodeGrid;                                    // frame_
    Grid publishedGrid;                                 // realTimeData_
    std::atomic<bool>& published;                       // realTimeDataFlag_
    std::mutex& publishedMutex;                         // realTimeDataMutex_
    std::atomic<KESOFrameCallback>& kesoFrameCallback;  // frameUpdateFunc
    std::atomic<KESOImuCallback>& kesoImuCallback;      // imuUpdateFunc
};

}  // namespace tarn::stream

#endif  // TARN_STREAM_STREAM_STORAGE_H
