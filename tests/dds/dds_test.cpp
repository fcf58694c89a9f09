// Simulated sensors at 20 frames/s through library streams into the DDS publisher, read back by
// a subscriber process: every frame arrives with its fields, sizes, stamps, frame_id and points;
// diagnostics once a second with the stream's counts; late, stopped and slow subscribers cost
// the stream nothing and the publisher's counts add up.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>

#include "subscriber_process.h"
#include "tarn/dds.h"
#include "tarn/sim.h"

namespace {

using tarn::dds::test::SubscriberProcess;
using namespace std::chrono_literals;

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string w; in >> w;) {
        out.push_back(w);
    }
    return out;
}

size_t countLines(const std::vector<std::string>& lines, const std::string& prefix) {
    size_t n = 0;
    for (const std::string& l : lines) {
        n += l.rfind(prefix, 0) == 0;
    }
    return n;
}

// FNV-1a over x, y, z, row and column of every cell, as the subscriber hashes the cloud.
std::string gridHash(const tarn_point* grid) {
    uint64_t h = 1469598103934665603ULL;
    auto add = [&h](const void* p, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            h = (h ^ static_cast<const uint8_t*>(p)[i]) * 1099511628211ULL;
        }
    };
    for (int i = 0; i < TARN_CELLS; ++i) {
        add(&grid[i].x, 4);
        add(&grid[i].y, 4);
        add(&grid[i].z, 4);
        add(&grid[i].row, 2);
        add(&grid[i].column, 2);
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
    return text;
}

