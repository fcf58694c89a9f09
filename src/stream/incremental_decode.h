// The decode of a frame while it arrives: the assembler writes each datagram's cells into the
// decode grid as it gathers it, so that when the frame's last datagram comes only that datagram's
// cells remain to be written. Datagrams are written in arrival order, one strip after the other,
// so a cell that two datagrams share ends with the later one's pixel, as a whole-frame decode
// (decodeFrame) writes it.
#ifndef TARN_STREAM_INCREMENTAL_DECODE_H
#define TARN_STREAM_INCREMENTAL_DECODE_H

#include <cstddef>
#include <cstdint>

#include "KESOApi.h"
#include "stream/cell_coverage.h"
#include "stream/frame_assembly.h"
#include "stream/frame_strips.h"
#include "tarn/tarn.h"

namespace tarn::stream {

class IncrementalDecode {
  public:
    // True when datagrams of the working frame are in the grid.
    bool writing() const { return written_ != 0; }
    // Writes the datagrams of the working frame that are not in the grid yet, in arrival order.
    // A working frame begun anew since the last call (a first datagram, a discard) must be
    // undone or forgotten first.
    void catchUp(const WorkingFrame& frame, Grid grid);
    // True when the working frame is no longer the one whose datagrams were written.
    bool outdatedBy(const WorkingFrame& frame) const {
        return written_ != 0 && frame.starts != starts_;
    }
    // What a whole-frame decode of the frame would return, once every one of its datagrams is
    // written; its sequence is left 0.
    tarn_frame_info info(const QueuedFrame& frame) const;
    // The grid rows the written datagrams touched, one bit a row.
    template <typename Visit>
    void forEachTouchedRow(Visit visit) const {
        for (std::size_t row = 0; row < KESO_ROWS; ++row) {
            if (coverage_.rowTouched(row)) {
                visit(row);
            }
        }
    }
    // Starts over with nothing written.
    void reset();

  private:
    std::size_t written_ = 0;  // datagrams of the working frame in the grid
    uint64_t starts_ = 0;      // the working frame's starts when they were written
    // Where the next datagram to write is: a run (the earlier ones, then the current one) and a
    // byte offset in it.
    std::size_t run_ = 0;
    std::size_t offset_ = 0;
    bool first_ = true;
    tarn_frame_info info_{};
    CellCoverage coverage_;
};

}  // namespace tarn::stream

#endif  // TARN_STREAM_INCREMENTAL_DECODE_H
