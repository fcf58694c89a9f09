// tarn record FILE.mcap: waits for each decoded frame on the caller's thread and hands it to the
// MCAP writer, whose own thread writes from a bounded queue, so a slow disk drops frames (counted
// and reported) rather than holding up the stream.
#include "tools/tarn/mcap_record.h"

#include <cinttypes>
#include <cstdarg>
#include <csignal>
#include <cstdio>
#include <memory>
#include <vector>

#include "tarn/mcap.h"
#include "tarn/tarn.h"
#include "tools/tarn/exit_status.h"
#include "tools/tarn/output.h"
#include "tools/tarn/stop_signal.h"

namespace tarn::cli {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxWaitMs = 100;
constexpr uint32_t kQueueMessages = 96;  // 32 frames of three messages

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

}  // namespace

int recordMcap(const McapRecordOptions& o) {
    StopSignal stop;
    printLibraryLines("tarn record");
    std::signal(SIGXFSZ, SIG_IGN);  // a size limit fails the write (EFBIG) instead of killing us
    std::signal(SIGPIPE, SIG_IGN);
    McapFile file(o.path);
    auto source = std::make_unique<StreamSource>(o.source, StreamCallbacks{});
    status("tarn record: recording %s into %s\n", source->description().c_str(), o.path.c_str());

    std::vector<tarn_point> grid(TARN_CELLS);
    tarn_frame_info info{};
    RunClock clock(o.bounds);
    tarn_stream_stats stats{};
    uint64_t frames = 0;
    int writeError = TARN_OK;
    while (!clock.done(stats.frames_decoded, stats.datagrams_read) &&
           stop.sleepUntil(Clock::now())) {
        const int waited =
            tarn_stream_wait_frame(source->stream(), clock.waitMs(kMaxWaitMs), grid.data(), &info);
        if (waited == TARN_OK) {
            writeError = tarn_mcap_write_frame(file.get(), grid.data(), &info);
            if (writeError != TARN_OK) {
                break;
            }
            ++frames;
        } else if (waited != TARN_ERR_TIMEOUT) {
            throw Failure(ExitStatus::failure, std::string("the stream failed: ") +
                                                  tarn_strerror(waited));
        }
        tarn_stream_get_stats(source->stream(), &stats);
        if (clock.tickDue()) {
            status("tarn record: %.1f s  frames %" PRIu64 "  recorded %" PRIu64 "  dropped %" PRIu64
                   "\n",
                   clock.elapsed(), stats.frames_decoded, frames,
                   tarn_mcap_dropped(file.get()) / 3);
        }
    }
    const double elapsed = clock.elapsed();
    tarn_stream_get_stats(source->stream(), &stats);
    source.reset();
    const uint64_t messages = tarn_mcap_messages(file.get());
    const uint64_t dropped = tarn_mcap_dropped(file.get());
    const int closed = file.close();
    const int failure = writeError != TARN_OK ? writeError : closed;
    if (failure != TARN_OK) {
        throw Failure(ExitStatus::file, o.path + ": " + tarn_mcap_strerror(failure) +
                                            "; the file ends at its last whole chunk");
    }
    // Frames the stream decoded that neither reached the writer nor were dropped by it: the
    // stream published a newer one before this loop took it.
    const uint64_t taken = frames;
    const uint64_t missed = stats.frames_decoded > taken ? stats.frames_decoded - taken : 0;
    status("tarn record: %s after %.1f s\n", stop.stopped() ? "stopped" : "done", elapsed);
    status("tarn record: wrote %" PRIu64 " messages (%" PRIu64 " frames of %" PRIu64
           " decoded) to %s; %" PRIu64 " frames dropped on a full queue\n",
           messages - dropped, taken - dropped / 3, stats.frames_decoded, o.path.c_str(),
           dropped / 3);
    if (dropped > 0) {
        std::fprintf(stderr,
                     "tarn record: warning: the recording lacks %" PRIu64
                     " frames the disk could not take in time\n",
                     dropped / 3);
    }
    if (missed > 0) {
        std::fprintf(stderr,
                     "tarn record: warning: %" PRIu64
                     " decoded frames were replaced by newer ones before they were recorded\n",
                     missed);
    }
    if (taken == 0) {
        throw Failure(ExitStatus::noData, "no frame arrived; the file holds none");
    }
    return 0;
}

}  // namespace tarn::cli
