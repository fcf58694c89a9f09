// tarn: one command to see, check and configure a sensor, and to play one on loopback.
#include <cstdio>
#include <exception>
#include <string>

#include "tarn/tarn.h"
#include "tools/tarn/commands.h"
#include "tools/tarn/exit_status.h"
#include "tools/tarn/options.h"
#include "tools/tarn/output.h"

namespace tarn::cli {
namespace {

const char* const kUsage = R"(usage: tarn <command> [options]
       tarn <command> --help, tarn help [<command>]
       tarn --version

Commands:
  stream   streams frames with a status line per second; measures the plane angle, saves frames
  view     a live view in the browser (points, depth, intensity, status), also for Foxglove
  record   records a stream into a pcap file
  replay   sends a recording to a local port as a sensor would
  info     what a recording holds: datagrams, frames, pixel type, duration, frame rate, IMU
  export   writes a recording's frames as PLY, PCD, CSV and PNG files
  sim      the simulated sensor on loopback: streams a tilted wall, serves the control port
  net      reads or writes a sensor's network settings, checks an address text
  ros2     publishes sensors' frames as ROS 2 topics over DDS, no ROS installation needed

Examples:
  tarn stream --duration 5 --angle --save .    the embedded simulated sensor, 5 seconds
  tarn stream --device 192.168.1.10            a sensor sending to local port 7001
  tarn record capture.pcap --device 192.168.1.10 --duration 10
  tarn info capture.pcap
  tarn net get --device 192.168.1.10           the sensor's network settings

)";

struct Command {
    const char* name;
    int (*run)(const Words&);
};

constexpr Command kCommands[] = {
    {"stream", runStream}, {"record", runRecord}, {"replay", runReplay}, {"info", runInfo},
    {"export", runExport}, {"sim", runSim},       {"net", runNet},       {"view", runView},
    {"ros2", runRos2}};

int dispatch(const Words& words) {
    if (words.empty()) {
        throw UsageError("missing command");
    }
    const std::string& first = words.front();
    if (first == "help" && words.size() > 1) {
        // tarn help COMMAND is tarn COMMAND --help.
        return dispatch({words[1], "--help"});
    }
    if (first == "--help" || first == "-h" || first == "help") {
        std::fputs(kUsage, stdout);
        std::fputs(kExitStatusHelp, stdout);
        return 0;
    }
    if (first == "--version") {
        std::printf("tarn %s\n", tarn_version());
        return 0;
    }
    for (const Command& command : kCommands) {
        if (first == command.name) {
            return runGuarded(std::string("tarn ") + command.name, command.run,
                              Words(words.begin() + 1, words.end()));
        }
    }
    throw UsageError("unknown command '" + first + "'");
}

int runCaught(const std::string& name, int (*command)(const Words&), const Words& words) {
    try {
        return command(words);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "%s: %s (see %s --help)\n", name.c_str(), e.what(), name.c_str());
        return static_cast<int>(ExitStatus::usage);
    } catch (const Failure& e) {
        std::fprintf(stderr, "%s: %s\n", name.c_str(), e.what());
        return static_cast<int>(e.status());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", name.c_str(), e.what());
        return static_cast<int>(ExitStatus::failure);
    }
}

}  // namespace

int runGuarded(const std::string& name, int (*command)(const Words&), const Words& words) {
    return finishOutput(name, runCaught(name, command, words));
}

}  // namespace tarn::cli

int main(int argc, char** argv) {
    if (!tarn::cli::prepareStandardStreams()) {
        std::fputs("tarn: cannot open /dev/null in place of a closed standard descriptor\n",
                   stderr);
        return static_cast<int>(tarn::cli::ExitStatus::failure);
    }
    return tarn::cli::runGuarded("tarn", tarn::cli::dispatch,
                                 tarn::cli::Words(argv + 1, argv + argc));
}
