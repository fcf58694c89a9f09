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

namespace {

constexpr const char* kDefaultSeconds = "5";
constexpr int kWaitSliceMs = 50;
constexpr std::size_t kErrorBytes = 256;

// Written by the signal handler, read by the main thread's waiting loop (lock-free atomic).
std::atomic<bool> stopRequested{false};

void requestStop(int) {
    stopRequested = true;
}

struct Offered {
    const char* name;
    const char* fallback;  // the default this program shows instead of the table's, or null
};

// The options of this program, in the order of its usage text.
const Offered kOptions[] = {
    {"port", "required"},        {"address", nullptr},
    {"source-address", nullptr}, {"source-port", nullptr},
    {"pixel-type", nullptr},     {"fps", nullptr},
    {"frames", nullptr},         {"seconds", "5 when --frames is 0, else none"},
    {"tilt", nullptr},           {"distance", nullptr},
    {"noise", nullptr},          {"imu-rate", nullptr},
    {"drop-rate", nullptr},      {"duplicate-rate", nullptr},
    {"reorder-rate", nullptr},   {"seed", nullptr},
    {"drop-first-of", nullptr},  {"drop-last-of", nullptr},
    {"drop", nullptr},           {"duplicate", nullptr},
    {"delay", nullptr},          {"corrupt", nullptr},
    {"truncate", nullptr},       {"foreign", nullptr},
};

const Offered* offered(const std::string& name) {
    for (const Offered& option : kOptions) {
        if (name == option.name) {
            return &option;
        }
    }
    return nullptr;
}

std::string usage() {
    std::string text =
        "usage: tarn_sim_sensor --port P [options]\n"
        "Streams frames of a simulated tilted wall to 127.0.0.1:P and stops by "
        "itself.\n";
    for (const Offered& option : kOptions) {
        char line[1024];
        tarn_sim_option_usage(option.name, nullptr, line, sizeof line);
        std::string entry = line;
        // The table's default, replaced by this program's own where it has one.
        const tarn_sim_option* table = tarn_sim_option_find(option.name);
        if (option.fallback != nullptr && table->fallback != nullptr) {
            const std::string from = std::string("[") + table->fallback + "]";
            const std::size_t at = entry.rfind(from);
            if (at != std::string::npos) {
                entry.replace(at, from.size(), std::string("[") + option.fallback + "]");
            }
        }
        text += entry;
    }
    return text;
}

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
            throw std::invalid_argument("--" + name + " " + error);
        }
    }

    tarn_sim_config* config = nullptr;
};

// Reads the command line into config; false for --help. Throws std::invalid_argument.
bool readOptions(int argc, char** argv, Config& config) {
    bool port = false;
    bool frames = false;
    bool seconds = false;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            return false;
        }
        const Offered* option = word.compare(0, 2, "--") == 0 ? offered(word.substr(2)) : nullptr;
        if (option == nullptr) {
            throw std::invalid_argument(word.compare(0, 2, "--") == 0
                                            ? "unknown option " + word
                                            : "unexpected argument: " + word);
        }
        const bool flag = tarn_sim_option_find(option->name)->kind == TARN_SIM_OPTION_FLAG;
        if (!flag && i + 1 >= argc) {
            throw std::invalid_argument("option " + word + " needs a value");
        }
        config.set(option->name, flag ? nullptr : argv[++i]);
        port = port || std::strcmp(option->name, "port") == 0;
        frames = frames || std::strcmp(option->name, "frames") == 0;
        seconds = seconds || std::strcmp(option->name, "seconds") == 0;
    }
    if (!port) {
        throw std::invalid_argument("--port is required");
    }
    tarn_sim_summary summary{};
    tarn_sim_config_summary(config.config, &summary);
    if (!seconds && (!frames || summary.frames == 0)) {
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
            std::fputs(usage().c_str(), stdout);
            return 0;
        }
        std::signal(SIGINT, requestStop);
        std::signal(SIGTERM, requestStop);
        return run(config);
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "tarn_sim_sensor: %s\n%s", e.what(), usage().c_str());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarn_sim_sensor: %s\n", e.what());
        return 1;
    }
}
