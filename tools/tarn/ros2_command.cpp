// tarn ros2: publishes sensors' frames as ROS 2 topics over DDS, one namespace per sensor, with
// a status line per second.
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tarn/dds.h"
#include "tarn/sim.h"
#include "tarn/tarn.h"
#include "tools/tarn/commands.h"
#include "tools/tarn/exit_status.h"
#include "tools/tarn/options.h"
#include "tools/tarn/stop_signal.h"

namespace tarn::cli {
namespace {

const char* const kUsage = "usage: tarn ros2 [SOURCE ...] [options]";
const char* const kDescription =
    R"(Publishes every SOURCE's frames as ROS 2 topics over DDS (Eclipse Cyclone DDS), with no ROS
installation: /NS/points, /NS/depth/image, /NS/intensity/image, /NS/imu_raw (and /NS/imu with an
IMU layout in a library application) and /NS/diagnostics once a second. A SOURCE is a sensor's
address, ADDRESS or ADDRESS:LOCAL_PORT (the local port it sends to, 7001 by default), or "sim"
for a simulated sensor on loopback. Without a SOURCE and --config: one simulated sensor. Prints a
status line per second and a summary at the end; stops on Ctrl-C, SIGTERM or after --duration.)";
const char* const kExamples =
    R"(  tarn ros2                               one simulated sensor on /tarn
  tarn ros2 192.168.1.10 --namespace front    a sensor sending to local port 7001
)";

struct SensorSource {
    std::string device;  // "" for a simulated sensor
    int localPort = 7001;
    std::string ns;
    std::string frameId;
};

SensorSource parseSource(const std::string& word) {
    SensorSource s;
    if (word == "sim") {
        s.localPort = 0;
        return s;
    }
    const size_t colon = word.find(':');
    s.device = word.substr(0, colon);
    if (colon != std::string::npos) {
        long port = 0;
        if (!parseInteger(word.substr(colon + 1), 1, 65535, &port)) {
            throw UsageError("'" + word + "': the local port must be from 1 to 65535");
        }
        s.localPort = static_cast<int>(port);
    }
    return s;
}

// ROS users' parameter file shape:
//   tarn_ros2:                 (any node name, or /**)
//     ros__parameters:
//       domain: 42
//       sensors: [front, rear]
//       front: {device: 192.168.1.10, local_port: 7001, frame_id: front_link}
//       rear: {device: sim}
std::vector<SensorSource> readConfig(const std::string& path, long* domain) {
    YAML::Node root;
    try {
        root = YAML::LoadFile(path);
    } catch (const std::exception& e) {
        throw Failure(ExitStatus::file, path + ": " + e.what());
    }
    std::vector<SensorSource> out;
    for (const auto& node : root) {
        const YAML::Node params = node.second["ros__parameters"];
        if (!params) {
            continue;
        }
        try {
            if (params["domain"]) {
                *domain = params["domain"].as<long>();
            }
            for (const auto& name : params["sensors"]) {
                const std::string ns = name.as<std::string>();
                const YAML::Node s = params[ns];
                SensorSource source =
                    parseSource(s && s["device"] ? s["device"].as<std::string>() : "sim");
                if (s && s["local_port"]) {
                    source.localPort = s["local_port"].as<int>();
                }
                source.ns = ns;
                source.frameId = s && s["frame_id"] ? s["frame_id"].as<std::string>() : "";
                out.push_back(source);
            }
        } catch (const YAML::Exception& e) {
            throw UsageError(path + ": " + e.what());
        }
    }
    return out;
}

// One sensor: its stream (and simulated sensor) feeding its DDS sensor.
struct Running {
    SensorSource source;
    tarn_sim* sim = nullptr;
    tarn_stream* stream = nullptr;
    tarn_dds_sensor* sensor = nullptr;
    ~Running() { stop(); }
    // Stops the frames; the sensor's counters are then final but for a message still queued.
    void stop() {
        tarn_sim_close(sim);
        sim = nullptr;
        tarn_stream_close(stream);
        stream = nullptr;
    }
};

void check(int rc, const std::string& what) {
    if (rc != TARN_OK) {
        throw Failure(ExitStatus::failure, what + ": " + tarn_dds_strerror(rc));
    }
}

