// The DDS publisher's cost and delay, against a subscriber in a process of its own
// (tarn_dds_bench_subscriber), at 20 frames per second with 1 and 4 sensors:
//   - the publisher's CPU per frame (this process's, all threads): frames handed to
//     tarn_dds_publish_frame, serialised and written as points, depth/image and intensity/image;
//   - as its baseline in the same run, a bare Cyclone DDS writer per topic publishing a byte
//     sequence of each message's size (tarn_bench::Bytes) at the same rate, same QoS;
//   - the delay from a frame's last datagram (its receive_realtime_ns, the stamp of its messages)
//     to the cloud's arrival in the subscriber, with simulated sensors streaming into library
//     streams whose frames go to the publisher (median and 99th percentile).
// Every participant runs on tests/dds/loopback.xml (loopback only, no multicast, 127.0.0.1 the
// only peer) in domain 47, which no test uses.
// Prints one "name value" line per figure.
// Run: build/<flavour>/bench/tarn_dds_bench [seconds per phase, default 5]
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <dds/dds.h>

#include "bench/sender_process.h"
#include "dds_bytes.h"
#include "tarn/dds.h"
#include "tarn/messages.h"
#include "tarn/sim.h"
#include "tests/dds/subscriber_process.h"

namespace {

using namespace std::chrono_literals;
using tarn::dds::test::SubscriberProcess;

constexpr int kDomain = 47;
constexpr double kFramesPerSecond = 20.0;
constexpr int kFrameTopics = 3;  // points, depth/image, intensity/image
constexpr double kPercentile99 = 0.99;

int64_t realtimeNs() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           1e-6 * double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

std::string nameOf(int sensor) {
    return "bench" + std::to_string(sensor);
}

// A frame's worth of points: every field set, as a decoded frame has them.
std::vector<tarn_point> makeGrid() {
    std::vector<tarn_point> grid(TARN_CELLS);
    for (int i = 0; i < TARN_CELLS; ++i) {
        tarn_point& p = grid[size_t(i)];
        p.row = uint16_t(i / TARN_COLUMNS);
        p.column = uint16_t(i % TARN_COLUMNS);
        p.x = 0.001f * float(i % 997);
        p.y = 0.002f * float(i % 113);
        p.z = 1.5f + 0.0001f * float(i % 1009);
        p.distance = p.z;
        p.intensity = uint32_t(i % 4096);
    }
    return grid;
}

// Calls tick(frame) for `frames` frames at 20 per second.
template <typename Tick>
void paced(int frames, Tick tick) {
    const auto period = std::chrono::nanoseconds(int64_t(1e9 / kFramesPerSecond));
    const auto start = std::chrono::steady_clock::now();
    for (int f = 0; f < frames; ++f) {
        std::this_thread::sleep_until(start + f * period);
        tick(f);
    }
}

template <typename Done>
bool waitUntil(Done done, std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

std::vector<tarn_dds_topic_stats> statsOf(tarn_dds_sensor* sensor) {
    std::vector<tarn_dds_topic_stats> s(TARN_DDS_TOPICS);
    tarn_dds_sensor_stats(sensor, s.data());
    return s;
}

bool matched(const std::vector<tarn_dds_sensor*>& sensors) {
    for (tarn_dds_sensor* sensor : sensors) {
        const auto s = statsOf(sensor);
        for (int t = 0; t < kFrameTopics; ++t) {
            if (s[size_t(t)].subscribers == 0) {
                return false;
            }
        }
    }
    return true;
}

bool drained(const std::vector<tarn_dds_sensor*>& sensors) {
    for (tarn_dds_sensor* sensor : sensors) {
        for (const auto& t : statsOf(sensor)) {
            if (t.published + t.not_published < t.offered) {
                return false;
            }
        }
    }
    return true;
}

// The arrival delays (ns) of the clouds the subscriber printed with stamps in [from, to).
std::vector<int64_t> delays(const std::vector<std::string>& lines, int64_t from, int64_t to) {
    std::vector<int64_t> out;
    for (const std::string& line : lines) {
        std::istringstream in(line);
        std::string kind, ns;
        long long stamp = 0, arrival = 0;
        if (in >> kind >> ns >> stamp >> arrival && kind == "points" && stamp >= from &&
            stamp < to) {
            out.push_back(arrival - stamp);
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

double percentileMs(const std::vector<int64_t>& sorted, double p) {
    if (sorted.empty()) {
        return 0.0;
    }
    return 1e-6 * double(sorted[std::min(sorted.size() - 1, size_t(p * double(sorted.size())))]);
}

// The three messages' sizes for one frame, as the messages component makes them.
std::vector<size_t> messageSizes(const tarn_point* grid, const tarn_frame_info& info) {
    tarn_messages_config config;
    tarn_messages_config_init(&config);
    tarn_messages* messages = nullptr;
    tarn_messages_open(&config, &messages);
    std::vector<uint8_t> buffer(4u << 20);
    std::vector<size_t> sizes(kFrameTopics);
    tarn_messages_point_cloud(messages, grid, &info, buffer.data(), buffer.size(), &sizes[0]);
    tarn_messages_depth_image(messages, grid, &info, buffer.data(), buffer.size(), &sizes[1]);
    tarn_messages_intensity_image(messages, grid, &info, buffer.data(), buffer.size(), &sizes[2]);
    tarn_messages_close(messages);
    return sizes;
}

struct Figures {
    double publisherCpuMs = 0;
    double bareCpuMs = 0;
    uint64_t notPublished = 0;
    double directMedianMs = 0, directP99Ms = 0;  // publish call to arrival
    double medianMs = 0, p99Ms = 0;              // last datagram to arrival
    size_t clouds = 0;
};

// The publisher fed frames directly: CPU per frame, and the delay from the call to arrival.
void publisherPhase(int sensors, int frames, const std::vector<tarn_point>& grid,
                    SubscriberProcess& sub, Figures& out) {
    tarn_dds_config config;
    tarn_dds_config_init(&config);
    config.domain_id = kDomain;
    tarn_dds* dds = nullptr;
    if (tarn_dds_open(&config, &dds) != TARN_OK) {
        throw std::runtime_error("tarn_dds_open failed");
    }
    std::vector<tarn_dds_sensor*> handles;
    std::vector<std::string> names;
    for (int s = 0; s < sensors; ++s) {
        names.push_back(nameOf(s));
        tarn_dds_sensor_config sc;
        tarn_dds_sensor_config_init(&sc);
        sc.namespace_name = names.back().c_str();
        tarn_dds_sensor* sensor = nullptr;
        tarn_dds_add_sensor(dds, &sc, &sensor);
        handles.push_back(sensor);
    }
    if (!waitUntil([&] { return matched(handles); }, 20000ms)) {
        throw std::runtime_error("the subscriber did not match the publisher");
    }
    std::this_thread::sleep_for(500ms);  // discovery settles
    const int64_t from = realtimeNs();
    const double cpu0 = cpuSeconds();
    paced(frames, [&](int f) {
        tarn_frame_info info{};
        info.sequence = uint64_t(f + 1);
        info.complete = 1;
        info.receive_realtime_ns = realtimeNs();
        for (tarn_dds_sensor* sensor : handles) {
            tarn_dds_publish_frame(sensor, grid.data(), &info);
        }
    });
    waitUntil([&] { return drained(handles); }, 5000ms);
    out.publisherCpuMs = 1e3 * (cpuSeconds() - cpu0) / double(frames * sensors);
    for (tarn_dds_sensor* sensor : handles) {
        for (int t = 0; t < kFrameTopics; ++t) {
            out.notPublished += statsOf(sensor)[size_t(t)].not_published;
        }
    }
    const int64_t to = realtimeNs();
    std::this_thread::sleep_for(300ms);  // the last clouds arrive
    const auto d = delays(sub.lines(), from, to);
    out.directMedianMs = percentileMs(d, 0.5);
    out.directP99Ms = percentileMs(d, kPercentile99);

    // The full path: simulated sensors stream into library streams feeding the same sensors.
    std::vector<tarn_sim*> sims;
    std::vector<tarn_stream*> streams;
    for (int s = 0; s < sensors; ++s) {
        const uint16_t port = tarn::bench::freeLocalPort();
        tarn_sim_config* sc = nullptr;
        tarn_sim_config_new(&sc);
        const std::string toAddress = "127.0.0.1:" + std::to_string(port);
        tarn_sim_config_set(sc, "to", toAddress.c_str(), nullptr, 0);
        tarn_sim_config_set(sc, "from", "127.0.0.1:0", nullptr, 0);
        tarn_sim_config_set(sc, "fps", "20", nullptr, 0);
        tarn_sim_config_set(sc, "frames", std::to_string(frames).c_str(), nullptr, 0);
        tarn_sim* sim = nullptr;
        tarn_sim_open(sc, &sim);
        tarn_sim_config_free(sc);
        int sourcePort = 0;
        tarn_sim_source_port(sim, &sourcePort);
        tarn_stream_config stream;
        tarn_stream_config_init(&stream);
        stream.local_address = "127.0.0.1";
        stream.local_port = port;
        stream.device_address = "127.0.0.1";
        stream.device_port = sourcePort;
        stream.on_frame = tarn_dds_on_frame;
        stream.frame_user = handles[size_t(s)];
        tarn_stream* opened = nullptr;
        tarn_stream_open(&stream, &opened);
        sims.push_back(sim);
        streams.push_back(opened);
    }
    const int64_t streamFrom = realtimeNs();
    for (tarn_sim* sim : sims) {
        tarn_sim_start(sim);
    }
    for (tarn_sim* sim : sims) {
        tarn_sim_wait(sim, 60000);
    }
    std::this_thread::sleep_for(500ms);  // the last frames decode and arrive
    const auto full = delays(sub.lines(), streamFrom, realtimeNs());
    out.medianMs = percentileMs(full, 0.5);
    out.p99Ms = percentileMs(full, kPercentile99);
    out.clouds = full.size();
    for (size_t s = 0; s < sims.size(); ++s) {
        tarn_stream_close(streams[s]);
        tarn_sim_close(sims[s]);
    }
    tarn_dds_close(dds);
}

// Bare Cyclone DDS writers of byte sequences of the messages' sizes, at the same rate.
void barePhase(int sensors, int frames, const std::vector<size_t>& sizes, Figures& out) {
    dds_entity_t participant = dds_create_participant(kDomain, nullptr, nullptr);
    dds_qos_t* qos = dds_create_qos();
    dds_qset_reliability(qos, DDS_RELIABILITY_BEST_EFFORT, 0);
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 5);
    dds_qset_durability(qos, DDS_DURABILITY_VOLATILE);
    dds_data_representation_id_t xcdr1 = DDS_DATA_REPRESENTATION_XCDR1;
    dds_qset_data_representation(qos, 1, &xcdr1);
    std::vector<dds_entity_t> writers;
    for (int s = 0; s < sensors; ++s) {
        for (int t = 0; t < kFrameTopics; ++t) {
            const std::string name = "bench/" + nameOf(s) + "/" + std::to_string(t);
            dds_entity_t topic = dds_create_topic(participant, &tarn_bench_Bytes_desc, name.c_str(),
                                                  nullptr, nullptr);
            writers.push_back(dds_create_writer(participant, topic, qos, nullptr));
        }
    }
    dds_delete_qos(qos);
    const bool all = waitUntil(
        [&] {
            for (dds_entity_t w : writers) {
                dds_publication_matched_status_t m{};
                if (dds_get_publication_matched_status(w, &m) < 0 || m.current_count == 0) {
                    return false;
                }
            }
            return true;
        },
        20000ms);
    if (!all) {
        throw std::runtime_error("the subscriber did not match the bare writers");
    }
    std::this_thread::sleep_for(500ms);
    // The sequence's 4-byte length and the encapsulation header make up each message's size.
    std::vector<std::vector<uint8_t>> payloads;
    for (size_t size : sizes) {
        payloads.emplace_back(size - 8, uint8_t(0x5a));
    }
    const double cpu0 = cpuSeconds();
    paced(frames, [&](int) {
        for (size_t w = 0; w < writers.size(); ++w) {
            std::vector<uint8_t>& p = payloads[w % kFrameTopics];
            tarn_bench_Bytes sample{};
            sample.data._buffer = p.data();
            sample.data._length = uint32_t(p.size());
            sample.data._maximum = uint32_t(p.size());
            sample.data._release = false;
            dds_write(writers[w], &sample);
        }
    });
    out.bareCpuMs = 1e3 * (cpuSeconds() - cpu0) / double(frames * sensors);
    dds_delete(participant);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    const int frames = std::max(2, int(seconds * kFramesPerSecond));
    setenv("CYCLONEDDS_URI", "file://" TARN_DDS_LOOPBACK_CONFIG, 1);
    const std::vector<tarn_point> grid = makeGrid();
    tarn_frame_info info{};
    info.complete = 1;
    const std::vector<size_t> sizes = messageSizes(grid.data(), info);
    std::printf("message_bytes %zu %zu %zu\n", sizes[0], sizes[1], sizes[2]);
    try {
        for (int sensors : {1, 4}) {
            std::vector<std::string> args = {TARN_DDS_BENCH_SUBSCRIBER, std::to_string(kDomain)};
            for (int s = 0; s < sensors; ++s) {
                args.push_back(nameOf(s));
            }
            SubscriberProcess sub(args);
            Figures f;
            publisherPhase(sensors, frames, grid, sub, f);
            barePhase(sensors, frames, sizes, f);
            sub.stop();
            const std::string n = std::to_string(sensors);
            std::printf("sensors_%s_publisher_cpu_ms_per_frame %.3f\n", n.c_str(),
                        f.publisherCpuMs);
            std::printf("sensors_%s_bare_writer_cpu_ms_per_frame %.3f\n", n.c_str(), f.bareCpuMs);
            std::printf("sensors_%s_cpu_ratio %.2f\n", n.c_str(),
                        f.bareCpuMs > 0 ? f.publisherCpuMs / f.bareCpuMs : 0.0);
            std::printf("sensors_%s_not_published %llu\n", n.c_str(),
                        static_cast<unsigned long long>(f.notPublished));
            std::printf("sensors_%s_publish_to_arrival_ms median %.2f p99 %.2f\n", n.c_str(),
                        f.directMedianMs, f.directP99Ms);
            std::printf("sensors_%s_last_datagram_to_arrival_ms median %.2f p99 %.2f clouds %zu\n",
                        n.c_str(), f.medianMs, f.p99Ms, f.clouds);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarn_dds_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