// One simulated sensor streaming into a library stream whose frames go to a DDS sensor; what
// the stream decoded is kept for the comparison.
class SimulatedSensor {
  public:
    SimulatedSensor(tarn_dds* dds, const std::string& ns, int port, int frames, double loss) {
        tarn_sim_config* config = nullptr;
        tarn_sim_config_new(&config);
        const std::string to = "127.0.0.1:" + std::to_string(port);
        tarn_sim_config_set(config, "to", to.c_str(), nullptr, 0);
        tarn_sim_config_set(config, "from", "127.0.0.1:0", nullptr, 0);
        tarn_sim_config_set(config, "fps", "20", nullptr, 0);
        tarn_sim_config_set(config, "frames", std::to_string(frames).c_str(), nullptr, 0);
        tarn_sim_config_set(config, "loss", std::to_string(loss).c_str(), nullptr, 0);
        EXPECT_EQ(tarn_sim_open(config, &sim_), TARN_SIM_OK);
        tarn_sim_config_free(config);
        int sourcePort = 0;
        tarn_sim_source_port(sim_, &sourcePort);

        tarn_dds_sensor_config sc;
        tarn_dds_sensor_config_init(&sc);
        sc.namespace_name = ns.c_str();
        const std::string frameId = ns + "_link";
        sc.messages.frame_id = frameId.c_str();
        EXPECT_EQ(tarn_dds_add_sensor(dds, &sc, &sensor_), TARN_OK);

        tarn_stream_config stream;
        tarn_stream_config_init(&stream);
        stream.local_address = "127.0.0.1";
        stream.local_port = port;
        stream.device_address = "127.0.0.1";
        stream.device_port = sourcePort;
        stream.on_frame = &SimulatedSensor::onFrame;
        stream.frame_user = this;
        stream.on_imu = tarn_dds_on_imu;
        stream.imu_user = sensor_;
        EXPECT_EQ(tarn_stream_open(&stream, &stream_), TARN_OK);
        tarn_dds_sensor_set_stream(sensor_, stream_);
    }
    ~SimulatedSensor() {
        tarn_sim_close(sim_);
        tarn_stream_close(stream_);
    }
    void start() { tarn_sim_start(sim_); }
    // Waits for the simulator's last frame and for the stream to have decoded what arrived (a
    // sanitizer's build decodes well behind the datagrams).
    void finish() {
        ASSERT_EQ(tarn_sim_wait(sim_, 30000), TARN_SIM_OK);
        tarn_sim_counters c{};
        tarn_sim_get_counters(sim_, &c);
        for (int i = 0; i < 1000; ++i) {
            tarn_stream_stats s{};
            tarn_stream_get_stats(stream_, &s);
            // Every datagram read, and every frame decoded or counted as lost.
            if (s.datagrams_read >= c.datagrams &&
                s.frames_decoded + s.frames_queue_full + s.frames_lost_last + s.frames_merged >=
                    c.frames &&
                publisherDone(s.frames_decoded)) {
                break;
            }
            std::this_thread::sleep_for(10ms);  // bounded polling for the last datagrams
        }
    }
    // Every decoded frame handed to the publisher, and each written or counted as not.
    bool publisherDone(uint64_t frames) const {
        const auto stats = publisherStats();
        for (int t : {TARN_DDS_POINTS, TARN_DDS_DEPTH_IMAGE, TARN_DDS_INTENSITY_IMAGE}) {
            if (stats[t].offered < frames ||
                stats[t].published + stats[t].not_published < stats[t].offered) {
                return false;
            }
        }
        return true;
    }
    tarn_sim_counters simCounters() const {
        tarn_sim_counters c{};
        tarn_sim_get_counters(sim_, &c);
        return c;
    }
    tarn_stream_stats streamStats() const {
        tarn_stream_stats s{};
        tarn_stream_get_stats(stream_, &s);
        return s;
    }
    std::vector<tarn_dds_topic_stats> publisherStats() const {
        std::vector<tarn_dds_topic_stats> s(TARN_DDS_TOPICS);
        tarn_dds_sensor_stats(sensor_, s.data());
        return s;
    }
    // Stamp of every decoded frame, and the hash of its points.
    // Waits until every frame topic's writer has matched a reader (discovery runs both ways).
    bool waitMatched() {
        for (int i = 0; i < 2000; ++i) {
            const auto s = publisherStats();
            if (s[TARN_DDS_POINTS].subscribers > 0 && s[TARN_DDS_DEPTH_IMAGE].subscribers > 0 &&
                s[TARN_DDS_INTENSITY_IMAGE].subscribers > 0 &&
                s[TARN_DDS_DIAGNOSTICS].subscribers > 0) {
                return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
    std::map<long long, std::string> frames() {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_;
    }

  private:
    static void onFrame(const tarn_point* grid, const tarn_frame_info* info, void* user) {
        auto* self = static_cast<SimulatedSensor*>(user);
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->frames_[info->receive_realtime_ns] = gridHash(grid);
        }
        tarn_dds_on_frame(grid, info, self->sensor_);
    }

    tarn_sim* sim_ = nullptr;
    tarn_dds_sensor* sensor_ = nullptr;
    tarn_stream* stream_ = nullptr;
    std::mutex mutex_;
    std::map<long long, std::string> frames_;
};

class DdsPublisherTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        setenv("CYCLONEDDS_URI", "file://" TARN_DDS_LOOPBACK_CONFIG, 1);
    }
    // A publisher on domain, data reliable or with ROS 2's sensor-data QoS.
    std::unique_ptr<tarn_dds, int (*)(tarn_dds*)> open(int domain, bool reliableData) {
        tarn_dds_config config;
        tarn_dds_config_init(&config);
        config.domain_id = domain;
        config.data_qos.reliable = reliableData;
        if (reliableData) {
            config.data_qos.depth = 20;  // room to repeat what a busy subscriber's socket lost
        }
        tarn_dds* dds = nullptr;
        EXPECT_EQ(tarn_dds_open(&config, &dds), TARN_OK);
        return {dds, tarn_dds_close};
    }
    static std::vector<std::string> subscriberArgs(int domain, int timeoutMs, int slowMs,
                                                   bool reliable,
                                                   std::vector<std::string> namespaces) {
        std::vector<std::string> args = {TARN_DDS_SUBSCRIBER, std::to_string(domain),
                                         std::to_string(timeoutMs), std::to_string(slowMs),
                                         reliable ? "1" : "0"};
        args.insert(args.end(), namespaces.begin(), namespaces.end());
        return args;
    }
};

