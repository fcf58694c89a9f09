// tarn record FILE.mcap: takes every decoded frame, once, and every IMU sample from the library's
// frame source on the caller's thread, with the stream's counters once a second and at the end,
// and hands them to the MCAP writer, whose own thread writes
// from a bounded queue, so a slow disk drops messages (counted and reported) rather than holding
// up the stream.
#include "tools/tarn/mcap_record.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <vector>

#include "tarn/mcap.h"
#include "tarn/source.h"
#include "tarn/tarn.h"
#include "tools/tarn/exit_status.h"
#include "tools/tarn/output.h"
#include "tools/tarn/stop_signal.h"

namespace tarn::cli {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxWaitMs = 100;
// Once a bound is reached, how long the frames decoded by then may take to leave the source.
constexpr int kDrainMs = 2000;
constexpr uint32_t kQueueMessages = 256;  // some 80 frames of three messages, with IMU samples
constexpr std::size_t kImuBatch = 256;

void status(const char* format, ...) __attribute__((format(printf, 1, 2)));
void status(const char* format, ...) {
    if (outputFailed()) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::fflush(stdout);
}

class McapFile {
  public:
    explicit McapFile(const std::string& path) {
        tarn_mcap_config config;
        tarn_mcap_config_init(&config);
        config.queue_messages = kQueueMessages;
        const int result = tarn_mcap_open(path.c_str(), &config, &writer_);
        if (result != TARN_OK) {
            throw Failure(ExitStatus::file, path + ": " + tarn_mcap_strerror(result));
        }
    }
    ~McapFile() { tarn_mcap_close(writer_); }
    McapFile(const McapFile&) = delete;
    McapFile& operator=(const McapFile&) = delete;

    tarn_mcap_writer* get() const { return writer_; }
    // Closes the file; the first error of the recording, or TARN_OK.
    int close() {
        const int result = tarn_mcap_close(writer_);
        writer_ = nullptr;
        return result;
    }

