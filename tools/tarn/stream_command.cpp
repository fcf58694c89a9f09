// tarn stream: streams frames from a sensor or the embedded simulated sensor, prints a status line
// per second, measures the plane angle and saves frames on request.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KESOApi.h"
#include "tarn/recording.h"
#include "tarn/source.h"
#include "tarn/tarn.h"
#include "tools/tarn/commands.h"
#include "tools/tarn/exit_status.h"
#include "tools/tarn/files.h"
#include "tools/tarn/frame_saver.h"
#include "tools/tarn/options.h"
#include "tools/tarn/output.h"
#include "tools/tarn/run_bounds.h"
#include "tools/tarn/stop_signal.h"
#include "tools/tarn/stream_source.h"
#include "tools/tarn/writers/frame_files.h"

namespace tarn::cli {
namespace {

using Clock = std::chrono::steady_clock;

const char* const kUsage = "usage: tarn stream [FILE.pcap] [options]";
const char* const kDescription =
    R"(Streams frames from a sensor, or without --device from the embedded simulated sensor on
loopback, or plays the recording FILE.pcap through the same path (as fast as it can, or with
--realtime at its recorded pace), and prints a status line per second: frames and datagrams per
second, frames lost (their last datagram, or to a full queue), merged and incomplete, datagrams
rejected and invalid, kernel drops, IMU samples per second, and with --angle the plane angle.
Stops on Ctrl-C, after --frames, --duration or --idle.)";

const char* const kExamples =
    R"(  tarn stream --duration 5 --angle --save out   the simulated wall: status, angle, pictures
  tarn stream --device 192.168.1.10 --local-port 2368
  tarn stream --device 192.168.1.10:6301 --frames 100 --save frames --every 10
  tarn stream capture.pcap --angle --realtime   a recording, as the sensor sent it
)";

constexpr long kMaxEvery = 1000000;
constexpr int kMaxWaitMs = 100;
// Frames waiting for the saver (each about 2 MB); a frame that finds them all taken is counted.
constexpr std::size_t kSaveQueue = 32;
constexpr long kMaxBoxBound = 100000;
constexpr std::size_t kBoxBounds = 6;

struct StreamOptions {
    SourceOptions source;
    RunBounds bounds;
    std::string recording;  // empty: a live stream
    bool realtime = false;
    std::string saveDirectory;
    long every = 0;  // 0: only the last frame
    bool angle = false;
    KESOAngleMeasureParam box = simulatedWallParam();
};

