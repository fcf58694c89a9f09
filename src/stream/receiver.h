// The receiver: moves the device's datagrams from the UDP socket into the receive ring and
// queues the slots' pointers for the assembler.
#ifndef TARN_STREAM_RECEIVER_H
#define TARN_STREAM_RECEIVER_H

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "format/datagram_format.h"
#include "stream/arrival_pace.h"
#include "stream/stream_state.h"

// The default stream's receiver thread body; returns once linkDeviceFlag is false. Accepts
// datagrams whose source address prints exactly as deviceIp and whose source port is devicePort or
// 6301.
void threadReceiveData(std::string deviceIp, unsigned short devicePort);

// Queues a slot pointer for the default stream's assembler; false when the queue is full.
// Receiver side only.
bool PushOringinDataPack(OriginDataPack* pack);

// Takes the oldest slot pointer queued for the default stream's assembler into *pack; false when
// none is queued. Assembler side only. Taking a pointer also hands the previously taken slot back
// to the receiver.
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

// A receiver reads at most this many datagrams in a row before it looks at its stop flag again.
constexpr std::size_t kDatagramsPerWake = 256;

// True when a datagram from `source` belongs to the device at deviceIp (exact printed form).
bool isDeviceSource(const sockaddr_in& source, const std::string& deviceIp, uint16_t devicePort);

// Stores one accepted datagram in the default stream's ring; see Engine::storeDatagram.
bool storeDatagram(const uint8_t* bytes, std::size_t length);

// Pointers pushed and not yet taken in the default stream, as seen from the receiver.
uint64_t queuedDatagramPointers();

// The host clocks now.
ReceiveTime receiveTimeNow();

}  // namespace tarn::stream

#endif  // TARN_STREAM_RECEIVER_H
