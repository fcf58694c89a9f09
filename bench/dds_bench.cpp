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
// Publisher and bare writers take turns in five rounds; each figure is the median round.
// Run: build/<flavour>/bench/tarn_dds_bench [seconds of frames per side, default 5]
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
constexpr int kRounds = 5;  // alternating rounds of publisher and bare writers

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

// The publisher's sensors, fed frames directly.
class PublisherSide {
  public:
    explicit PublisherSide(int sensors) {
        tarn_dds_config config;
        tarn_dds_config_init(&config);
        config.domain_id = kDomain;
        if (tarn_dds_open(&config, &dds_) != TARN_OK) {
            throw std::runtime_error("tarn_dds_open failed");
        }
        for (int s = 0; s < sensors; ++s) {
            names_.push_back(nameOf(s));
        }
        for (const std::string& name : names_) {
            tarn_dds_sensor_config sc;
            tarn_dds_sensor_config_init(&sc);
            sc.namespace_name = name.c_str();
            tarn_dds_sensor* sensor = nullptr;
            tarn_dds_add_sensor(dds_, &sc, &sensor);
            sensors_.push_back(sensor);
        }
    }
    ~PublisherSide() { tarn_dds_close(dds_); }
    bool matched() const { return ::matched(sensors_); }
    void publish(const std::vector<tarn_point>& grid, int frame) {
        tarn_frame_info info{};
        info.sequence = uint64_t(frame + 1);
        info.complete = 1;
        info.receive_realtime_ns = realtimeNs();
        for (tarn_dds_sensor* sensor : sensors_) {
            tarn_dds_publish_frame(sensor, grid.data(), &info);
        }
    }
    void drain() const {
        waitUntil([this] { return drained(sensors_); }, 5000ms);
    }
    uint64_t notPublished() const {
        uint64_t n = 0;
        for (tarn_dds_sensor* sensor : sensors_) {
            for (int t = 0; t < kFrameTopics; ++t) {
                n += statsOf(sensor)[size_t(t)].not_published;
            }
        }
        return n;
    }
    const std::vector<tarn_dds_sensor*>& sensors() const { return sensors_; }

  private:
    tarn_dds* dds_ = nullptr;
    std::vector<std::string> names_;
    std::vector<tarn_dds_sensor*> sensors_;
};

// Bare Cyclone DDS writers of byte sequences of the messages' sizes, one per topic, with the
// publisher's data QoS.
class BareSide {
  public:
    BareSide(int sensors, const std::vector<size_t>& sizes) {
        participant_ = dds_create_participant(kDomain, nullptr, nullptr);
        dds_qos_t* qos = dds_create_qos();
        dds_qset_reliability(qos, DDS_RELIABILITY_BEST_EFFORT, 0);
        dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 5);
        dds_qset_durability(qos, DDS_DURABILITY_VOLATILE);
        dds_data_representation_id_t xcdr1 = DDS_DATA_REPRESENTATION_XCDR1;
        dds_qset_data_representation(qos, 1, &xcdr1);
        for (int s = 0; s < sensors; ++s) {
            for (int t = 0; t < kFrameTopics; ++t) {
                const std::string name = "bench/" + nameOf(s) + "/" + std::to_string(t);
                dds_entity_t topic = dds_create_topic(participant_, &tarn_bench_Bytes_desc,
                                                      name.c_str(), nullptr, nullptr);
                writers_.push_back(dds_create_writer(participant_, topic, qos, nullptr));
            }
        }
        dds_delete_qos(qos);
        // The sequence's 4-byte length and the encapsulation header make up each message's size.
        for (size_t size : sizes) {
            payloads_.emplace_back(size - 8, uint8_t(0x5a));
        }
    }
    ~BareSide() { dds_delete(participant_); }
    bool matched() const {
        for (dds_entity_t w : writers_) {
            dds_publication_matched_status_t m{};
            if (dds_get_publication_matched_status(w, &m) < 0 || m.current_count == 0) {
                return false;
            }
        }
        return true;
    }
    void publish() {
        for (size_t w = 0; w < writers_.size(); ++w) {
            std::vector<uint8_t>& p = payloads_[w % kFrameTopics];
            tarn_bench_Bytes sample{};
            sample.data._buffer = p.data();
            sample.data._length = uint32_t(p.size());
            sample.data._maximum = uint32_t(p.size());
            sample.data._release = false;
            dds_write(writers_[w], &sample);
        }
    }

  private:
    dds_entity_t participant_ = 0;
    std::vector<dds_entity_t> writers_;
    std::vector<std::vector<uint8_t>> payloads_;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