KESOAngleMeasureParam readBox(const std::string& text) {
    KESOAngleMeasureParam param = simulatedWallParam();
    long bounds[kBoxBounds] = {};
    std::size_t count = 0;
    std::size_t start = 0;
    bool valid = true;
    while (valid && count < kBoxBounds) {
        const std::size_t end = text.find(':', start);
        valid = parseInteger(text.substr(start, end - start), -kMaxBoxBound, kMaxBoxBound,
                             &bounds[count++]);
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    if (!valid || count != kBoxBounds || start == 0 || text.find(':', start) != std::string::npos ||
        bounds[0] >= bounds[1] || bounds[2] >= bounds[3] || bounds[4] >= bounds[5]) {
        throw UsageError("--box '" + text +
                         "' must be Y0:Y1:Z0:Z1:X0:X1, each lower below its upper");
    }
    param.xLower = static_cast<int32_t>(bounds[0]);
    param.xUpper = static_cast<int32_t>(bounds[1]);
    param.yLower = static_cast<int32_t>(bounds[2]);
    param.yUpper = static_cast<int32_t>(bounds[3]);
    param.zLower = static_cast<int32_t>(bounds[4]);
    param.zUpper = static_cast<int32_t>(bounds[5]);
    return param;
}

void registerStream(CLI::App& app, StreamOptions& o) {
    describeCommand(app, kUsage, kDescription, kExamples);
    app.add_option("FILE.pcap", o.recording, "a recording to play instead of a live stream");
    CLI::Option* save = app.add_option("--save", o.saveDirectory,
                                       "write the last frame into DIR (created when missing) as "
                                       "PLY, PCD, CSV, a\ndepth and an intensity PNG "
                                       "(frame-NNNNNN.ply, ...); with --every K every\nK-th "
                                       "frame instead")
                            ->type_name("DIR");
    app.add_option("--every", o.every,
                   "with --save: every K-th frame, written on a thread of its own; a frame\nthat "
                   "finds its queue full is counted in the summary as not saved")
        ->type_name("K")
        ->check(wholeNumberIn(1, kMaxEvery))
        ->needs(save);
    app.add_flag("--realtime", o.realtime,
                 "with FILE.pcap: play the frames at their recorded pace");
    app.add_flag("--angle", o.angle, "measure the plane angle of every frame");
    app.add_option_function<std::string>(
           "--box",
           [&o](const std::string& text) {
               o.box = readBox(text);
               o.angle = true;
           },
           "the box the plane is measured in: y across the plane, z along it (cut\ninto slices "
           "of 50), x the distance; implies --angle\n[-1000:1000:-400:400:1000:3000, the "
           "simulated wall]")
        ->type_name("Y0:Y1:Z0:Z1:X0:X1");
    addSourceOptions(app, o.source);
    addRunBounds(app, o.bounds);
}

uint64_t invalidDatagrams(const tarn_stream_stats& s) {
    return s.invalid_magic + s.invalid_type + s.invalid_version + s.invalid_pixel_type +
           s.invalid_frame_flag + s.invalid_short + s.invalid_imu_flag;
}

// The angle measurement's results over the run.
struct AngleTally {
    uint64_t frames = 0;
    uint64_t measured = 0;
    double sum = 0.0;
    double lowest = std::numeric_limits<double>::infinity();
    double highest = -std::numeric_limits<double>::infinity();
    std::string latest = "none yet";
};

void measureAngle(std::vector<tarn_point>& grid, AngleTally& tally) {
    float angle = 0.0f;
    // tarn_point and KESOPointData are the same 40 bytes.
    const KESOAngleResult result =
        KESOGetPlaneAngle(reinterpret_cast<KESOPointData(*)[KESO_COLUMNS]>(grid.data()), &angle);
    ++tally.frames;
    char text[96];
    if (result.code == 0) {
        ++tally.measured;
        tally.sum += angle;
        tally.lowest = std::min(tally.lowest, static_cast<double>(angle));
        tally.highest = std::max(tally.highest, static_cast<double>(angle));
        std::snprintf(text, sizeof text, "%.2f", static_cast<double>(angle));
    } else {
        std::snprintf(text, sizeof text, "%d %s", static_cast<int>(result.code), result.message);
    }
    tally.latest = text;
}

std::string trueTiltText(const StreamSource* source) {
    if (source == nullptr || !source->simulated()) {
        return "";
    }
    char text[48];
    std::snprintf(text, sizeof text, " (true %.2f)", static_cast<double>(source->trueTilt()));
    return text;
}

void printStatus(double elapsed, const tarn_stream_stats& now, const tarn_stream_stats& before,
                 double seconds, const AngleTally* angle, const StreamSource* source) {
    const double span = seconds > 0.0 ? seconds : 1.0;
    std::string angleText;
    if (angle != nullptr) {
        angleText = "  angle " + angle->latest + trueTiltText(source);
    }
    std::printf("tarn stream: %.1f s  %.1f frames/s  %.0f datagrams/s  lost %" PRIu64
                "  merged %" PRIu64 "  incomplete %" PRIu64 "  rejected %" PRIu64
                "  invalid %" PRIu64 "  kernel drops %" PRIu64 "  imu %.0f/s%s\n",
                elapsed, static_cast<double>(now.frames_decoded - before.frames_decoded) / span,
                static_cast<double>(now.datagrams_read - before.datagrams_read) / span,
                now.frames_lost_last + now.frames_queue_full, now.frames_merged,
                now.frames_incomplete, now.datagrams_rejected, invalidDatagrams(now),
                now.kernel_drops, static_cast<double>(now.imu_samples - before.imu_samples) / span,
                angleText.c_str());
}

void printSummary(double elapsed, const tarn_stream_stats& s, const AngleTally* angle,
                  const StreamSource* source) {
    std::printf("tarn stream: %" PRIu64 " frames in %.2f s, %.1f frames/s; lost %" PRIu64
                ", merged %" PRIu64 ", incomplete %" PRIu64 "\n",
                s.frames_decoded, elapsed,
                elapsed > 0.0 ? static_cast<double>(s.frames_decoded) / elapsed : 0.0,
                s.frames_lost_last + s.frames_queue_full, s.frames_merged, s.frames_incomplete);
    std::printf("tarn stream: %" PRIu64 " datagrams read, %" PRIu64 " rejected, %" PRIu64
                " invalid, %" PRIu64 " dropped on a full queue, %" PRIu64 " kernel drops; %" PRIu64
                " IMU samples\n",
                s.datagrams_read, s.datagrams_rejected, invalidDatagrams(s), s.datagrams_queue_full,
                s.kernel_drops, s.imu_samples);
    if (angle != nullptr && angle->measured > 0) {
        std::printf("tarn stream: angle on %" PRIu64 " frames, %" PRIu64
                    " measured: mean %.2f, min %.2f, max %.2f%s\n",
                    angle->frames, angle->measured,
                    angle->sum / static_cast<double>(angle->measured), angle->lowest,
                    angle->highest, trueTiltText(source).c_str());
    } else if (angle != nullptr) {
        std::printf("tarn stream: angle on %" PRIu64 " frames, none measured (last: %s)\n",
                    angle->frames, angle->latest.c_str());
    }
}

void save(const std::string& directory, const std::vector<tarn_point>& grid,
          const tarn_frame_info& info) {
    char stem[32];
    std::snprintf(stem, sizeof stem, "frame-%06" PRIu64, info.sequence);
    try {
        const auto paths = writers::writeFrameFiles(
            directory, stem, reinterpret_cast<writers::GridView>(grid.data()));
        std::printf(
            "tarn stream: wrote %s.{ply,pcd,csv}, %s-depth.png, %s-depth16.png and "
            "%s-intensity.png\n",
            (directory + "/" + stem).c_str(), stem, stem, stem);
    } catch (const std::runtime_error& e) {
        throw Failure(ExitStatus::file, e.what());
    }
}

// Where the frames come from: a live stream (a sensor or the embedded simulated sensor), or a
// recording played through the same frame source.
class Input {
  public:
    explicit Input(const StreamOptions& o) {
        if (o.recording.empty()) {
            StreamCallbacks callbacks;
            callbacks.frameSource = true;
            live_ = std::make_unique<StreamSource>(o.source, callbacks);
            source_ = live_->frameSource();
            return;
        }
        char error[256] = "";
        const int result = tarn_source_open_recording(o.recording.c_str(), nullptr, 0, &source_,
                                                      error, sizeof error);
        if (result != TARN_OK) {
            throw Failure(ExitStatus::file, error[0] != '\0'
                                                ? std::string(error)
                                                : std::string("cannot open ") + o.recording + ": " +
                                                      tarn_recording_strerror(result));
        }
    }
    ~Input() {
        if (!live_) {
            tarn_source_close(source_);
        }
    }
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

    tarn_source* source() const { return source_; }
    const StreamSource* live() const { return live_.get(); }
    std::optional<SimCounts> stopSimulation() {
        return live_ ? live_->stopSimulation() : std::nullopt;
    }
    tarn_source_stats stats() const {
        tarn_source_stats s{};
        tarn_source_get_stats(source_, &s);
        return s;
    }

  private:
    std::unique_ptr<StreamSource> live_;
    tarn_source* source_ = nullptr;  // owned by live_ when live
};

// The sources a stream heard and rejected, as "A.B.C.D:P (N datagrams), ...".
std::string rejectedSourcesText(tarn_stream* stream) {
    tarn_rejected_source sources[TARN_REJECTED_SOURCES_KEPT] = {};
    std::size_t count = 0;
    if (stream == nullptr || tarn_stream_get_rejected_sources(
                                 stream, sources, TARN_REJECTED_SOURCES_KEPT, &count) != TARN_OK) {
        return "";
    }
    std::string text;
    for (std::size_t i = 0; i < count && i < TARN_REJECTED_SOURCES_KEPT; ++i) {
        const uint32_t a = sources[i].address;
        char source[64];
        std::snprintf(source, sizeof source, "%s%u.%u.%u.%u:%u (%" PRIu64 " datagrams)",
                      i == 0 ? "" : ", ", a >> 24, (a >> 16) & 0xFFu, (a >> 8) & 0xFFu, a & 0xFFu,
                      static_cast<unsigned>(sources[i].port), sources[i].datagrams);
        text += source;
    }
    return text;
}

// A stream that rejected every datagram says which sources it heard and whom it expected, so a
// sender on another port (a recording of the embedded simulated sensor, say) is found at once.
void explainRejections(const StreamOptions& o, const tarn_stream_stats& s, tarn_stream* stream) {
    if (!o.recording.empty() || o.source.device.empty() || s.datagrams_read == 0 ||
        s.datagrams_rejected != s.datagrams_read) {
        return;
    }
    const std::string port = std::to_string(o.source.devicePort) + " (or " +
                             std::to_string(TARN_DEFAULT_ALTERNATE_PORT) + ")";
    const std::string heard = rejectedSourcesText(stream);
    std::printf("tarn stream: every one of the %" PRIu64
                " datagrams came from a source other than the one expected, %s port %s%s%s; "
                "give the sender's address and source port as --device ADDRESS:PORT\n",
                s.datagrams_read, o.source.device.c_str(), port.c_str(),
                heard.empty() ? "" : "; heard from ", heard.c_str());
}

int run(const StreamOptions& o) {
    if (!o.saveDirectory.empty()) {
        requireWritableDirectory(o.saveDirectory);
    }
    StopSignal stop;  // before the library's threads start, so they inherit the mask
    printLibraryLines("tarn stream");
    if (o.angle) {
        KESOEnableAngleMeasure(true, o.box);
    }
    Input input(o);
    const StreamSource* live = input.live();
    if (live != nullptr) {
        std::printf("tarn stream: listening to %s\n", live->description().c_str());
        std::printf("tarn stream: receive buffer %" PRIu64 " bytes granted by the kernel\n",
                    input.stats().stream.receive_buffer_bytes);
    } else {
        std::printf("tarn stream: playing %s%s\n", o.recording.c_str(),
                    o.realtime ? " at its recorded pace" : "");
    }
    std::unique_ptr<FrameSaver> saver;
    if (o.every != 0) {
        saver = std::make_unique<FrameSaver>(o.saveDirectory, kSaveQueue, "tarn stream");
    }

    std::vector<tarn_point> incoming(TARN_CELLS);
    std::vector<tarn_point> last(TARN_CELLS);
    tarn_frame_info lastInfo{};
    uint64_t taken = 0;
    AngleTally angle;
    RunClock clock(o.bounds);
    Clock::time_point lastTick = clock.start();
    tarn_stream_stats before = input.stats().stream;
    tarn_stream_stats now = before;
    int64_t firstCaptureNs = 0;
    bool ended = false;
    while (!ended && !clock.done(taken, now.datagrams_read) && stop.sleepUntil(Clock::now())) {
        tarn_frame_info info{};
        const int result =
            tarn_source_next(input.source(), clock.waitMs(kMaxWaitMs), incoming.data(), &info);
        if (result == TARN_OK) {
            if (o.realtime && live == nullptr) {
                // The recorded pace: each frame at its capture time's offset from the first.
                if (taken == 0) {
                    firstCaptureNs = info.receive_realtime_ns;
                }
                const auto offset = std::chrono::nanoseconds(
                    std::max<int64_t>(0, info.receive_realtime_ns - firstCaptureNs));
                if (!stop.sleepUntil(clock.start() +
                                     std::chrono::duration_cast<Clock::duration>(offset))) {
                    break;
                }
            }
            incoming.swap(last);
            lastInfo = info;
            ++taken;
            if (o.angle) {
                measureAngle(last, angle);
            }
            if (saver && info.sequence % static_cast<uint64_t>(o.every) == 0) {
                saver->offer(last.data(), info, live == nullptr);
            }
        } else if (result == TARN_RECORDING_END) {
            ended = true;
        } else if (result != TARN_ERR_TIMEOUT) {
            const std::string reason = tarn_source_error(input.source());
            throw Failure(
                result == TARN_ERR_RECORDING_DAMAGED ? ExitStatus::file : ExitStatus::failure,
                "reading a frame: " +
                    (reason.empty() ? std::string(tarn_strerror(result)) : reason));
        }
        now = input.stats().stream;
        if (clock.tickDue()) {
            const Clock::time_point tick = Clock::now();
            printStatus(clock.elapsed(), now, before,
                        std::chrono::duration<double>(tick - lastTick).count(),
                        o.angle ? &angle : nullptr, live);
            before = now;
            lastTick = tick;
        }
    }
    const double elapsed = clock.elapsed();
    const std::optional<SimCounts> sent = input.stopSimulation();
    const tarn_source_stats stats = input.stats();
    if (saver) {
        saver->finish();
    }
    std::printf("tarn stream: %s after %.1f s\n",
                stop.stopped() ? "stopped" : (ended ? "the recording ended" : "done"), elapsed);
    printSummary(elapsed, stats.stream, o.angle ? &angle : nullptr, live);
    if (stats.frames_dropped != 0) {
        std::printf("tarn stream: %" PRIu64
                    " frames dropped before this tool took them (its "
                    "frame queue was full)\n",
                    stats.frames_dropped);
    }
    if (saver) {
        std::printf("tarn stream: %" PRIu64 " frames taken, %" PRIu64 " saved, %" PRIu64
                    " not saved (the save queue was full or a write failed)\n",
                    taken, saver->saved(), saver->notSaved());
    }
    if (sent) {
        std::printf("tarn stream: the embedded simulated sensor sent %" PRIu64 " frames, %" PRIu64
                    " point datagrams, %" PRIu64 " IMU datagrams\n",
                    sent->frames, sent->pointDatagrams, sent->imuDatagrams);
    }
    explainRejections(o, stats.stream, tarn_source_stream(input.source()));
    if (saver && !saver->failure().empty()) {
        throw Failure(ExitStatus::file, saver->failure());
    }
    if (taken == 0) {
        if (outputFailed()) {
            return 0;  // its output ended it before a frame came; runGuarded reports that
        }
        throw Failure(ExitStatus::noData, "no frame arrived");
    }
    if (!o.saveDirectory.empty() && o.every == 0) {
        save(o.saveDirectory, last, lastInfo);
    }
    return 0;
}

}  // namespace

int runStream(const Words& words) {
    CLI::App app;
    StreamOptions o;
    registerStream(app, o);
    if (!parseCommandLine(app, words)) {
        return 0;
    }
    checkSourceOptions(app, o.source);
    if (o.realtime && o.recording.empty()) {
        throw UsageError("--realtime needs a recording");
    }
    return run(o);
}

}  // namespace tarn::cli