// Reliable data with a deeper history here: over UDP, best-effort delivery of 1.3 MB clouds depends
// on socket buffers a test machine does not promise; the publisher's path is the same either way.
TEST_F(DdsPublisherTest, TwoSensorsEveryFrameWithItsFieldsStampsFrameIdAndPoints) {
    constexpr int kDomain = 42;
    constexpr int kFrames = 20;
    auto dds = open(kDomain, true);
    ASSERT_TRUE(dds);
    SimulatedSensor front(dds.get(), "front", 7311, kFrames, 0);
    SimulatedSensor rear(dds.get(), "robot/rear", 7312, kFrames, 0);
    SubscriberProcess sub(subscriberArgs(kDomain, 60000, 0, true, {"front", "robot/rear"}));
    ASSERT_TRUE(sub.started());
    ASSERT_TRUE(sub.waitFor([](auto& l) { return countLines(l, "matched") == 1; }, 20s));
    ASSERT_TRUE(front.waitMatched());
    ASSERT_TRUE(rear.waitMatched());
    front.start();
    rear.start();
    front.finish();
    rear.finish();
    // Every frame is received, or counted as not published by its sensor (a frame queued while
    // the writer thread was still busy with the previous one): none goes missing silently.
    auto delivered = [&](int topic) {
        uint64_t n = 0;
        for (auto* sensor : {&front, &rear}) {
            const auto s = sensor->publisherStats()[topic];
            n += s.offered - s.not_published;
        }
        return size_t(n);
    };
    EXPECT_TRUE(sub.waitFor(
        [&](auto& l) {
            return countLines(l, "points ") == delivered(TARN_DDS_POINTS) &&
                   countLines(l, "image ") ==
                       delivered(TARN_DDS_DEPTH_IMAGE) + delivered(TARN_DDS_INTENSITY_IMAGE);
        },
        30s))
        << countLines(sub.lines(), "points ") << " clouds of " << delivered(TARN_DDS_POINTS) << ", "
        << countLines(sub.lines(), "image ") << " images";
    sub.stop();

    const std::string fields =
        "x:0:7:1,y:4:7:1,z:8:7:1,intensity:12:7:1,distance:16:7:1,row:20:4:1,column:22:4:1";
    for (auto* sensor : {&front, &rear}) {
        const std::string ns = sensor == &front ? "front" : "robot/rear";
        const std::string frameId = sensor == &front ? "front_link" : "robot/rear_link";
        std::map<long long, std::string> frames = sensor->frames();
        const tarn_stream_stats st = sensor->streamStats();
        EXPECT_EQ(frames.size(), size_t(kFrames))
            << ns << " read " << st.datagrams_read << " of " << sensor->simCounters().datagrams
            << ", queue full " << st.datagrams_queue_full << "/" << st.frames_queue_full
            << ", last lost " << st.frames_lost_last << ", merged " << st.frames_merged;
        std::set<long long> points, depth, intensity;
        for (const std::string& line : sub.lines()) {
            std::vector<std::string> w = words(line);
            if (w.size() < 3 || w[1] != ns || w[0] == "diagnostics") {
                continue;
            }
            const long long stamp = std::stoll(w[w[0] == "image" ? 3 : 2]);
            ASSERT_EQ(frames.count(stamp), 1u) << line;
            if (w[0] == "points") {
                EXPECT_EQ(w, (std::vector<std::string>{
                                 "points", ns, w[2], frameId, "150", "360", "24", "8640", "0",
                                 fields, std::to_string(TARN_CELLS * 24), frames[stamp]}));
                points.insert(stamp);
            } else if (w[0] == "image" && w[2] == "depth/image") {
                EXPECT_EQ(w, (std::vector<std::string>{"image", ns, "depth/image", w[3], frameId,
                                                       "150", "360", "32FC1", "1440", "216000"}));
                depth.insert(stamp);
            } else if (w[0] == "image") {
                EXPECT_EQ(w,
                          (std::vector<std::string>{"image", ns, "intensity/image", w[3], frameId,
                                                    "150", "360", "mono16", "720", "108000"}));
                intensity.insert(stamp);
            }
        }
        const auto stats = sensor->publisherStats();
        EXPECT_EQ(points.size(), kFrames - stats[TARN_DDS_POINTS].not_published) << ns;
        EXPECT_EQ(depth.size(), kFrames - stats[TARN_DDS_DEPTH_IMAGE].not_published) << ns;
        EXPECT_EQ(intensity.size(), kFrames - stats[TARN_DDS_INTENSITY_IMAGE].not_published) << ns;
        for (int t : {TARN_DDS_POINTS, TARN_DDS_DEPTH_IMAGE, TARN_DDS_INTENSITY_IMAGE}) {
            EXPECT_EQ(stats[t].offered, uint64_t(kFrames)) << ns << " " << t;
            EXPECT_EQ(stats[t].published + stats[t].not_published, uint64_t(kFrames)) << t;
            EXPECT_EQ(stats[t].failed, 0u) << ns << " " << t;
        }
    }
}

