// One slot of a stream's receive ring: the receiver reads a datagram straight into it and queues
// its pointer for the assembler (see receive_ring.h).
#ifndef TARN_STREAM_RING_SLOT_H
#define TARN_STREAM_RING_SLOT_H

#include <cstddef>
#include <cstdint>

// Slots in a stream's receive ring (m_big_buffer for the default stream).
constexpr int kRingSlots = 4000;
// The largest datagram a slot holds: an Ethernet frame's UDP payload.
constexpr std::size_t kMaxDatagramBytes = 1472;

// One received datagram in a ring slot.
struct OriginDataPack {
    uint16_t len;                     // valid bytes in data, 1 to 1472
    uint8_t data[kMaxDatagramBytes];  // the datagram as received; bytes past len are stale
};
static_assert(sizeof(OriginDataPack) == 1474, "a ring slot is 1474 bytes");

#endif  // TARN_STREAM_RING_SLOT_H
