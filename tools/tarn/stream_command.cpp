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
#include <string>
#include <vector>

#include "KESOApi.h"
#include "tarn/tarn.h"
#include "tools/tarn/args.h"
#include "tools/tarn/commands.h"
#include "tools/tarn/exit_status.h"
#include "tools/tarn/files.h"
#include "tools/tarn/output.h"
#include "tools/tarn/run_bounds.h"
#include "tools/tarn/stop_signal.h"
#include "tools/tarn/stream_source.h"
#include "tools/tarn/writers/frame_files.h"

namespace tarn::cli {
namespace {

using Clock = std::chrono::steady_clock;

const char* const kUsage = R"(usage: tarn stream [options]
Streams frames from a sensor, or without --device from the embedded simulated sensor on loopback,
and prints a status line per second: frames and datagrams per second, frames lost (their last
datagram, or to a full queue), merged and incomplete, datagrams rejected and invalid, kernel drops, IMU samples per second, and with --angle
the plane angle. Stops on Ctrl-C, after --frames, --duration or --idle.

  --save DIR             write the last frame into DIR (created when missing) as PLY, PCD, CSV, a
                         depth and an intensity PNG (frame-NNNNNN.ply, ...); with --every K every
                         K-th frame instead
  --every K              with --save: every K-th frame
  --angle                measure the plane angle of every frame
  --box Y0:Y1:Z0:Z1:X0:X1
                         the box the plane is measured in: y across the plane, z along it (cut
                         into slices of 50), x the distance; implies --angle
                         [-1000:1000:-400:400:1000:3000, the simulated wall]
)";

const char* const kExamples = R"(
Examples:
  tarn stream --duration 5 --angle --save out   the simulated wall: status, angle, pictures
  tarn stream --device 192.168.1.10 --local-port 2368
  tarn stream --device 192.168.1.10 --frames 100 --save frames --every 10
)";

constexpr long kMaxEvery = 1000000;
constexpr int kMaxWaitMs = 100;
constexpr long kMaxBoxBound = 100000;
constexpr std::size_t kBoxBounds = 6;

struct StreamOptions {
    SourceOptions source;
    RunBounds bounds;
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

StreamOptions readOptions(const Args& args) {
    StreamOptions o;
    o.source = readSourceOptions(args);
    o.bounds = readRunBounds(args);
    o.saveDirectory = args.text("save", "");
    o.every = args.integer("every", 0, 1, kMaxEvery);
    if (o.every != 0 && o.saveDirectory.empty()) {
        throw UsageError("--every needs --save");
    }
    o.angle = args.flag("angle") || args.has("box");
    if (args.has("box")) {
        o.box = readBox(args.text("box", ""));
    }
    return o;
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

std::string trueTiltText(const StreamSource& source) {
    char text[48];
    std::snprintf(text, sizeof text, " (true %.2f)", static_cast<double>(source.trueTilt()));
    return source.simulated() ? text : "";
}

void printStatus(double elapsed, const tarn_stream_stats& now, const tarn_stream_stats& before,
                 double seconds, const AngleTally* angle, const StreamSource& source) {
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
                  const StreamSource& source) {
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

int run(const StreamOptions& o) {
    if (!o.saveDirectory.empty()) {
        requireWritableDirectory(o.saveDirectory);
    }
    StopSignal stop;  // before the library's threads start, so they inherit the mask
    printLibraryLines("tarn stream");
    if (o.angle) {
        KESOEnableAngleMeasure(true, o.box);
    }
    StreamSource source(o.source, {});
    std::printf("tarn stream: listening to %s\n", source.description().c_str());
    tarn_stream_stats before{};
    tarn_stream_get_stats(source.stream(), &before);
    std::printf("tarn stream: receive buffer %" PRIu64 " bytes granted by the kernel\n",
                before.receive_buffer_bytes);

    std::vector<tarn_point> incoming(TARN_CELLS);
    std::vector<tarn_point> last(TARN_CELLS);
    tarn_frame_info lastInfo{};
    bool haveFrame = false;
    AngleTally angle;
    RunClock clock(o.bounds);
    Clock::time_point lastTick = clock.start();
    tarn_stream_stats now = before;
    while (!clock.done(now.frames_decoded, now.datagrams_read) && stop.sleepUntil(Clock::now())) {
        const int waitMs = clock.waitMs(kMaxWaitMs);
        tarn_frame_info info{};
        const int result = tarn_stream_wait_frame(source.stream(), waitMs, incoming.data(), &info);
        if (result == TARN_OK) {
            incoming.swap(last);
            lastInfo = info;
            haveFrame = true;
            if (o.angle) {
                measureAngle(last, angle);
            }
            if (o.every != 0 && info.sequence % static_cast<uint64_t>(o.every) == 0) {
                save(o.saveDirectory, last, lastInfo);
            }
        } else if (result != TARN_ERR_TIMEOUT) {
            throw Failure(ExitStatus::failure,
                          std::string("waiting for a frame: ") + tarn_strerror(result));
        }
        tarn_stream_get_stats(source.stream(), &now);
        if (clock.tickDue()) {
            const Clock::time_point tick = Clock::now();
            printStatus(clock.elapsed(), now, before,
                        std::chrono::duration<double>(tick - lastTick).count(),
                        o.angle ? &angle : nullptr, source);
            before = now;
            lastTick = tick;
        }
    }
    const double elapsed = clock.elapsed();
    const std::optional<SimCounts> sent = source.stopSimulation();
    tarn_stream_get_stats(source.stream(), &now);
    std::printf("tarn stream: %s after %.1f s\n", stop.stopped() ? "stopped" : "done", elapsed);
    printSummary(elapsed, now, o.angle ? &angle : nullptr, source);
    if (sent) {
        std::printf("tarn stream: the embedded simulated sensor sent %" PRIu64 " frames, %" PRIu64
                    " point datagrams, %" PRIu64 " IMU datagrams\n",
                    sent->frames, sent->pointDatagrams, sent->imuDatagrams);
    }
    if (!haveFrame) {
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
    const Args args(words, withSourceOptions(withRunBounds({{"save", OptionKind::value},
                                                            {"every", OptionKind::value},
                                                            {"angle", OptionKind::flag},
                                                            {"box", OptionKind::value}})));
    if (args.help()) {
        std::printf("%s\n%s\n%s%s", kUsage, kSourceHelp, kRunBoundsHelp, kExamples);
        return 0;
    }
    args.expectPositional(0, 0, "");
    return run(readOptions(args));
}

}  // namespace tarn::cli
