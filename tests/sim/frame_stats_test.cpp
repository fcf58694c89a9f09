// The streaming example's loss figures, computed from grids built here cell by cell.
#include "tools/stream_example/frame_stats.h"

#include <gtest/gtest.h>

#include <memory>

namespace tarn::tools {
namespace {

using Grid = std::unique_ptr<KESOPointData[][KESO_COLUMNS]>;

// A grid of 10-byte pixels whose every cell carries the given timestamp.
Grid fullGrid(uint64_t timestamp) {
    Grid grid(new KESOPointData[KESO_ROWS][KESO_COLUMNS]());
    for (int row = 0; row < KESO_ROWS; ++row) {
        for (int column = 0; column < KESO_COLUMNS; ++column) {
            KESOPointData& cell = grid[row][column];
            cell.row = static_cast<uint16_t>(row);
            cell.column = static_cast<uint16_t>(column);
            cell.distance = 2000.0f;
            cell.x = 2000.0f;
            cell.timestamp = timestamp;
        }
    }
    return grid;
}

// Marks the cells of rows [firstRow, lastRow) of the strip at firstColumn as left over from an
// older frame, as a lost datagram leaves them.
void loseStripRows(Grid& grid, int firstColumn, int firstRow, int lastRow, uint64_t older) {
    for (int row = firstRow; row < lastRow; ++row) {
        for (int column = firstColumn; column < firstColumn + 4; ++column) {
            grid[row][column].timestamp = older;
        }
    }
}

TEST(FrameSummary, CountsTheDatagramsOfACompleteFrame) {
    const Grid grid = fullGrid(7);
    const FrameSummary s = summarizeFrame(grid.get());
    EXPECT_EQ(s.newestTimestamp, 7u);
    EXPECT_EQ(s.freshCells, KESO_ROWS * KESO_COLUMNS);
    EXPECT_EQ(s.pixelBytes, 10);
    EXPECT_EQ(s.datagramsEstimate, 450);  // 90 strips of 35 + 35 + 35 + 35 + 10 rows
    EXPECT_EQ(s.datagramsPerFrame, 450);
}

TEST(FrameSummary, StaleCellsRevealLostDatagramsWhateverTheirPlace) {
    Grid grid = fullGrid(7);
    loseStripRows(grid, 0, 0, 35, 6);       // the first datagram of the first strip
    loseStripRows(grid, 356, 140, 150, 6);  // the short last datagram of the last strip
    const FrameSummary s = summarizeFrame(grid.get());
    EXPECT_EQ(s.freshCells, KESO_ROWS * KESO_COLUMNS - 35 * 4 - 10 * 4);
    EXPECT_EQ(s.datagramsEstimate, 448);
}

TEST(FrameSummary, InfersFourAndEightBytePixelsFromTheEmptyMembers) {
    Grid grid = fullGrid(3);
    grid[5][5].x = 0.0f;
    for (int row = 0; row < KESO_ROWS; ++row) {
        for (int column = 0; column < KESO_COLUMNS; ++column) {
            grid[row][column].distance = 0.0f;
        }
    }
    EXPECT_EQ(summarizeFrame(grid.get()).pixelBytes, 8);
    EXPECT_EQ(summarizeFrame(grid.get()).datagramsPerFrame, 360);
    for (int row = 0; row < KESO_ROWS; ++row) {
        for (int column = 0; column < KESO_COLUMNS; ++column) {
            grid[row][column].x = 0.0f;
        }
    }
    EXPECT_EQ(summarizeFrame(grid.get()).pixelBytes, 4);
    EXPECT_EQ(summarizeFrame(grid.get()).datagramsPerFrame, 180);
}

TEST(StreamStats, GapsInFrameNumbersAreLostFramesAndTheirDatagrams) {
    StreamStats stats(1);
    FrameSummary frame;
    frame.datagramsPerFrame = 180;
    frame.datagramsEstimate = 180;
    frame.freshCells = KESO_ROWS * KESO_COLUMNS;
    for (const uint64_t number : {1, 2, 5, 5, 6}) {
        frame.newestTimestamp = number;
        stats.add(frame);
    }
    EXPECT_EQ(stats.frames(), 5u);
    EXPECT_EQ(stats.framesLost(), 2u);  // 3 and 4
    EXPECT_EQ(stats.framesRepeated(), 1u);
    EXPECT_EQ(stats.datagramsExpected(), 7u * 180u);
    EXPECT_DOUBLE_EQ(stats.datagramLoss(), 2.0 / 7.0);
}

TEST(StreamStats, TimestampStepRoundsJitterToWholeFrames) {
    StreamStats stats(1000);
    FrameSummary frame;
    for (const uint64_t stamp : {10000, 11020, 11990, 14010}) {
        frame.newestTimestamp = stamp;
        stats.add(frame);
    }
    EXPECT_EQ(stats.framesLost(), 1u);
}

}  // namespace
}  // namespace tarn::tools
