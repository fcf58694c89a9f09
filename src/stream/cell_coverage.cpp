#include "stream/cell_coverage.h"

#include <algorithm>
#include <bitset>

#include "format/datagram_format.h"

namespace tarn::stream {

namespace {

// Calls visit(row, firstColumn, columns) for each row of the datagram's strip that lies in the
// grid, with the columns clipped to the grid.
template <typename Visit>
void forEachRowOfStrip(const uint8_t* bytes, std::size_t length, Visit visit) {
    const std::size_t points =
        length < kPointHeaderBytes ? 0
                                   : pixelCount(length, pixelBytesOfType(bytes[kPixelTypeOffset]));
    if (points == 0) {
        return;
    }
    const PointHeader header = readPointHeader(bytes);
    if (header.firstColumn >= KESO_COLUMNS) {
        return;
    }
    for (std::size_t first = 0; first < points; first += kStripColumns) {
        const std::size_t row = header.firstRow + first / kStripColumns;
        if (row >= KESO_ROWS) {
            return;
        }
        const std::size_t inRow = std::min<std::size_t>(kStripColumns, points - first);
        const std::size_t columns =
            std::min<std::size_t>(inRow, KESO_COLUMNS - header.firstColumn);
        visit(row, header.firstColumn, columns);
    }
}

// The bits of `columns` cells from `column` on, within the 64-cell word `word` of a row.
uint64_t maskInWord(std::size_t word, std::size_t column, std::size_t columns) {
    const std::size_t wordStart = word * 64;
    const std::size_t from = std::max(column, wordStart);
    const std::size_t to = std::min(column + columns, wordStart + 64);
    if (from >= to) {
        return 0;
    }
    const std::size_t width = to - from;
    const uint64_t ones = width == 64 ? ~uint64_t{0} : ((uint64_t{1} << width) - 1);
    return ones << (from - wordStart);
}

}  // namespace

void CellCoverage::add(const uint8_t* datagram, std::size_t length) {
    forEachRowOfStrip(datagram, length, [&](std::size_t row, std::size_t column, std::size_t columns) {
        for (std::size_t word = column / 64; word <= (column + columns - 1) / 64; ++word) {
            bits_[row * kWordsPerRow + word] |= maskInWord(word, column, columns);
        }
    });
}

bool CellCoverage::overlaps(const uint8_t* datagram, std::size_t length) const {
    bool shared = false;
    forEachRowOfStrip(datagram, length, [&](std::size_t row, std::size_t column, std::size_t columns) {
        for (std::size_t word = column / 64; word <= (column + columns - 1) / 64; ++word) {
            shared = shared ||
                     (bits_[row * kWordsPerRow + word] & maskInWord(word, column, columns)) != 0;
        }
    });
    return shared;
}

uint32_t CellCoverage::count() const {
    uint32_t cells = 0;
    for (const uint64_t word : bits_) {
        cells += static_cast<uint32_t>(std::bitset<64>(word).count());
    }
    return cells;
}

bool CellCoverage::empty() const {
    return std::all_of(bits_.begin(), bits_.end(), [](uint64_t word) { return word == 0; });
}

}  // namespace tarn::stream
