// The point datagrams of one frame as strips of the grid, and their writing into a grid.
//
// A datagram's pixels fill a strip four columns wide, row after row. The datagrams that start on
// the same row form a band; where the frame's bands cover disjoint rows (as a sensor's frames do),
// each band is written on its own, its datagrams in arrival order, so that a cell that datagrams
// share ends with the later one's pixel, and the distinct cells are counted from the bands'
// columns without a per-cell set.
// Frames whose bands overlap are written datagram by datagram.
#ifndef TARN_STREAM_FRAME_STRIPS_H
#define TARN_STREAM_FRAME_STRIPS_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "KESOApi.h"
#include "format/datagram_format.h"

namespace tarn::stream {

using Grid = KESOPointData (*)[KESO_COLUMNS];

class FrameStrips {
  public:
    // Room for `datagrams` strips.
    explicit FrameStrips(std::size_t datagrams);
    // Adds a point datagram of at least kPointHeaderBytes bytes whose header is `header`. One of
    // an unknown pixel type, or that addresses no cell of the grid, writes nothing and is left out.
    void add(const PointHeader& header, const uint8_t* datagram, std::size_t length);
    // Writes the strips added into grid, the later one winning a shared cell, and
    // returns how many distinct cells they wrote.
    uint32_t write(Grid grid);

    struct Strip;
    // The strip of one point datagram of at least kPointHeaderBytes bytes whose header is
    // `header`, clipped to the grid; false when it writes nothing (an unknown pixel type, no
    // complete pixel, or no cell of the grid).
    static bool stripOf(const PointHeader& header, const uint8_t* datagram, std::size_t length,
                        Strip& strip);
    // Writes one strip into grid, row after row.
    static void writeStrip(const Strip& strip, Grid grid);

    using RowWriter = void (*)(const Strip& strip, std::size_t stripRow, KESOPointData* rowCells);
    struct Strip {
        const uint8_t* datagram;
        const uint8_t* pixels;
        RowWriter writeRow;  // for the strip's pixel type
        uint64_t timestamp;
        uint32_t points;
        uint16_t length;
        uint16_t firstRow;     // inside the grid
        uint16_t firstColumn;  // inside the grid
        uint16_t rows;         // strip rows inside the grid, at least 1
        uint16_t fullRows;     // of those, the rows with a pixel for every strip column
        uint8_t fullWidth;     // the cells of such a row inside the grid
        uint8_t pixelType;
        uint8_t tag;
    };

  private:
    bool bandsAreDisjoint();
    void writeBandByBand(Grid grid);
    template <typename Pixel>
    void writeBand(std::size_t first, Grid grid) const;
    uint32_t cellsOfDisjointStrips() const;
    uint32_t cellsWithCoverage() const;

    std::vector<Strip> strips_;
    std::vector<uint32_t> bandOrder_;  // strip indices, band by band, arrival order within a band
    uint32_t bandStart_[KESO_ROWS + 1] = {};  // per first row: where its band begins in bandOrder_
    uint16_t bandRows_[KESO_ROWS] = {};       // per first row: the most rows of its strips
    uint8_t bandPixelType_[KESO_ROWS] = {};   // per first row: its strips' pixel type, if one
};

}  // namespace tarn::stream

#endif  // TARN_STREAM_FRAME_STRIPS_H
