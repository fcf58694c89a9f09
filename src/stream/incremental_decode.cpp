#include "stream/incremental_decode.h"

#include "format/datagram_format.h"
#include "stream/frame_decode.h"
#include "stream/frame_strips.h"

namespace tarn::stream {

void IncrementalDecode::catchUp(const WorkingFrame& frame, Grid grid) {
    if (frame.count <= written_) {
        return;
    }
    starts_ = frame.starts;
    // The assembler gathers point datagrams with whole headers only, so every datagram here is
    // one that a whole-frame decode takes too.
    const auto write = [&](const uint8_t* datagram, std::size_t length) {
        if (length < kPointHeaderBytes) {
            return;
        }
        const PointHeader header = readPointHeader(datagram);
        FrameStrips::Strip strip;
        if (FrameStrips::stripOf(header, datagram, length, strip)) {
            FrameStrips::writeStrip(strip, grid);
            coverage_.add(datagram, length);
        }
        describeDatagram(datagram, length, first_, info_);
        first_ = false;
    };
    // Within one frame the earlier runs stay as they are and only the current run grows.
    for (; run_ < frame.earlier.size(); ++run_, offset_ = 0) {
        frame.earlier[run_]->forEachFrom(offset_, write);
    }
    if (frame.current != nullptr) {
        offset_ = frame.current->forEachFrom(offset_, write);
    }
    written_ = frame.count;
}

tarn_frame_info IncrementalDecode::info(const QueuedFrame& frame) const {
    tarn_frame_info info = info_;
    describeFrame(frame, coverage_.count(), info);
    return info;
}

void IncrementalDecode::reset() {
    written_ = 0;
    run_ = 0;
    offset_ = 0;
    first_ = true;
    info_ = tarn_frame_info{};
    coverage_.clear();
}

}  // namespace tarn::stream
