// tarn sim: the simulated sensor as a command. Its options, their checks and their usage lines all
// come from the simulated sensor's option table (tarn/sim.h).
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <string>

#include "tarn/sim.h"
#include "tools/tarn/args.h"
#include "tools/tarn/commands.h"
#include "tools/tarn/exit_status.h"
#include "tools/tarn/sim_stream.h"
#include "tools/tarn/stop_signal.h"

namespace tarn::cli {
namespace {

using Clock = std::chrono::steady_clock;

// How often the main thread looks whether the stream has ended.
constexpr auto kPollPeriod = std::chrono::milliseconds(20);

const SimOptionNames kStreamOptions = {"to",       "from",     "fps",      "pixel-type",
                                       "imu-rate", "tilt",     "distance", "noise",
                                       "frames",   "duration", "no-stream"};
const SimOptionNames kFaultOptions = {"loss",          "duplicates",   "reorder",  "seed",
                                      "drop-first-of", "drop-last-of", "drop",     "duplicate",
                                      "delay",         "corrupt",      "truncate", "foreign"};
const SimOptionNames kControlOptions = {"control", "pkg-size", "control-fault"};

const char* const kIntroduction = R"(usage: tarn sim [options]
The simulated sensor on loopback: streams frames of a tilted wall and IMU samples from --from to
--to, and serves the control port on --control. Prints a status line per second; stops on Ctrl-C,
after --duration or after --frames.
)";

const char* const kFaultsHeading =
    R"(Faults (frame K counts from 0, the first frame sent; datagram D from 0, negative from the end;
the options naming a frame may be repeated):
)";

const char* const kExamples = R"(
Examples:
  tarn sim                                     stream to 127.0.0.1:7001 until Ctrl-C
  tarn sim --tilt 20 --fps 10 --duration 5     a wall at 20 degrees for 5 seconds
  tarn sim --loss 0.01 --drop-last-of 3        lose 1% of the datagrams and frame 3's end
  tarn sim --no-stream --control 127.0.10.1    a control port for tarn net
  tarn sim --control 127.0.10.1 --control-fault get-net:refuse:1
)";

SimOptionNames allOptions() {
    SimOptionNames names = kStreamOptions;
    names.insert(names.end(), kFaultOptions.begin(), kFaultOptions.end());
    names.insert(names.end(), kControlOptions.begin(), kControlOptions.end());
    return names;
}

void printUsage() {
    std::printf("%s\nStream:\n%s\n%s%s\nControl port:\n%s%s", kIntroduction,
                simOptionUsage(kStreamOptions).c_str(), kFaultsHeading,
                simOptionUsage(kFaultOptions).c_str(), simOptionUsage(kControlOptions).c_str(),
                kExamples);
}

// Whether the command line asks for any fault, so the status lines count them.
bool anyFault(const Args& args) {
    return std::any_of(kFaultOptions.begin(), kFaultOptions.end(), [&](const char* name) {
        return std::string(name) != "seed" && args.has(name);
    });
}

std::string controlText(const tarn_sim_counters& c) {
    return "  control: " + std::to_string(c.control_connections) + " connections, " +
           std::to_string(c.control_requests) + " requests";
}

std::string faultText(const tarn_sim_counters& c) {
    char text[192];
    std::snprintf(text, sizeof text,
                  "  dropped %" PRIu64 " duplicated %" PRIu64 " reordered %" PRIu64
                  " truncated %" PRIu64 " corrupted %" PRIu64 " foreign %" PRIu64,
                  c.dropped, c.duplicated, c.reordered, c.truncated, c.corrupted, c.foreign);
    return text;
}

