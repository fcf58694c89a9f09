// The KESO data path's functions that work on the default stream's objects by name (thread
// bodies, queue operations, the receive ring, publication and callback registration), and the
// default stream's forms of frame assembly and decoding on bare datagram lists. Each is a thin
// shim over the default Engine (engine.h).
#ifndef TARN_STREAM_KESO_SHIMS_H
#define TARN_STREAM_KESO_SHIMS_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include "KESOApi.h"
#include "stream/frame_assembly.h"
#include "stream/ring_slot.h"
#include "stream/stream_storage.h"

// ---- Thread bodies; each returns once linkDeviceFlag is false ----

// The receiver. Accepts datagrams whose source address prints exactly as deviceIp and whose
// source port is devicePort or 6301.
void threadReceiveData(std::string deviceIp, unsigned short devicePort);
// The assembler.
void threadDataPacking();
// The decoder, after finishing the frame in hand (decoded, published and handed to the frame
// callback).
void threadGetPointCloud();

// ---- The datagram queue (originDataQueue) ----

// Queues a slot pointer for the assembler; false when the queue is full. Receiver side only.
bool PushOringinDataPack(OriginDataPack* pack);
// Takes the oldest slot pointer queued for the assembler into *pack; false when none is queued.
// Assembler side only. Taking a pointer also hands the previously taken slot back to the
// receiver.
bool FrontOringinDataPack(OriginDataPack** pack);
// Discards the pointers queued at the moment of the call. Assembler side only: never while an
// assembler runs. Always true.
bool ClearOringinDataQueue();

// ---- The frame queue (packgedDataQueue) ----

// Queues a frame for the decoder; false when the frame queue is full (the frame is then lost).
// Assembler side only.
bool PushPackgedData(std::list<std::string> frame);
// Takes the oldest frame queued for the decoder; an empty list when none is queued. Decoder side
// only.
std::list<std::string> FrontPackgedData();

namespace tarn::stream {

// Stores one accepted datagram in the ring, arriving now; see Receiver::store. Receiver side only.
bool storeDatagram(const uint8_t* bytes, std::size_t length);
// Pointers pushed and not yet taken, as seen from the receiver.
uint64_t queuedDatagramPointers();

// KESOSetFrame: copies grid into realTimeData_; while connected also marks a grid as published.
// A null grid is ignored.
void publishFrame(KESOPointData (*grid)[KESO_COLUMNS]);
// KESOGetFrame: copies the published grid into grid: 0, or -1992 when nothing was published
// during the current connection (grid untouched) or when grid is null.
int copyPublishedFrame(KESOPointData (*grid)[KESO_COLUMNS]);
// The KESO callback registrations: store the callback unless connected (-1995); a null callback
// keeps the registered one.
int registerFrameCallback(KESOFrameCallback callback);
int registerImuCallback(KESOImuCallback callback);

// The workers of the default stream.
void waitForWorkersToReturn();
bool waitForWorkersToReturnFor(std::chrono::milliseconds limit);
int runningWorkers();

// assembleDatagram with the default stream's pixel size and messages, on a bare working list.
AssemblyResult assembleDatagram(const uint8_t* datagram, std::size_t length,
                                std::list<std::string>& workingList, KESOImuData* imuSample);
// decodeFrame of a bare list of datagrams, with the default stream's messages.
void decodeFrame(const std::list<std::string>& frame, Grid grid);

}  // namespace tarn::stream

#endif  // TARN_STREAM_KESO_SHIMS_H
