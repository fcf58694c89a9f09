// The set of grid cells that a frame's datagrams address, kept as one bit per cell, row by row.
// It tells how many distinct cells a frame wrote and whether two groups of datagrams share a cell.
#ifndef TARN_STREAM_CELL_COVERAGE_H
#define TARN_STREAM_CELL_COVERAGE_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "KESOApi.h"

namespace tarn::stream {

class CellCoverage {
  public:
    // Adds the cells of one point datagram (its own pixel type decides its point count).
    void add(const uint8_t* datagram, std::size_t length);
    // True when the datagram addresses a cell already added.
    bool overlaps(const uint8_t* datagram, std::size_t length) const;
    // Distinct cells added.
    uint32_t count() const;
    bool empty() const;
    // True when a cell of the row was added.
    bool rowTouched(std::size_t row) const {
        for (std::size_t word = 0; word < kWordsPerRow; ++word) {
            if (bits_[row * kWordsPerRow + word] != 0) {
                return true;
            }
        }
        return false;
    }
    void clear() { bits_.fill(0); }

  private:
    static constexpr std::size_t kWordsPerRow = (KESO_COLUMNS + 63) / 64;
    std::array<uint64_t, KESO_ROWS * kWordsPerRow> bits_{};
};

}  // namespace tarn::stream

#endif  // TARN_STREAM_CELL_COVERAGE_H