// Simulated sensors streaming into library streams whose frames go to the publisher's sensors;
// the delays from each frame's last datagram to the cloud's arrival.
std::vector<int64_t> streamedDelays(const std::vector<tarn_dds_sensor*>& sensors, int frames,
                                    SubscriberProcess& sub) {
    std::vector<tarn_sim*> sims;
    std::vector<tarn_stream*> streams;
    for (tarn_dds_sensor* sensor : sensors) {
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
        stream.frame_user = sensor;
        tarn_stream* opened = nullptr;
        tarn_stream_open(&stream, &opened);
        sims.push_back(sim);
        streams.push_back(opened);
    }
    const int64_t from = realtimeNs();
    for (tarn_sim* sim : sims) {
        tarn_sim_start(sim);
    }
    for (tarn_sim* sim : sims) {
        tarn_sim_wait(sim, 60000);
    }
    std::this_thread::sleep_for(500ms);  // the last frames decode and arrive
    for (size_t s = 0; s < sims.size(); ++s) {
        tarn_stream_close(streams[s]);
        tarn_sim_close(sims[s]);
    }
    return delays(sub.lines(), from, realtimeNs());
}

// Publisher and bare writers in alternating rounds, so that whatever else the machine does
// lands on both; the median round of each.
void measure(int sensors, int frames, const std::vector<tarn_point>& grid,
             const std::vector<size_t>& sizes) {
    std::vector<std::string> args = {TARN_DDS_BENCH_SUBSCRIBER, std::to_string(kDomain)};
    for (int s = 0; s < sensors; ++s) {
        args.push_back(nameOf(s));
    }
    SubscriberProcess sub(args);
    PublisherSide publisher(sensors);
    BareSide bare(sensors, sizes);
    if (!waitUntil([&] { return publisher.matched() && bare.matched(); }, 20000ms)) {
        throw std::runtime_error("the subscriber did not match every writer");
    }
    std::this_thread::sleep_for(500ms);  // discovery settles
    const int perRound = std::max(2, frames / kRounds);
    std::vector<double> publisherMs, bareMs, ratios;
    const int64_t from = realtimeNs();
    for (int r = 0; r < kRounds; ++r) {
        double cpu0 = cpuSeconds();
        paced(perRound, [&](int f) { publisher.publish(grid, r * perRound + f); });
        publisher.drain();
        const double p = 1e3 * (cpuSeconds() - cpu0) / double(perRound * sensors);
        cpu0 = cpuSeconds();
        paced(perRound, [&](int) { bare.publish(); });
        const double b = 1e3 * (cpuSeconds() - cpu0) / double(perRound * sensors);
        publisherMs.push_back(p);
        bareMs.push_back(b);
        ratios.push_back(b > 0 ? p / b : 0.0);
    }
    const int64_t to = realtimeNs();
    std::this_thread::sleep_for(300ms);  // the last clouds arrive
    const auto direct = delays(sub.lines(), from, to);
    const auto streamed = streamedDelays(publisher.sensors(), frames, sub);
    sub.stop();

    const char* n = sensors == 1 ? "1" : "4";
    std::printf("sensors_%s_publisher_cpu_ms_per_frame %.3f\n", n, median(publisherMs));
    std::printf("sensors_%s_bare_writer_cpu_ms_per_frame %.3f\n", n, median(bareMs));
    std::printf("sensors_%s_cpu_ratio median %.2f rounds", n, median(ratios));
    for (double r : ratios) {
        std::printf(" %.2f", r);
    }
    std::printf("\nsensors_%s_not_published %llu of %d\n", n,
                static_cast<unsigned long long>(publisher.notPublished()),
                kRounds * perRound * sensors * kFrameTopics);
    std::printf("sensors_%s_publish_to_arrival_ms median %.2f p99 %.2f clouds %zu\n", n,
                percentileMs(direct, 0.5), percentileMs(direct, kPercentile99), direct.size());
    std::printf("sensors_%s_last_datagram_to_arrival_ms median %.2f p99 %.2f clouds %zu of %d\n", n,
                percentileMs(streamed, 0.5), percentileMs(streamed, kPercentile99), streamed.size(),
                frames * sensors);
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
            measure(sensors, frames, grid, sizes);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarn_dds_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
