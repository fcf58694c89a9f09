#include "stream/frame_strips.h"

#include <algorithm>
#include <cstring>

#include "stream/cell_coverage.h"
#include "stream/pixel_layouts.h"

namespace tarn::stream {

namespace {

constexpr std::size_t kStrip = kStripColumns;
constexpr std::size_t kColumnWords = (KESO_COLUMNS + 63) / 64;
constexpr uint8_t kMixedPixelTypes = 0xFF;

// Cells of strip row `stripRow` that lie inside the grid.
std::size_t columnsOfRow(const FrameStrips::Strip& strip, std::size_t stripRow) {
    const std::size_t inRow = std::min<std::size_t>(kStrip, strip.points - stripRow * kStrip);
    return std::min<std::size_t>(inRow, KESO_COLUMNS - strip.firstColumn);
}

template <typename Pixel>
void writeRowOf(const FrameStrips::Strip& strip, std::size_t stripRow, KESOPointData* rowCells) {
    writeStripRow<Pixel>(strip.pixels + stripRow * kStrip * Pixel::kBytes,
                         columnsOfRow(strip, stripRow), strip.firstRow + stripRow,
                         strip.firstColumn, strip.timestamp, strip.tag, rowCells);
}

// A whole strip: its rows with a pixel in every strip column in one go, then a partial last row.
template <typename Pixel>
void writeStripOf(const FrameStrips::Strip& strip, Grid grid) {
    writeStripRows<Pixel>(strip.pixels, strip.fullRows, strip.fullWidth, strip.firstRow,
                          strip.firstColumn, strip.timestamp, strip.tag, grid[strip.firstRow]);
    if (strip.rows > strip.fullRows) {
        writeRowOf<Pixel>(strip, strip.fullRows, grid[strip.firstRow + strip.fullRows]);
    }
}

FrameStrips::RowWriter rowWriterOf(uint8_t pixelType) {
    switch (pixelType) {
        case kDistancePixelType:
            return &writeRowOf<DistancePixel>;
        case kXyzPixelType:
            return &writeRowOf<XyzPixel>;
        case kDistanceXyzPixelType:
            return &writeRowOf<DistanceXyzPixel>;
        default:
            return nullptr;
    }
}

// Sets the bits of columns [first, first + count) in a row's column set; false when one was set.
bool claimColumns(uint64_t (&columns)[kColumnWords], std::size_t first, std::size_t count) {
    bool free = true;
    for (std::size_t column = first; column < first + count; ++column) {
        const uint64_t bit = uint64_t{1} << (column % 64);
        free = free && (columns[column / 64] & bit) == 0;
        columns[column / 64] |= bit;
    }
    return free;
}

}  // namespace

FrameStrips::FrameStrips(std::size_t datagrams) {
    strips_.reserve(datagrams);
}

bool FrameStrips::stripOf(const PointHeader& header, const uint8_t* datagram, std::size_t length,
                          Strip& strip) {
    const RowWriter writeRow = rowWriterOf(header.pixelType);
    const std::size_t points = pixelCount(length, pixelBytesOfType(header.pixelType));
    if (writeRow == nullptr || points == 0 || header.firstRow >= KESO_ROWS ||
        header.firstColumn >= KESO_COLUMNS) {
        return false;
    }
    const std::size_t stripRows = (points + kStrip - 1) / kStrip;
    strip = Strip{};
    strip.datagram = datagram;
    strip.pixels = datagram + kPointHeaderBytes;
    strip.writeRow = writeRow;
    strip.timestamp = header.timestamp;
    strip.points = static_cast<uint32_t>(points);
    strip.length = static_cast<uint16_t>(length);
    strip.firstRow = header.firstRow;
    strip.firstColumn = header.firstColumn;
    strip.rows = static_cast<uint16_t>(std::min<std::size_t>(stripRows, KESO_ROWS - header.firstRow));
    strip.fullRows = static_cast<uint16_t>(std::min<std::size_t>(points / kStrip, strip.rows));
    strip.fullWidth =
        static_cast<uint8_t>(std::min<std::size_t>(kStrip, KESO_COLUMNS - header.firstColumn));
    strip.pixelType = header.pixelType;
    strip.tag = header.tag;
    return true;
}

void FrameStrips::writeStrip(const Strip& strip, Grid grid) {
    switch (strip.pixelType) {
        case kDistancePixelType:
            writeStripOf<DistancePixel>(strip, grid);
            return;
        case kXyzPixelType:
            writeStripOf<XyzPixel>(strip, grid);
            return;
        case kDistanceXyzPixelType:
            writeStripOf<DistanceXyzPixel>(strip, grid);
            return;
        default:  // stripOf makes strips of these layouts only
            return;
    }
}

void FrameStrips::add(const PointHeader& header, const uint8_t* datagram, std::size_t length) {
    Strip strip;
    if (stripOf(header, datagram, length, strip)) {
        strips_.push_back(strip);
    }
}

// Groups the strips into bands by first row (a counting sort that keeps arrival order within a
// band) and tells whether the bands' rows are disjoint.
bool FrameStrips::bandsAreDisjoint() {
    std::fill(std::begin(bandStart_), std::end(bandStart_), 0u);
    std::fill(std::begin(bandRows_), std::end(bandRows_), uint16_t{0});
    for (const Strip& strip : strips_) {
        const std::size_t first = strip.firstRow;
        bandPixelType_[first] = bandRows_[first] == 0 || bandPixelType_[first] == strip.pixelType
                                    ? strip.pixelType
                                    : kMixedPixelTypes;
        ++bandStart_[first + 1];
        bandRows_[first] = std::max(bandRows_[first], strip.rows);
    }
    std::size_t coveredUntil = 0;
    for (std::size_t row = 0; row < KESO_ROWS; ++row) {
        if (bandRows_[row] == 0) {
            continue;
        }
        if (row < coveredUntil) {
            return false;
        }
        coveredUntil = row + bandRows_[row];
    }
    for (std::size_t row = 0; row < KESO_ROWS; ++row) {
        bandStart_[row + 1] += bandStart_[row];
    }
    bandOrder_.resize(strips_.size());
    uint32_t next[KESO_ROWS];
    std::copy(std::begin(bandStart_), std::end(bandStart_) - 1, std::begin(next));
    for (uint32_t i = 0; i < strips_.size(); ++i) {
        bandOrder_[next[strips_[i].firstRow]++] = i;
    }
    return true;
}

// A band of one pixel type, by that type's own code in line, its strips in arrival order.
template <typename Pixel>
void FrameStrips::writeBand(std::size_t first, Grid grid) const {
    const uint32_t* begin = bandOrder_.data() + bandStart_[first];
    const uint32_t* end = bandOrder_.data() + bandStart_[first + 1];
    for (const uint32_t* index = begin; index != end; ++index) {
        writeStripOf<Pixel>(strips_[*index], grid);
    }
}

void FrameStrips::writeBandByBand(Grid grid) {
    for (std::size_t first = 0; first < KESO_ROWS; ++first) {
        if (bandRows_[first] == 0) {
            continue;
        }
        switch (bandPixelType_[first]) {
            case kDistancePixelType:
                writeBand<DistancePixel>(first, grid);
                continue;
            case kXyzPixelType:
                writeBand<XyzPixel>(first, grid);
                continue;
            case kDistanceXyzPixelType:
                writeBand<DistanceXyzPixel>(first, grid);
                continue;
            default:
                break;
        }
        const uint32_t* begin = bandOrder_.data() + bandStart_[first];
        const uint32_t* end = bandOrder_.data() + bandStart_[first + 1];
        for (std::size_t stripRow = 0; stripRow < bandRows_[first]; ++stripRow) {
            KESOPointData* rowCells = grid[first + stripRow];
            for (const uint32_t* index = begin; index != end; ++index) {
                const Strip& strip = strips_[*index];
                if (stripRow < strip.rows) {
                    strip.writeRow(strip, stripRow, rowCells);
                }
            }
        }
    }
}

// With disjoint bands, strips share a cell only if two of a band share a column of its first
// row (every later row of a strip covers a subset of its first row's columns). When none do, the
// distinct cells are the sum of each strip's cells; otherwise 0 is returned and the caller counts.
uint32_t FrameStrips::cellsOfDisjointStrips() const {
    uint32_t cells = 0;
    for (std::size_t first = 0; first < KESO_ROWS; ++first) {
        uint64_t columns[kColumnWords] = {};
        for (uint32_t i = bandStart_[first]; i < bandStart_[first + 1]; ++i) {
            const Strip& strip = strips_[bandOrder_[i]];
            if (!claimColumns(columns, strip.firstColumn, columnsOfRow(strip, 0))) {
                return 0;
            }
            const std::size_t fullRows = strip.points / kStrip;
            const std::size_t wholeRowsInGrid = std::min<std::size_t>(fullRows, strip.rows);
            const std::size_t fullWidth = std::min<std::size_t>(kStrip, KESO_COLUMNS - strip.firstColumn);
            cells += static_cast<uint32_t>(wholeRowsInGrid * fullWidth);
            if (strip.rows > fullRows) {
                cells += static_cast<uint32_t>(columnsOfRow(strip, fullRows));
            }
        }
    }
    return cells;
}

uint32_t FrameStrips::cellsWithCoverage() const {
    CellCoverage coverage;
    for (const Strip& strip : strips_) {
        coverage.add(strip.datagram, strip.length);
    }
    return coverage.count();
}

uint32_t FrameStrips::write(Grid grid) {
    if (!bandsAreDisjoint()) {
        for (const Strip& strip : strips_) {
            writeStrip(strip, grid);
        }
        return cellsWithCoverage();
    }
    writeBandByBand(grid);
    const uint32_t cells = cellsOfDisjointStrips();
    return cells != 0 || strips_.empty() ? cells : cellsWithCoverage();
}

}  // namespace tarn::stream