void printStatus(double elapsed, const tarn_sim_counters& c, const tarn_sim_summary& s,
                 bool faulty) {
    std::string line;
    if (s.streaming) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "  frames %" PRIu64 "  datagrams %" PRIu64 "  imu %" PRIu64
                      "  send errors %" PRIu64,
                      c.frames, c.point_datagrams, c.imu_datagrams, c.send_errors);
        line = text + (faulty ? faultText(c) : "");
    }
    const std::string control = s.control_address[0] != '\0' ? controlText(c) : "";
    std::printf("tarn sim: %.1f s%s%s\n", elapsed, line.c_str(), control.c_str());
    std::fflush(stdout);
}

void printSummary(const tarn_sim_counters& c, const tarn_sim_summary& s) {
    if (s.streaming) {
        std::printf("tarn sim: sent %" PRIu64 " frames, %" PRIu64 " point datagrams, %" PRIu64
                    " IMU datagrams, %" PRIu64 " send errors\n",
                    c.frames, c.point_datagrams, c.imu_datagrams, c.send_errors);
        std::printf("tarn sim: faults:%s\n", faultText(c).c_str() + 1);
    }
    if (s.control_address[0] != '\0') {
        std::printf("tarn sim:%s\n", controlText(c).c_str() + 1);
    }
}

const char* pixelName(int pixelType) {
    switch (pixelType) {
        case 0:
            return "4-byte";
        case 1:
            return "8-byte";
        default:
            return "10-byte";
    }
}

int run(const SimConfig& config, bool faulty) {
    StopSignal stop;  // before the sensor's threads start, so they inherit the mask
    const tarn_sim_summary s = config.summary();
    SimSensor sensor(config);
    if (s.control_address[0] != '\0') {
        std::printf("tarn sim: control port on %s:6501\n", s.control_address);
    }
    if (s.streaming) {
        std::printf(
            "tarn sim: streaming a wall tilted %.2f degrees from %s:%d to %s:%d, %s "
            "pixels, %d datagrams per frame, %.1f fps, %.0f IMU samples/s\n",
            s.tilt_degrees, s.source_address, sensor.sourcePort(), s.destination_address,
            s.destination_port, pixelName(s.pixel_type), tarn_sim_datagrams_per_frame(s.pixel_type),
            s.fps, s.imu_rate);
    }
    std::fflush(stdout);

    const Clock::time_point start = Clock::now();
    const Clock::time_point end =
        s.duration_seconds > 0.0 ? start + std::chrono::duration_cast<Clock::duration>(
                                               std::chrono::duration<double>(s.duration_seconds))
                                 : Clock::time_point::max();
    auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    sensor.start();
    Clock::time_point nextTick = start + std::chrono::seconds(1);
    // A stream ends by itself after its frames or its duration; a control port alone at the end.
    auto wakeUp = [&] {
        const Clock::time_point next = std::min(nextTick, end);
        return s.streaming ? std::min(next, Clock::now() + kPollPeriod) : next;
    };
    while (!(s.streaming && sensor.wait(0)) && Clock::now() < end && stop.sleepUntil(wakeUp())) {
        if (Clock::now() >= nextTick) {
            printStatus(elapsed(), sensor.counters(), s, faulty);
            nextTick += std::chrono::seconds(1);
        }
    }
    sensor.stop();
    std::printf("tarn sim: %s after %.1f s\n", stop.stopped() ? "stopped" : "done", elapsed());
    printSummary(sensor.counters(), s);
    return static_cast<int>(ExitStatus::ok);
}

}  // namespace

int runSim(const Words& words) {
    const SimOptionNames names = allOptions();
    const Args args(words, simOptionSpecs(names));
    if (args.help()) {
        printUsage();
        return static_cast<int>(ExitStatus::ok);
    }
    args.expectPositional(0, 0, "");
    SimConfig config;
    config.setFrom(args, names);
    if (!args.has("control") && (args.has("pkg-size") || args.has("control-fault"))) {
        throw UsageError("--pkg-size and --control-fault need --control");
    }
    if (args.has("no-stream") && !args.has("control")) {
        throw UsageError("--no-stream needs --control, or there is nothing to do");
    }
    return run(config, anyFault(args));
}

}  // namespace tarn::cli
