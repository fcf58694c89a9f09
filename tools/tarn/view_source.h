// Where tarn view takes each sensor's frames, IMU samples and counters from: a library stream fed
// by a sensor (--device, or an address on the command line) or by an embedded simulated sensor on
// loopback, handing every decoded frame and IMU sample to the viewer's server as it arrives.
#ifndef TARN_TOOLS_TARN_VIEW_SOURCE_H
#define TARN_TOOLS_TARN_VIEW_SOURCE_H

#include <memory>
#include <string>

#include "tarn/tarn.h"
#include "tarn/view.h"
#include "tools/tarn/sim_stream.h"
#include "tools/tarn/stream_source.h"

namespace tarn::cli {

class ViewFeed {
  public:
    // Opens the stream and starts the simulated sensor (without a device); frames and IMU
    // samples go to view as sensor number sensor from the stream's threads. With angle, every
    // frame's plane angle goes too. Throws Failure.
    ViewFeed(const SourceOptions& options, tarn_view* view, int sensor, bool angle);
    // Stops the simulated sensor, then closes the stream: no callback runs after it.
    ~ViewFeed();
    ViewFeed(const ViewFeed&) = delete;
    ViewFeed& operator=(const ViewFeed&) = delete;

    // Publishes the stream's counters; the main thread calls it once a second.
    void publishStats();
    tarn_stream_stats stats() const;
    std::string description() const;

  private:
    static void onFrame(const tarn_point* grid, const tarn_frame_info* info, void* user);
    static void onImu(const tarn_imu_sample* sample, void* user);
    int open(const std::string& device, int devicePort, int localPort);

    SourceOptions options_;
    tarn_view* view_;
    int sensor_;
    bool angle_;
    int localPort_ = 0;
    tarn_stream* stream_ = nullptr;
    std::unique_ptr<SimSensor> sim_;
};

}  // namespace tarn::cli

#endif  // TARN_TOOLS_TARN_VIEW_SOURCE_H
