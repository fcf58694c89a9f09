#include "tools/tarn/view_source.h"

#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "KESOApi.h"
#include "tools/tarn/exit_status.h"

namespace tarn::cli {
namespace {

using Clock = std::chrono::steady_clock;

// How long one wait for a live frame lasts: a stop is noticed within it.
constexpr int kFrameWaitMs = 100;
// How often a recording looks for its first viewer.
constexpr auto kViewerPoll = std::chrono::milliseconds(50);
constexpr auto kStatsPeriod = std::chrono::seconds(1);
constexpr size_t kImuBatch = 256;

int64_t realtimeNs() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// A recording's pace: each frame is due at its capture time's offset from the first frame's,
// counted from when the first frame was taken.
class RecordedPace {
  public:
    Clock::time_point due(int64_t captureNs) {
        if (!started_) {
            started_ = true;
            origin_ = Clock::now();
            firstCaptureNs_ = captureNs;
        }
        return origin_ + std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(
                             std::max<int64_t>(0, captureNs - firstCaptureNs_)));
    }

  private:
    bool started_ = false;
    Clock::time_point origin_;
    int64_t firstCaptureNs_ = 0;
};

}  // namespace

AngleWorker::AngleWorker(tarn_view* view, int sensor)
    : view_(view), sensor_(sensor), waiting_(TARN_CELLS) {
    thread_ = std::thread([this] { run(); });
}

AngleWorker::~AngleWorker() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void AngleWorker::offer(std::vector<tarn_point>& grid) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        waiting_.swap(grid);
        hasWaiting_ = true;
    }
    wake_.notify_one();
}

void AngleWorker::run() {
    std::vector<tarn_point> grid(TARN_CELLS);
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || hasWaiting_; });
            if (stopping_) {
                return;
            }
            grid.swap(waiting_);
            hasWaiting_ = false;
        }
        float angle = 0.0f;
        // tarn_point and KESOPointData are the same 40 bytes.
        const KESOAngleResult result = KESOGetPlaneAngle(
            reinterpret_cast<KESOPointData(*)[KESO_COLUMNS]>(grid.data()), &angle);
        tarn_view_publish_angle(view_, sensor_, result.code == 0 ? 1 : 0, angle,
                                result.code == 0 ? "" : result.message);
    }
}

bool isRecordingPath(const std::string& word) {
    struct stat s {};
    return endsWith(word, ".pcap") || (stat(word.c_str(), &s) == 0 && S_ISREG(s.st_mode));
}

ViewFeed::ViewFeed(const ViewInput& input, const FeedSettings& settings)
    : settings_(settings), recordingPath_(input.recording) {
    if (recordingPath_.empty()) {
        StreamCallbacks callbacks;
        callbacks.frameSource = true;
        live_ = std::make_unique<StreamSource>(input.live, callbacks);
        source_ = live_->frameSource();
        return;
    }
    char error[256] = "";
    const int result = tarn_source_open_recording(recordingPath_.c_str(), nullptr, 0, &source_,
                                                  error, sizeof error);
    if (result != TARN_OK) {
        throw Failure(ExitStatus::file, error[0] != '\0' ? std::string(error)
                                                         : "cannot open " + recordingPath_ + ": " +
                                                               tarn_recording_strerror(result));
    }
}

ViewFeed::~ViewFeed() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
    angle_.reset();
    if (live_) {
        live_.reset();  // stops the simulated sensor and closes the source
    } else {
        tarn_source_close(source_);
    }
}

void ViewFeed::start() {
    if (settings_.angle) {
        angle_ = std::make_unique<AngleWorker>(settings_.view, settings_.sensor);
    }
    thread_ = std::thread([this] { feed(); });
}

bool ViewFeed::sleepUntil(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !wake_.wait_until(lock, deadline, [this] { return stopping_; });
}

bool ViewFeed::waitForViewer() {
    for (;;) {
        int watched = 0;
        tarn_view_sensor_watched(settings_.view, settings_.sensor, &watched);
        if (watched != 0) {
            return true;
        }
        if (!sleepUntil(Clock::now() + kViewerPoll)) {
            return false;
        }
    }
}

void ViewFeed::feed() {
    if (recording() && !waitForViewer()) {
        return;
    }
    std::vector<tarn_point> grid(TARN_CELLS);
    RecordedPace pace;
    Clock::time_point nextStats = Clock::now();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) {
                return;
            }
        }
        tarn_frame_info info{};
        const int result = tarn_source_next(source_, kFrameWaitMs, grid.data(), &info);
        if (result == TARN_OK) {
            if (recording() && settings_.realtime &&
                !sleepUntil(pace.due(info.receive_realtime_ns))) {
                return;
            }
            // A recording's samples are those recorded before this frame: they go first.
            publishImu(recording() ? info.receive_realtime_ns : realtimeNs());
            tarn_view_publish_frame(settings_.view, settings_.sensor, grid.data(), &info);
            if (angle_) {
                angle_->offer(grid);
            }
            ++framesFed_;
        } else if (result == TARN_RECORDING_END) {
            publishImu(realtimeNs());
            publishStats();
            ended_ = true;
            return;
        } else if (result != TARN_ERR_TIMEOUT) {
            const std::string reason = tarn_source_error(source_);
            fail("reading a frame: " +
                 (reason.empty() ? std::string(tarn_strerror(result)) : reason));
            return;
        } else {
            publishImu(realtimeNs());
        }
        if (Clock::now() >= nextStats) {
            nextStats = Clock::now() + kStatsPeriod;
            publishStats();
        }
    }
}

void ViewFeed::publishImu(int64_t receiveRealtimeNs) {
    tarn_imu_sample samples[kImuBatch];
    size_t count = kImuBatch;
    while (count == kImuBatch && tarn_source_imu(source_, samples, kImuBatch, &count) == TARN_OK) {
        for (size_t i = 0; i < count; ++i) {
            tarn_view_publish_imu(settings_.view, settings_.sensor, &samples[i], receiveRealtimeNs);
        }
    }
}

void ViewFeed::publishStats() {
    const tarn_source_stats s = stats();
    // Frames the source's queue had no room for are lost to the view like those of the stream's
    // own full queue, and the status panel counts them so.
    tarn_stream_stats shown = s.stream;
    shown.frames_queue_full += s.frames_dropped;
    tarn_view_publish_stats(settings_.view, settings_.sensor, &shown, realtimeNs());
}

void ViewFeed::fail(const std::string& why) {
    std::lock_guard<std::mutex> lock(failureMutex_);
    failure_ = why;
}

std::string ViewFeed::failure() const {
    std::lock_guard<std::mutex> lock(failureMutex_);
    return failure_;
}

tarn_source_stats ViewFeed::stats() const {
    tarn_source_stats s{};
    tarn_source_get_stats(source_, &s);
    return s;
}

std::string ViewFeed::description() const {
    if (live_) {
        return live_->description();
    }
    return "the recording " + recordingPath_ + ", played once a client watches it" +
           (settings_.realtime ? ", at its recorded pace" : ", as fast as it reads");
}

}  // namespace tarn::cli
