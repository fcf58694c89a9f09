// One frame as sensor_msgs/msg/PointCloud2 and as two sensor_msgs/msg/Image (depth, intensity).
#ifndef TARN_MESSAGES_FRAME_MESSAGES_H
#define TARN_MESSAGES_FRAME_MESSAGES_H

#include <cstdint>

#include "cdr_writer.h"
#include "ros_header.h"
#include "tarn/messages.h"

namespace tarn::messages {

// Which cells of the grid the frame wrote. The grid keeps an earlier frame's values in the others,
// and every datagram stamps its cells with its header timestamp: a cell is the frame's when the
// frame wrote every cell, or when its timestamp lies between the frame's first and last.
class FrameCells {
  public:
    explicit FrameCells(const tarn_frame_info& info);
    // Without branches: the frame loop runs it for every cell.
    bool written(const tarn_point& cell) const {
        return all_ | (any_ & (cell.timestamp - low_ <= span_));
    }
    bool all() const { return all_; }

  private:
    bool all_;
    bool any_;
    uint64_t low_;
    uint64_t span_;
};

void writePointCloud(CdrWriter& w, const Header& header, const tarn_point* grid,
                     const tarn_frame_info& info);
void writeDepthImage(CdrWriter& w, const Header& header, const tarn_point* grid,
                     const tarn_frame_info& info);
void writeIntensityImage(CdrWriter& w, const Header& header, const tarn_point* grid,
                         const tarn_frame_info& info);

}  // namespace tarn::messages

#endif  // TARN_MESSAGES_FRAME_MESSAGES_H