  private:
    tarn_mcap_writer* writer_ = nullptr;
};

int64_t realtimeNs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Moves what the frame source has into the file: its IMU samples (received before the frame that
// follows them, each stamped with the host's time when taken, within one wait of its arrival),
// then its next frame.
class Recorder {
  public:
    Recorder(tarn_source* source, tarn_mcap_writer* writer) : source_(source), writer_(writer) {}

    // Waits up to waitMs for a frame. TARN_OK (with or without one), a write error of the MCAP
    // writer, or the source's failure.
    int step(int waitMs) {
        const int next = tarn_source_next(source_, waitMs, grid_.data(), &info_);
        if (next != TARN_OK && next != TARN_ERR_TIMEOUT) {
            return next;
        }
        int result = writeImu();
        if (result == TARN_OK && next == TARN_OK) {
            const uint64_t dropped = tarn_mcap_dropped(writer_);
            result = tarn_mcap_write_frame(writer_, grid_.data(), &info_);
            ++frames_;
            framesWritten_ += tarn_mcap_dropped(writer_) == dropped ? 1 : 0;
        }
        return result;
    }

    uint64_t frames() const { return frames_; }  // taken from the source
    uint64_t framesWritten() const { return framesWritten_; }
    uint64_t imuWritten() const { return imuWritten_; }

    // Writes the samples the source has now. TARN_OK or a write error.
    int writeImu() {
        std::size_t count = 0;
        do {
            tarn_source_imu(source_, imu_.data(), imu_.size(), &count);
            const int64_t ns = realtimeNs();
            for (std::size_t i = 0; i < count; ++i) {
                const uint64_t dropped = tarn_mcap_dropped(writer_);
                const int result = tarn_mcap_write_imu(writer_, &imu_[i], ns);
                if (result != TARN_OK) {
                    return result;
                }
                imuWritten_ += tarn_mcap_dropped(writer_) == dropped ? 1 : 0;
            }
        } while (count == imu_.size());
        return TARN_OK;
    }

  private:
    tarn_source* source_;
    tarn_mcap_writer* writer_;
    std::vector<tarn_point> grid_ = std::vector<tarn_point>(TARN_CELLS);
    tarn_frame_info info_{};
    std::vector<tarn_imu_sample> imu_ = std::vector<tarn_imu_sample>(kImuBatch);
    uint64_t frames_ = 0;
    uint64_t framesWritten_ = 0;
    uint64_t imuWritten_ = 0;
};

}  // namespace

int recordMcap(const McapRecordOptions& o) {
    StopSignal stop;
    printLibraryLines("tarn record");
    std::signal(SIGXFSZ, SIG_IGN);  // a size limit fails the write (EFBIG) instead of killing us
    std::signal(SIGPIPE, SIG_IGN);
    McapFile file(o.path);
    StreamCallbacks callbacks;
    callbacks.frameSource = true;
    auto source = std::make_unique<StreamSource>(o.source, callbacks);
    status("tarn record: recording %s into %s\n", source->description().c_str(), o.path.c_str());

    Recorder recorder(source->frameSource(), file.get());
    RunClock clock(o.bounds);
    tarn_source_stats stats{};
    int result = TARN_OK;
    while (result == TARN_OK && !clock.done(stats.frames_returned, stats.stream.datagrams_read) &&
           stop.sleepUntil(Clock::now())) {
        result = recorder.step(clock.waitMs(kMaxWaitMs));
        tarn_source_get_stats(source->frameSource(), &stats);
        if (clock.tickDue()) {
            if (result == TARN_OK) {
                result = tarn_mcap_write_diagnostics(file.get(), &stats.stream, realtimeNs());
            }
            status("tarn record: %.1f s  frames %" PRIu64 "  recorded %" PRIu64
                   "  messages dropped %" PRIu64 "\n",
                   clock.elapsed(), stats.stream.frames_decoded, recorder.frames(),
                   tarn_mcap_dropped(file.get()));
        }
    }
    // Every frame decoded by now is recorded, each once: those still in the source's queue too.
    const uint64_t decoded = stats.stream.frames_decoded;
    const Clock::time_point drainEnd = Clock::now() + std::chrono::milliseconds(kDrainMs);
    while (result == TARN_OK && stats.frames_returned + stats.frames_dropped < decoded &&
           Clock::now() < drainEnd) {
        result = recorder.step(kMaxWaitMs);
        tarn_source_get_stats(source->frameSource(), &stats);
    }
    if (result == TARN_OK) {
        result = recorder.writeImu();  // the samples that came with the last frame
    }
    if (result == TARN_OK) {  // the counters at the end, for a recording shorter than a second
        tarn_source_get_stats(source->frameSource(), &stats);
        result = tarn_mcap_write_diagnostics(file.get(), &stats.stream, realtimeNs());
    }
    const double elapsed = clock.elapsed();
    source.reset();
    if (result < 0 && result != TARN_ERR_MCAP_WRITE && result != TARN_ERR_MCAP_COMPRESS) {
        throw Failure(ExitStatus::failure,
                      std::string("the stream failed: ") + tarn_strerror(result));
    }
    const uint64_t messages = tarn_mcap_messages(file.get());
    const uint64_t dropped = tarn_mcap_dropped(file.get());
    const int closed = file.close();
    const int failure = result != TARN_OK ? result : closed;
    if (failure != TARN_OK) {
        throw Failure(ExitStatus::file, o.path + ": " + tarn_mcap_strerror(failure) +
                                            "; the file ends at its last whole chunk");
    }
    const uint64_t frames = recorder.frames();
    status("tarn record: %s after %.1f s\n", stop.stopped() ? "stopped" : "done", elapsed);
    // The writer drops a frame's three messages together, and an IMU sample's one.
    status("tarn record: wrote %" PRIu64 " messages (%" PRIu64 " frames of %" PRIu64
           " decoded, %" PRIu64 " IMU samples) to %s; %" PRIu64
           " messages dropped on a full queue\n",
           messages - dropped, recorder.framesWritten(), decoded, recorder.imuWritten(),
           o.path.c_str(), dropped);
    if (dropped > 0) {
        std::fprintf(stderr,
                     "tarn record: warning: the recording lacks %" PRIu64
                     " messages the disk could not take in time\n",
                     dropped);
    }
    if (stats.frames_dropped > 0 || frames < decoded) {
        std::fprintf(stderr,
                     "tarn record: warning: %" PRIu64
                     " decoded frames found the frame source's queue full and were lost\n",
                     decoded - std::min(decoded, frames));
    }
    if (frames == 0) {
        throw Failure(ExitStatus::noData, "no frame arrived; the file holds none");
    }
    return 0;
}

}  // namespace tarn::cli
