// The assembler: validates each received datagram, gathers the point datagrams of a frame into
// a working list, queues whole frames for the decoder and delivers IMU samples.
#ifndef TARN_STREAM_ASSEMBLER_H
#define TARN_STREAM_ASSEMBLER_H

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include "KESOApi.h"

// The assembler's thread body; returns once linkDeviceFlag is false.
void threadDataPacking();

// Queues a frame for the decoder; false when the frame queue is full (the frame is then lost).
// Assembler side only.
bool PushPackgedData(std::list<std::string> frame);

// Takes the oldest queued frame; an empty list when none is queued. Decoder side only.
std::list<std::string> FrontPackgedData();

namespace tarn::stream {

// A working list never holds more datagrams than this; a stream without first datagrams would
// otherwise grow it without end.
constexpr std::size_t kMaxWorkingListDatagrams = 4000;

enum class AssemblyResult {
    kDropped,          // not a usable datagram; nothing changed but perhaps the pixel size
    kAppended,         // a first or middle point datagram, now in the working list
    kFrameCompleted,   // a last point datagram: the working list is a frame to queue
    kImuSample,        // an IMU datagram: the sample is ready for the IMU callback
    kWorkingListFull,  // the working list would have grown too long and was discarded
};

// Handles one received datagram of `length` bytes: checks its header, records the pixel size in
// m_one_pixel_len, and updates workingList; for an IMU datagram fills *imuSample instead. Prints
// the assembler's messages to standard output.
AssemblyResult assembleDatagram(const uint8_t* datagram, std::size_t length,
                                std::list<std::string>& workingList, KESOImuData* imuSample);

}  // namespace tarn::stream

#endif  // TARN_STREAM_ASSEMBLER_H
