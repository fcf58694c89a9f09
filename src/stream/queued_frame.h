// A frame on its way from the assembler to the decoder.
#ifndef TARN_STREAM_QUEUED_FRAME_H
#define TARN_STREAM_QUEUED_FRAME_H

#include <cstddef>
#include <memory>
#include <vector>

#include "stream/datagram_run.h"
#include "stream/receive_time.h"
#include "tarn/tarn.h"

namespace tarn::stream {

// Its datagrams in arrival order, in one run or, for a frame merged with its predecessor, in
// several; and what the assembler knew of it.
struct QueuedFrame {
    std::vector<std::shared_ptr<const DatagramRun>> runs;
    bool merged = false;       // its first datagram was lost; it holds the previous frame's too
    bool redelivered = false;  // the previous frame again, completed by a duplicated last datagram
    ReceiveTime lastReceived;  // arrival of its last datagram
    std::size_t bytes = 0;     // what it holds, for the frame queue's byte bound
    // Already written into the decode grid while it arrived (see IncrementalDecode); its info
    // is then decodedInfo.
    bool decoded = false;
    tarn_frame_info decodedInfo{};

    std::size_t count() const {
        std::size_t datagrams = 0;
        for (const auto& run : runs) {
            datagrams += run->count();
        }
        return datagrams;
    }
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

#endif  // TARN_STREAM_QUEUED_FRAME_H
