// tarn sim: the simulated sensor as a command. Its options, their checks and their usage lines all
// come from the simulated sensor's option table (tarn/sim.h).
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <string>

#include "tarn/sim.h"
#include "tarn/tarn.h"
#include "tools/tarn/commands.h"
#include "tools/tarn/exit_status.h"
#include "tools/tarn/options.h"
#include "tools/tarn/sim_stream.h"
#include "tools/tarn/stop_signal.h"

namespace tarn::cli {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kDefaultDestinationPort = 7001;
// How often the main thread looks whether the stream has ended.
constexpr auto kPollPeriod = std::chrono::milliseconds(20);

// --to and --from are the tool's endpoint options, read as every command reads them.
const SimOptionNames kStreamOptions = {"fps",   "pixel-type", "imu-rate", "tilt",     "distance",
                                       "noise", "frames",     "duration", "no-stream"};
const SimOptionNames kFaultOptions = {"loss",          "duplicates",   "reorder",  "seed",
                                      "drop-first-of", "drop-last-of", "drop",     "duplicate",
                                      "delay",         "corrupt",      "truncate", "foreign"};
const SimOptionNames kControlOptions = {"control", "pkg-size", "control-fault"};

const char* const kUsage = "usage: tarn sim [options]";
const char* const kDescription =
    R"(The simulated sensor on loopback: streams frames of a tilted wall and IMU samples from --from to
--to, and serves the control port on --control. Prints a status line per second; stops on Ctrl-C,
after --duration or after --frames.)";

const char* const kFaultsGroup =
    "Faults (frame K counts from 0, the first frame sent; datagram D from 0, negative from the "
    "end; the options naming a frame may be repeated)";

const char* const kExamples =
    R"(  tarn sim                                     stream to 127.0.0.1:7001 until Ctrl-C
  tarn sim --tilt 20 --fps 10 --duration 5     a wall at 20 degrees for 5 seconds
  tarn sim --loss 0.01 --drop-last-of 3        lose 1% of the datagrams and frame 3's end
  tarn sim --no-stream --control 127.0.10.1    a control port for tarn net
  tarn sim --control 127.0.10.1 --control-fault get-net:refuse:1
)";

struct SimOptions {
    SimConfig config;
    Endpoint to;
    Endpoint from;
};

void registerSim(CLI::App& app, SimOptions& o) {
    describeCommand(app, kUsage, kDescription, kExamples);
    const std::string stream = "Stream";
    addEndpointOption(app, "to", o.to, {kDefaultDestinationPort, 1, 65535, true},
                      "where the measurements go, within 127.0.0.0/8 [127.0.0.1:7001]")
        ->group(stream);
    addEndpointOption(app, "from", o.from, {TARN_DEFAULT_ALTERNATE_PORT, 0, 65535, true},
                      "the sensor's source address and port, port 0 for any [127.0.0.1:6301]")
        ->group(stream);
    addSimOptions(app, kStreamOptions, o.config, stream);
    addSimOptions(app, kFaultOptions, o.config, kFaultsGroup);
    addSimOptions(app, kControlOptions, o.config, "Control port");
}

// Whether the command line asks for any fault, so the status lines count them.
bool anyFault(const CLI::App& app) {
    return std::any_of(kFaultOptions.begin(), kFaultOptions.end(), [&](const char* name) {
        return std::string(name) != "seed" && app.count(std::string("--") + name) != 0;
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
    CLI::App app;
    SimOptions o;
    registerSim(app, o);
    if (!parseCommandLine(app, words)) {
        return static_cast<int>(ExitStatus::ok);
    }
    auto endpointText = [](const Endpoint& e) { return e.address + ":" + std::to_string(e.port); };
    if (app.count("--to") != 0) {
        o.config.set("to", endpointText(o.to));
    }
    if (app.count("--from") != 0) {
        o.config.set("from", endpointText(o.from));
    }
    const bool control = app.count("--control") != 0;
    if (!control && (app.count("--pkg-size") != 0 || app.count("--control-fault") != 0)) {
        throw UsageError("--pkg-size and --control-fault need --control");
    }
    if (app.count("--no-stream") != 0 && !control) {
        throw UsageError("--no-stream needs --control, or there is nothing to do");
    }
    return run(o.config, anyFault(app));
}

}  // namespace tarn::cli