std::unique_ptr<Running> start(tarn_dds* dds, const SensorSource& source, int devicePort) {
    auto r = std::make_unique<Running>();
    r->source = source;
    tarn_stream_config sc;
    tarn_stream_config_init(&sc);
    sc.device_address = source.device.empty() ? "127.0.0.1" : source.device.c_str();
    sc.device_port = devicePort;
    sc.local_port = source.localPort;
    if (source.device.empty()) {
        sc.local_address = "127.0.0.1";
    }
    tarn_dds_sensor_config dc;
    tarn_dds_sensor_config_init(&dc);
    dc.namespace_name = source.ns.c_str();
    dc.messages.frame_id = source.frameId.c_str();
    dc.messages.hardware_id = source.device.empty() ? "sim" : source.device.c_str();
    check(tarn_dds_add_sensor(dds, &dc, &r->sensor), "namespace '" + source.ns + "'");
    sc.on_frame = tarn_dds_on_frame;
    sc.frame_user = r->sensor;
    sc.on_imu = tarn_dds_on_imu;
    sc.imu_user = r->sensor;
    if (source.device.empty()) {
        // A simulated sensor sends from a free port to the stream's free port: opened once to
        // learn its port for the stream's source filter, then again aimed at the stream.
        tarn_sim_config* config = nullptr;
        tarn_sim_config_new(&config);
        tarn_sim_config_set(config, "from", "127.0.0.1:0", nullptr, 0);
        tarn_sim_config_set(config, "fps", "20", nullptr, 0);
        int simRc = tarn_sim_open(config, &r->sim);
        tarn_sim_config_free(config);
        if (simRc != TARN_SIM_OK) {
            throw Failure(ExitStatus::socket,
                          std::string("simulated sensor: ") + tarn_sim_strerror(simRc));
        }
        int port = 0;
        tarn_sim_source_port(r->sim, &port);
        sc.device_port = port;
        check(tarn_stream_open(&sc, &r->stream), "stream");
        int local = 0;
        tarn_stream_local_port(r->stream, &local);
        tarn_sim_close(r->sim);
        r->sim = nullptr;
        tarn_sim_config_new(&config);
        tarn_sim_config_set(config, "from", ("127.0.0.1:" + std::to_string(port)).c_str(), nullptr,
                            0);
        tarn_sim_config_set(config, "to", ("127.0.0.1:" + std::to_string(local)).c_str(), nullptr,
                            0);
        tarn_sim_config_set(config, "fps", "20", nullptr, 0);
        simRc = tarn_sim_open(config, &r->sim);
        tarn_sim_config_free(config);
        if (simRc != TARN_SIM_OK) {
            throw Failure(ExitStatus::socket,
                          std::string("simulated sensor: ") + tarn_sim_strerror(simRc));
        }
        tarn_sim_start(r->sim);
    } else {
        const int rc = tarn_stream_open(&sc, &r->stream);
        if (rc != TARN_OK) {
            throw Failure(ExitStatus::socket, source.device + ": " + tarn_strerror(rc));
        }
    }
    tarn_dds_sensor_set_stream(r->sensor, r->stream);
    return r;
}

// Each topic's messages published of those handed in (one still queued when the publisher
// closes is neither published nor counted as not published), and what did not go out.
void printSummary(const Running& r) {
    tarn_dds_topic_stats s[TARN_DDS_TOPICS];
    tarn_dds_sensor_stats(r.sensor, s);
    std::string line = "tarn ros2: /" + r.source.ns + ":";
    uint64_t notPublished = 0;
    uint64_t failed = 0;
    for (int t = 0; t < TARN_DDS_TOPICS; ++t) {
        notPublished += s[t].not_published;
        failed += s[t].failed;
        if (s[t].offered > 0) {
            char text[96];
            std::snprintf(text, sizeof text, " %s %" PRIu64 "/%" PRIu64 ",", tarn_dds_topic_name(t),
                          s[t].published, s[t].offered);
            line += text;
        }
    }
    std::printf("%s%s %" PRIu64 " not published, %" PRIu64 " failed\n", line.c_str(),
                line.back() == ':' ? " no messages," : "", notPublished, failed);
}

struct Ros2Options {
    std::vector<std::string> words;
    std::vector<std::string> namespaces;
    std::vector<std::string> frameIds;
    std::string config;
    std::string ddsConfig;
    long domain = -1;
    bool reliable = false;
    long depth = 5;
    bool bestEffortDiagnostics = false;
    long devicePort = 6301;
    double duration = 0;
};

