// The receiver: moves the device's datagrams from the UDP socket into the receive ring and
// queues the slots' pointers for the assembler.
#ifndef TARN_STREAM_RECEIVER_H
#define TARN_STREAM_RECEIVER_H

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "stream/stream_state.h"

// The receiver's thread body; returns once linkDeviceFlag is false. Accepts datagrams whose
// source address prints exactly as deviceIp and whose source port is devicePort or 6301.
void threadReceiveData(std::string deviceIp, unsigned short devicePort);

// Queues a slot pointer for the assembler; false when the queue is full. Receiver side only.
bool PushOringinDataPack(OriginDataPack* pack);

// Takes the oldest queued slot pointer into *pack; false when none is queued. Assembler side
// only. Taking a pointer also hands the previously taken slot back to the receiver.
bool FrontOringinDataPack(OriginDataPack** pack);

// Discards the pointers queued at the moment of the call. Assembler side only: never while an
// assembler runs. Always true.
bool ClearOringinDataQueue();

namespace tarn::stream {

// The sensor's second data source port, accepted besides the connection's device port.
constexpr uint16_t kAlternateDevicePort = 6301;

// The assembler holds at most one slot besides the queued ones (the one it took last), so with
// this many pointers queued every ring slot is in use and the ring counts as full.
constexpr uint64_t kRingFullQueuedPointers = kRingSlots - 1;

// True when a datagram from `source` belongs to the connection's device.
bool isDeviceSource(const sockaddr_in& source, const std::string& deviceIp, uint16_t devicePort);

// Copies one accepted datagram (1 to kMaxDatagramBytes bytes) into the next ring slot and queues
// the slot. False when the datagram is dropped because the ring is full; the index then stays.
// Receiver thread only.
bool storeDatagram(const uint8_t* bytes, std::size_t length);

// Pointers pushed and not yet taken, as seen from the receiver (never fewer than there are).
uint64_t queuedDatagramPointers();

}  // namespace tarn::stream

#endif  // TARN_STREAM_RECEIVER_H
