// What the example learns about the stream from the decoded grids alone.
//
// The library publishes the newest frame's cells on top of older frames' cells, so a cell whose
// timestamp is older than the frame's newest one was not refreshed: the datagram that carried it
// was lost. Frame numbers come from the timestamps: the simulated sensor stamps each frame with
// its frame number (a timestamp step of 1); for a sensor stamping times, the step is the frame
// period in timestamp units.
//
// Datagram counts are estimates that rest on the sensor's datagram layout: strips of 4 columns,
// each datagram filled with as many rows as fit into 1472 bytes. Cell counts hold whatever the
// layout.
#ifndef TARN_TOOLS_FRAME_STATS_H
#define TARN_TOOLS_FRAME_STATS_H

#include <cstdint>

#include "KESOApi.h"

namespace tarn::tools {

struct FrameSummary {
    uint64_t newestTimestamp = 0;
    int freshCells = 0;         // cells carrying the newest timestamp
    int pixelBytes = 0;         // 4, 8 or 10, from the members the fresh cells fill
    int datagramsEstimate = 0;  // datagrams that carried the fresh cells
    int datagramsPerFrame = 0;  // datagrams of a complete frame with this pixel size
};

FrameSummary summarizeFrame(const KESOPointData (*grid)[KESO_COLUMNS]);

// Running totals over the frames of a stream, in arrival order.
class StreamStats {
  public:
    explicit StreamStats(uint64_t timestampStep) : step_(timestampStep == 0 ? 1 : timestampStep) {}

    void add(const FrameSummary& frame);

    uint64_t frames() const { return frames_; }
    uint64_t framesLost() const { return framesLost_; }
    uint64_t framesRepeated() const { return framesRepeated_; }
    uint64_t staleCells() const { return staleCells_; }
    uint64_t datagramsEstimate() const { return datagrams_; }
    // Datagrams the sensor sent for the frames received and the frames lost between them.
    uint64_t datagramsExpected() const { return expected_; }
    // Share of the expected datagrams that did not arrive, 0 to 1.
    double datagramLoss() const;

  private:
    uint64_t step_;
    bool seen_ = false;
    uint64_t lastTimestamp_ = 0;
    uint64_t frames_ = 0;
    uint64_t framesLost_ = 0;
    uint64_t framesRepeated_ = 0;
    uint64_t staleCells_ = 0;
    uint64_t datagrams_ = 0;
    uint64_t expected_ = 0;
};

}  // namespace tarn::tools

#endif  // TARN_TOOLS_FRAME_STATS_H
