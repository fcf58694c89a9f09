// Where tarn view takes each sensor's frames from: a frame source (tarn/source.h) over a live
// stream (a sensor, or the embedded simulated sensor on loopback, opened as tarn stream opens it)
// or over a recording, and the thread that hands its frames, IMU samples and counters to the
// viewer's server.
#ifndef TARN_TOOLS_TARN_VIEW_SOURCE_H
#define TARN_TOOLS_TARN_VIEW_SOURCE_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tarn/source.h"
#include "tarn/tarn.h"
#include "tarn/view.h"
#include "tools/tarn/stream_source.h"

namespace tarn::cli {

// One sensor of tarn view: a live source, or a recording to play.
struct ViewInput {
    SourceOptions live;     // when recording is empty
    std::string recording;  // a pcap file
};

// Whether a word of tarn view's command line names a recording rather than a sensor's address:
// it ends in ".pcap" or names an existing file.
bool isRecordingPath(const std::string& word);

// Measures the plane angle of the newest frame offered to it on a thread of its own and publishes
// it: a frame offered while it measures replaces the one waiting, so a slow measurement never
// holds up the feed.
class AngleWorker {
  public:
    AngleWorker(tarn_view* view, int sensor);
    // Stops the thread once the measurement under way ends.
    ~AngleWorker();
    AngleWorker(const AngleWorker&) = delete;
    AngleWorker& operator=(const AngleWorker&) = delete;

    // Takes the grid (TARN_CELLS records) by swapping it with a buffer of the same size.
    void offer(std::vector<tarn_point>& grid);

  private:
    void run();

    tarn_view* view_;
    int sensor_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<tarn_point> waiting_;  // guarded by mutex_, with the two flags
    bool hasWaiting_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

struct FeedSettings {
    tarn_view* view = nullptr;  // must outlive the feed
    int sensor = 0;             // the view's sensor number
    bool angle = false;         // measure every frame's plane angle and publish it
    bool realtime = false;      // play a recording at its recorded pace
};

class ViewFeed {
  public:
    // Opens the source: starts the embedded simulated sensor without a device, or opens the
    // recording. Nothing is fed before start(). Throws Failure.
    ViewFeed(const ViewInput& input, const FeedSettings& settings);
    // Stops the feeding thread, then the simulated sensor, then closes the source.
    ~ViewFeed();
    ViewFeed(const ViewFeed&) = delete;
    ViewFeed& operator=(const ViewFeed&) = delete;

    // Starts the feeding thread: every frame the source gives goes to the view as it comes (a
    // recording's once a client watches this sensor), with the IMU samples, and the counters
    // once a second. Call once.
    void start();

    // Frames handed to the view so far. Any thread.
    uint64_t framesFed() const { return framesFed_.load(); }
    // True once a recording has played to its end. Any thread.
    bool ended() const { return ended_.load(); }
    // Why feeding stopped early (a damaged recording, a failed stream), or "". Any thread.
    std::string failure() const;
    tarn_source_stats stats() const;
    std::string description() const;
    bool recording() const { return live_ == nullptr; }

  private:
    void feed();
    bool waitForViewer();
    // Sleeps until deadline; false once the feed is stopping.
    bool sleepUntil(std::chrono::steady_clock::time_point deadline);
    void publishImu(int64_t realtimeNs);
    void publishStats();
    void fail(const std::string& why);

    const FeedSettings settings_;
    const std::string recordingPath_;
    std::unique_ptr<StreamSource> live_;
    tarn_source* source_ = nullptr;  // owned by live_ when live
    std::unique_ptr<AngleWorker> angle_;

    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;  // guarded by mutex_; set by the destructor
    // Written by the feeding thread.
    std::atomic<uint64_t> framesFed_{0};
    std::atomic<bool> ended_{false};
    mutable std::mutex failureMutex_;
    std::string failure_;  // guarded by failureMutex_
};

}  // namespace tarn::cli

#endif  // TARN_TOOLS_TARN_VIEW_SOURCE_H
