// A stream's receive ring: kRingSlots slots the receiver reads datagrams into, the arrival time of
// the datagram in each, and the next slot to fill. The receiver writes a slot and then queues its
// pointer (see DatagramQueue); the assembler reads a slot only after it took that pointer, and the
// receiver refills it only once the assembler took the pointer after it.
#ifndef TARN_STREAM_RECEIVE_RING_H
#define TARN_STREAM_RECEIVE_RING_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "stream/receive_time.h"
#include "stream/ring_slot.h"

namespace tarn::stream {

class ReceiveRing {
  public:
    // slots (kRingSlots of them) and next must remain live while the ring is in use; the default
    // stream's are m_big_buffer and m_big_buffer_index. Throws std::bad_alloc.
    ReceiveRing(OriginDataPack* slots, uint64_t& next)
        : slots_(slots), next_(next), arrivals_(new ReceiveTime[kRingSlots]()) {}

    // ---- Receiver thread ----
    uint64_t next() const { return next_; }
    // Makes index (kRingSlots wraps to 0) the next slot to fill.
    void setNext(uint64_t index) { next_ = index >= kRingSlots ? 0 : index; }
    OriginDataPack* slot(uint64_t index) { return &slots_[index]; }
    void setArrival(uint64_t index, const ReceiveTime& arrived) { arrivals_[index] = arrived; }

    // ---- Assembler thread, for a slot whose pointer it took ----
    // When the datagram in the slot arrived; zero for a pointer outside the ring.
    ReceiveTime arrivalOf(const OriginDataPack* slot) const {
        const std::ptrdiff_t index = slot - slots_;
        return index >= 0 && index < kRingSlots ? arrivals_[index] : ReceiveTime{};
    }

  private:
    OriginDataPack* const slots_;
    uint64_t& next_;                           // receiver thread
    std::unique_ptr<ReceiveTime[]> arrivals_;  // one a slot, written with the slot
};

}  // namespace tarn::stream

#endif  // TARN_STREAM_RECEIVE_RING_H
