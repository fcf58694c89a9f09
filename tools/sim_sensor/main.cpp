// tarn_sim_sensor: plays the sensor's measurement side on loopback. It streams frames of a tilted
// wall (and IMU samples) to a UDP port for a given number of frames or seconds, optionally with
// faults, then prints what it sent. Each frame's timestamp is its frame number, from 1. Its
// options come from the simulated sensor's option table (tarn/sim.h).
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "tarn/sim.h"
#include "tools/common/address.h"
#include "tools/common/option_table.h"
#include "tools/common/sim_options.h"

namespace {

constexpr const char* kDefaultSeconds = "5";
constexpr int kWaitSliceMs = 50;
constexpr std::size_t kErrorBytes = 256;

// Written by the signal handler, read by the main thread's waiting loop (lock-free atomic).
std::atomic<bool> stopRequested{false};

void requestStop(int) {
    stopRequested = true;
}

constexpr uint16_t kDefaultDestinationPort = 7001;
constexpr uint16_t kDefaultSourcePort = 6301;

// The options of this program from the component's table, in the order of its usage text.
const std::vector<const char*> kStreamOptions = {"pixel-type", "fps",      "frames", "seconds",
                                                 "tilt",       "distance", "noise",  "imu-rate"};
const std::vector<const char*> kFaultOptions = {
    "drop-rate", "duplicate-rate", "reorder-rate", "seed",    "drop-first-of", "drop-last-of",
    "drop",      "duplicate",      "delay",        "corrupt", "truncate",      "foreign"};
// The spellings of earlier versions, before --to and --from.
const std::vector<const char*> kEarlierOptions = {"port", "address", "source-address",
                                                  "source-port"};

struct Config {
    Config() {
        if (tarn_sim_config_new(&config) != TARN_SIM_OK) {
            throw std::runtime_error("out of memory");
        }
    }
    ~Config() { tarn_sim_config_free(config); }
    Config(const Config&) = delete;
    Config& operator=(const Config&) = delete;

    void set(const std::string& name, const char* value) {
        char error[kErrorBytes] = {};
        if (tarn_sim_config_set(config, name.c_str(), value, error, sizeof error) != TARN_SIM_OK) {
            throw tarn::tools::UsageError("--" + name + " " + error);
        }
    }

    tarn_sim_config* config = nullptr;
};

// The command line's endpoints, set on the configuration once it is read.
struct Endpoints {
    tarn::tools::Endpoint to;
    tarn::tools::Endpoint from;
};

void registerOptions(CLI::App& app, Config& config, Endpoints& e) {
    tarn::tools::describeCommand(
        app, "usage: tarn_sim_sensor --to A[:P] [options]",
        "Streams frames of a simulated tilted wall to --to and stops by itself.",
        "  tarn_sim_sensor --to 127.0.0.1:7001 --frames 30 --fps 30\n");
    const auto set = [&config](const std::string& name, const std::string& value) {
        config.set(name, value.c_str());
    };
    tarn::tools::addEndpointOption(app, "to", e.to, {kDefaultDestinationPort, 1, 65535, true},
                                   "where the measurements go, within 127.0.0.0/8 (required)\n"
                                   "[port 7001]");
    tarn::tools::addEndpointOption(app, "from", e.from, {kDefaultSourcePort, 0, 65535, true},
                                   "the source address and port, port 0 for any\n"
                                   "[127.0.0.1:6301]");
    tarn::tools::addSimTableOptions(app, kStreamOptions, set, "Options");
    app.get_option("--seconds")
        ->description("stop after S seconds, 0 for no bound [5 when --frames is 0, else none]");
    tarn::tools::addSimTableOptions(app, kFaultOptions, set, "Faults");
    tarn::tools::addSimTableOptions(app, kEarlierOptions, set, "");
}

// Reads the command line into config; false for --help. Throws UsageError.
bool readOptions(int argc, char** argv, Config& config) {
    CLI::App app;
    Endpoints e;
    registerOptions(app, config, e);
    if (!tarn::tools::parseCommandLine(app, std::vector<std::string>(argv + 1, argv + argc))) {
        return false;
    }
    if (app.count("--to") == 0 && app.count("--port") == 0) {
        throw tarn::tools::UsageError("--to is required");
    }
    if (app.count("--to") != 0) {
        config.set("to", (e.to.address + ":" + std::to_string(e.to.port)).c_str());
    }
    if (app.count("--from") != 0) {
        config.set("from", (e.from.address + ":" + std::to_string(e.from.port)).c_str());
    }
    tarn_sim_summary summary{};
    tarn_sim_config_summary(config.config, &summary);
    if (app.count("--seconds") == 0 && (app.count("--frames") == 0 || summary.frames == 0)) {
        config.set("seconds", kDefaultSeconds);
    }
    return true;
}

int run(const Config& config) {
    tarn_sim_summary s{};
    tarn_sim_config_summary(config.config, &s);
    tarn_sim* sim = nullptr;
    const int opened = tarn_sim_open(config.config, &sim);
    if (opened != TARN_SIM_OK) {
        std::fprintf(stderr, "tarn_sim_sensor: cannot send from %s:%d: %s\n", s.source_address,
                     s.source_port, tarn_sim_strerror(opened));
        return 1;
    }
    int sourcePort = 0;
    tarn_sim_source_port(sim, &sourcePort);
    std::printf(
        "tarn_sim_sensor: streaming a wall tilted %.2f degrees from %s:%d to %s:%d, "
        "%d datagrams per frame, %.1f fps\n",
        s.tilt_degrees, s.source_address, sourcePort, s.destination_address, s.destination_port,
        tarn_sim_datagrams_per_frame(s.pixel_type), s.fps);
    std::fflush(stdout);

    tarn_sim_start(sim);
    while (!stopRequested && tarn_sim_wait(sim, kWaitSliceMs) == TARN_SIM_ERR_TIMEOUT) {
    }
    tarn_sim_stop(sim);
    tarn_sim_counters c{};
    tarn_sim_get_counters(sim, &c);
    tarn_sim_close(sim);
    std::printf(
        "tarn_sim_sensor: sent %llu frames, %llu datagrams (%llu point, %llu IMU), "
        "%llu send errors\n",
        static_cast<unsigned long long>(c.frames), static_cast<unsigned long long>(c.datagrams),
        static_cast<unsigned long long>(c.point_datagrams),
        static_cast<unsigned long long>(c.imu_datagrams),
        static_cast<unsigned long long>(c.send_errors));
    std::printf("tarn_sim_sensor: faults: %llu dropped, %llu duplicated, %llu reordered\n",
                static_cast<unsigned long long>(c.dropped),
                static_cast<unsigned long long>(c.duplicated),
                static_cast<unsigned long long>(c.reordered));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        Config config;
        if (!readOptions(argc, argv, config)) {
            return 0;
        }
        std::signal(SIGINT, requestStop);
        std::signal(SIGTERM, requestStop);
        return run(config);
    } catch (const tarn::tools::UsageError& e) {
        std::fprintf(stderr, "tarn_sim_sensor: %s (see tarn_sim_sensor --help)\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarn_sim_sensor: %s\n", e.what());
        return 1;
    }
}