// Diagnostics a second apart, whose last counts are the stream's final counts, which match what
// the simulator sent, datagrams lost on purpose included.
TEST_F(DdsPublisherTest, DiagnosticsOnceASecondWithTheStreamsCountsUnderLoss) {
    constexpr int kDomain = 43;
    auto dds = open(kDomain, false);
    ASSERT_TRUE(dds);
    SimulatedSensor sensor(dds.get(), "lossy", 7313, 50, 0.01);
    SubscriberProcess sub(subscriberArgs(kDomain, 60000, 0, false, {"lossy"}));
    ASSERT_TRUE(sub.waitFor([](auto& l) { return countLines(l, "matched") == 1; }, 20s));
    ASSERT_TRUE(sensor.waitMatched());
    sensor.start();
    sensor.finish();
    const tarn_sim_counters sent = sensor.simCounters();
    EXPECT_GT(sent.dropped, 0u);
    // A report whose datagram and IMU counts are what the simulator sent, and whose decoded
    // frames are the stream's once it has decoded everything.
    const std::string read = " datagrams_read=" + std::to_string(sent.datagrams) + " ";
    const std::string imu = " imu_samples=" + std::to_string(sent.imu_datagrams) + " ";
    std::string last;
    EXPECT_TRUE(sub.waitFor(
        [&](auto& l) {
            const std::string decoded =
                " frames_decoded=" + std::to_string(sensor.streamStats().frames_decoded) + " ";
            for (const std::string& line : l) {
                if (line.rfind("diagnostics lossy", 0) == 0 &&
                    line.find(read) != std::string::npos && line.find(imu) != std::string::npos &&
                    line.find(decoded) != std::string::npos) {
                    last = line;
                    return true;
                }
            }
            return false;
        },
        10s));
    sub.stop();
    std::vector<long long> stamps;
    for (const std::string& line : sub.lines()) {
        if (line.rfind("diagnostics lossy", 0) == 0) {
            stamps.push_back(std::stoll(words(line)[2]));
        }
    }
    ASSERT_GE(stamps.size(), 2u);
    for (size_t i = 1; i < stamps.size(); ++i) {
        EXPECT_EQ(stamps[i] - stamps[i - 1], 1000000000LL);  // stamped with their schedule
    }
    EXPECT_NE(last.find(" not_published_points="), std::string::npos) << last;
}

// A subscriber that comes late, one that stops, and a slow one: the stream decodes every frame,
// and each topic's counts say what the publisher wrote and what it did not.
TEST_F(DdsPublisherTest, LateStoppedAndSlowSubscribersCostTheStreamNothing) {
    constexpr int kDomain = 44;
    constexpr int kFrames = 60;
    auto dds = open(kDomain, false);
    ASSERT_TRUE(dds);
    SimulatedSensor sensor(dds.get(), "fleet", 7314, kFrames, 0);
    sensor.start();
    auto published = [&sensor] { return sensor.publisherStats()[TARN_DDS_POINTS].offered; };
    for (int i = 0; i < 1000 && published() < 10; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    {
        SubscriberProcess late(subscriberArgs(kDomain, 30000, 0, false, {"fleet"}));
        EXPECT_TRUE(late.waitFor([](auto& l) { return countLines(l, "points ") >= 3; }, 20s));
    }  // stopped
    SubscriberProcess slow(subscriberArgs(kDomain, 30000, 300, false, {"fleet"}));
    sensor.finish();
    slow.stop();
    EXPECT_EQ(sensor.streamStats().frames_decoded, uint64_t(kFrames));
    EXPECT_EQ(sensor.streamStats().frames_queue_full, 0u);
    const auto stats = sensor.publisherStats();
    for (int t : {TARN_DDS_POINTS, TARN_DDS_DEPTH_IMAGE, TARN_DDS_INTENSITY_IMAGE}) {
        EXPECT_EQ(stats[t].offered, uint64_t(kFrames)) << t;
        EXPECT_EQ(stats[t].published + stats[t].not_published, stats[t].offered) << t;
        EXPECT_EQ(stats[t].failed, 0u) << t;
    }
}

// A running subscriber picks up a publisher that closed and opened again.
TEST_F(DdsPublisherTest, ARunningSubscriberPicksUpARestartedPublisher) {
    constexpr int kDomain = 45;
    SubscriberProcess sub(subscriberArgs(kDomain, 60000, 0, true, {"again"}));
    // A loaded machine may replace a queued cloud by the next one: the subscriber is to receive
    // every cloud each publisher wrote, and each must have written some.
    std::size_t written = 0;
    for (int round = 1; round <= 2; ++round) {
        auto dds = open(kDomain, true);
        ASSERT_TRUE(dds);
        SimulatedSensor sensor(dds.get(), "again", 7315, 5, 0);
        ASSERT_TRUE(sub.waitFor(
            [round](auto& l) { return countLines(l, "matched") == size_t(round); }, 20s));
        ASSERT_TRUE(sensor.waitMatched());
        sensor.start();
        sensor.finish();
        const std::size_t published = sensor.publisherStats()[TARN_DDS_POINTS].published;
        EXPECT_GE(published, 1u) << "round " << round;
        written += published;
        EXPECT_TRUE(sub.waitFor(
            [written](auto& l) { return countLines(l, "points again") == written; }, 20s))
            << "round " << round << ": " << written << " written";
    }
}

}  // namespace
