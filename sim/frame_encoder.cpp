#include "sim/frame_encoder.h"

#include <algorithm>
#include <stdexcept>

namespace tarn::sim {

static_assert(kColumns % kStripColumns == 0, "strips cover the grid's columns exactly");

int rowsPerDatagram(uint8_t pixelType) {
    const std::size_t size = pixelBytes(pixelType);
    if (size == 0) {
        throw std::invalid_argument("unknown pixel type");
    }
    const std::size_t rowBytes = size * kStripColumns;
    return static_cast<int>((kMaxDatagramBytes - kPointHeaderBytes) / rowBytes);
}

int datagramsPerFrame(uint8_t pixelType) {
    const int rows = rowsPerDatagram(pixelType);
    const int perStrip = (kRows + rows - 1) / rows;
    const int strips = (kColumns + kStripColumns - 1) / kStripColumns;
    return perStrip * strips;
}

std::vector<Datagram> encodeFrame(const Scene& scene, uint64_t frameIndex,
                                  const FrameFormat& format) {
    const int rows = rowsPerDatagram(format.pixelType);
    std::vector<Datagram> datagrams;
    datagrams.reserve(static_cast<std::size_t>(datagramsPerFrame(format.pixelType)));

    PointHeader header;
    header.tag = format.tag;
    header.pixelType = format.pixelType;
    header.timestamp = format.timestamp;
    header.frameFlag = kFrameFlagMiddle;

    std::vector<RawPoint> points;
    for (int column = 0; column < kColumns; column += kStripColumns) {
        for (int row = 0; row < kRows; row += rows) {
            const int lastRow = std::min(row + rows, kRows);
            points.clear();
            for (int r = row; r < lastRow; ++r) {
                for (int c = column; c < column + kStripColumns; ++c) {
                    points.push_back(scene.point(r, c, frameIndex));
                }
            }
            header.firstColumn = static_cast<uint16_t>(column);
            header.firstRow = static_cast<uint16_t>(row);
            datagrams.push_back(encodePointDatagram(header, points));
        }
    }
    datagrams.front()[kOffsetFrameFlag] = kFrameFlagFirst;
    datagrams.back()[kOffsetFrameFlag] = kFrameFlagLast;
    return datagrams;
}

}  // namespace tarn::sim
