#include "tools/stream_example/frame_stats.h"

namespace tarn::tools {
namespace {

constexpr int kStripColumns = 4;
constexpr int kMaxDatagramBytes = 1472;
constexpr int kHeaderBytes = 45;

int cellsPerDatagram(int pixelBytes) {
    const int rows = (kMaxDatagramBytes - kHeaderBytes) / (pixelBytes * kStripColumns);
    return rows * kStripColumns;
}

int datagramsFor(int cells, int perDatagram) {
    return (cells + perDatagram - 1) / perDatagram;
}

// Pixels without coordinates leave x, y, z zero; pixels without distance leave it zero.
int inferPixelBytes(bool anyDistance, bool anyCoordinate) {
    if (!anyCoordinate) {
        return 4;
    }
    return anyDistance ? 10 : 8;
}

}  // namespace

FrameSummary summarizeFrame(const KESOPointData (*grid)[KESO_COLUMNS]) {
    FrameSummary s;
    for (int row = 0; row < KESO_ROWS; ++row) {
        for (int column = 0; column < KESO_COLUMNS; ++column) {
            if (grid[row][column].timestamp > s.newestTimestamp) {
                s.newestTimestamp = grid[row][column].timestamp;
            }
        }
    }

    int freshPerStrip[KESO_COLUMNS / kStripColumns] = {};
    bool anyDistance = false;
    bool anyCoordinate = false;
    for (int row = 0; row < KESO_ROWS; ++row) {
        for (int column = 0; column < KESO_COLUMNS; ++column) {
            const KESOPointData& cell = grid[row][column];
            if (cell.timestamp != s.newestTimestamp) {
                continue;
            }
            ++s.freshCells;
            ++freshPerStrip[column / kStripColumns];
            anyDistance = anyDistance || cell.distance != 0.0f;
            anyCoordinate = anyCoordinate || cell.x != 0.0f || cell.y != 0.0f || cell.z != 0.0f;
        }
    }

    s.pixelBytes = inferPixelBytes(anyDistance, anyCoordinate);
    const int perDatagram = cellsPerDatagram(s.pixelBytes);
    for (const int fresh : freshPerStrip) {
        s.datagramsEstimate += datagramsFor(fresh, perDatagram);
        s.datagramsPerFrame += datagramsFor(KESO_ROWS * kStripColumns, perDatagram);
    }
    return s;
}

void StreamStats::add(const FrameSummary& frame) {
    ++frames_;
    staleCells_ += static_cast<uint64_t>(KESO_ROWS * KESO_COLUMNS - frame.freshCells);
    datagrams_ += static_cast<uint64_t>(frame.datagramsEstimate);
    expected_ += static_cast<uint64_t>(frame.datagramsPerFrame);
    if (seen_) {
        if (frame.newestTimestamp <= lastTimestamp_) {
            ++framesRepeated_;
        } else {
            // Rounded to whole frame periods, so a jittering clock does not count as loss.
            const uint64_t periods = (frame.newestTimestamp - lastTimestamp_ + step_ / 2) / step_;
            const uint64_t missing = periods > 1 ? periods - 1 : 0;
            framesLost_ += missing;
            expected_ += missing * static_cast<uint64_t>(frame.datagramsPerFrame);
        }
    }
    if (!seen_ || frame.newestTimestamp > lastTimestamp_) {
        lastTimestamp_ = frame.newestTimestamp;
    }
    seen_ = true;
}

double StreamStats::datagramLoss() const {
    if (expected_ == 0 || datagrams_ >= expected_) {
        return 0.0;
    }
    return static_cast<double>(expected_ - datagrams_) / static_cast<double>(expected_);
}

}  // namespace tarn::tools