void registerRos2(CLI::App& app, Ros2Options& o) {
    describeCommand(app, kUsage, kDescription, kExamples);
    app.add_option("SOURCE", o.words, "sensors (ADDRESS or ADDRESS:LOCAL_PORT) or sim");
    app.add_option("--namespace", o.namespaces,
                   "the next source's namespace, in SOURCE order [tarn, tarn_2, ...]")
        ->type_name("NS")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("--frame-id", o.frameIds,
                   "the next source's frame_id [its namespace with '/' as '_']")
        ->type_name("ID")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("--config", o.config, "sensors from a YAML parameter file (see the README)")
        ->type_name("FILE");
    app.add_option("--domain", o.domain, "the DDS domain, 0 to 232 [ROS_DOMAIN_ID, else 0]")
        ->type_name("N")
        ->check(wholeNumberIn(-1, 232));
    app.add_option("--dds-config", o.ddsConfig, "a Cyclone DDS configuration file [CYCLONEDDS_URI]")
        ->type_name("FILE");
    app.add_flag("--reliable", o.reliable,
                 "data topics reliable [best effort, ROS 2's sensor-data QoS]");
    app.add_option("--depth", o.depth, "the data topics' keep-last depth [5]")
        ->type_name("N")
        ->check(wholeNumberIn(1, 10000));
    app.add_flag("--best-effort-diagnostics", o.bestEffortDiagnostics,
                 "diagnostics best effort [reliable]");
    app.add_option("--device-port", o.devicePort, "the sensors' measurement source port [6301]")
        ->type_name("P")
        ->check(wholeNumberIn(1, 65535));
    app.add_option("--duration", o.duration, "stop after S seconds")
        ->type_name("S")
        ->check(numberIn(0, 1e9));
}

}  // namespace

int runRos2(const Words& words) {
    CLI::App app;
    Ros2Options o;
    registerRos2(app, o);
    if (!parseCommandLine(app, words)) {
        return 0;
    }
    long domain = -1;
    std::vector<SensorSource> sources;
    if (!o.config.empty()) {
        sources = readConfig(o.config, &domain);
    }
    for (const std::string& word : o.words) {
        sources.push_back(parseSource(word));
    }
    if (sources.empty()) {
        sources.push_back(parseSource("sim"));
    }
    const std::vector<std::string>& namespaces = o.namespaces;
    const std::vector<std::string>& frameIds = o.frameIds;
    for (size_t i = 0; i < sources.size(); ++i) {
        if (i < namespaces.size()) {
            sources[i].ns = namespaces[i];
        } else if (sources[i].ns.empty()) {
            sources[i].ns = i == 0 ? "tarn" : "tarn_" + std::to_string(i + 1);
        }
        if (i < frameIds.size()) {
            sources[i].frameId = frameIds[i];
        } else if (sources[i].frameId.empty()) {
            sources[i].frameId = sources[i].ns;
            for (char& c : sources[i].frameId) {
                c = c == '/' ? '_' : c;
            }
        }
    }
    tarn_dds_config config;
    tarn_dds_config_init(&config);
    config.domain_id = static_cast<int>(app.count("--domain") != 0 ? o.domain : domain);
    config.cyclonedds_config = o.ddsConfig.c_str();
    config.data_qos.reliable = o.reliable;
    config.data_qos.depth = static_cast<int>(o.depth);
    config.diagnostics_qos.reliable = !o.bestEffortDiagnostics;
    const int devicePort = static_cast<int>(o.devicePort);
    const double duration = o.duration;

    StopSignal stop;
    tarn_dds* raw = nullptr;
    check(tarn_dds_open(&config, &raw), "DDS");
    std::unique_ptr<tarn_dds, int (*)(tarn_dds*)> dds(raw, tarn_dds_close);
    std::vector<std::unique_ptr<Running>> running;
    for (const SensorSource& source : sources) {
        running.push_back(start(dds.get(), source, devicePort));
        std::printf("/%s: %s, frame_id %s\n", source.ns.c_str(),
                    source.device.empty() ? "simulated sensor" : source.device.c_str(),
                    source.frameId.c_str());
    }
    std::fflush(stdout);
    const auto begin = StopSignal::Clock::now();
    const auto end = duration > 0 ? begin + std::chrono::duration_cast<StopSignal::Clock::duration>(
                                                std::chrono::duration<double>(duration))
                                  : StopSignal::Clock::time_point::max();
    auto next = begin;
    while (true) {
        next += std::chrono::seconds(1);
        if (!stop.sleepUntil(std::min(next, end)) || next > end) {
            break;
        }
        for (const auto& r : running) {
            tarn_dds_topic_stats s[TARN_DDS_TOPICS];
            tarn_dds_sensor_stats(r->sensor, s);
            std::printf("/%s: points %" PRIu64 " published, %" PRIu64
                        " not published, %u subscribers\n",
                        r->source.ns.c_str(), s[TARN_DDS_POINTS].published,
                        s[TARN_DDS_POINTS].not_published, s[TARN_DDS_POINTS].subscribers);
        }
        std::fflush(stdout);
    }
    const double elapsed = std::chrono::duration<double>(StopSignal::Clock::now() - begin).count();
    for (const auto& r : running) {  // streams stop before the publisher closes
        r->stop();
    }
    std::printf("tarn ros2: %s after %.1f s\n", stop.stopped() ? "stopped" : "done", elapsed);
    for (const auto& r : running) {
        printSummary(*r);
    }
    std::fflush(stdout);
    return 0;
}

}  // namespace tarn::cli
