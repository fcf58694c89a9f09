// The simulated sensor through its C interface: the option table and its checks, what a sensor
// says it sent against what arrives, stopping, and the control server's record and faults.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "sim/datagram.h"
#include "tarn/sim.h"

namespace {

constexpr int kReceiveBuffer = 8 << 20;
constexpr int kQuietMs = 200;
constexpr int kMaxQuietPolls = 50;            // a sensor that never ends fails the test after 10 s
constexpr int kPointDatagramsPerFrame = 180;  // 4-byte pixels

struct Arrival {
    std::vector<uint8_t> bytes;
    uint16_t port;
};

// A UDP socket on 127.0.0.1 and a free port.
class Receiver {
  public:
    Receiver() {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof local;
        bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
        port_ = ntohs(local.sin_port);
    }
    ~Receiver() { close(fd_); }
    uint16_t port() const { return port_; }

    // Everything that arrives until sim has ended and kQuietMs passed without a datagram.
    std::vector<Arrival> drain(tarn_sim* sim) {
        std::vector<Arrival> arrivals;
        pollfd entry{fd_, POLLIN, 0};
        for (int quiet = 0; quiet < kMaxQuietPolls;) {
            if (poll(&entry, 1, kQuietMs) <= 0) {
                if (tarn_sim_wait(sim, 0) == TARN_SIM_OK) {
                    break;
                }
                ++quiet;
                continue;
            }
            uint8_t buffer[2048];
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t n = recvfrom(fd_, buffer, sizeof buffer, 0,
                                       reinterpret_cast<sockaddr*>(&from), &length);
            if (n > 0) {
                arrivals.push_back({{buffer, buffer + n}, ntohs(from.sin_port)});
            }
        }
        return arrivals;
    }

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

class Config {
  public:
    Config() { tarn_sim_config_new(&config_); }
    ~Config() { tarn_sim_config_free(config_); }
    // The refusal's text, empty on success.
    std::string set(const char* name, const std::string& value) {
        char error[256] = {};
        const int code = tarn_sim_config_set(config_, name, value.c_str(), error, sizeof error);
        return code == TARN_SIM_OK ? "" : std::to_string(code) + " " + error;
    }
    tarn_sim_config* get() const { return config_; }

  private:
    tarn_sim_config* config_ = nullptr;
};

// A control address of this process's own, so parallel test processes do not share port 6501.
std::string controlAddress() {
    const unsigned pid = static_cast<unsigned>(getpid());
    return "127.253." + std::to_string(pid % 256) + "." + std::to_string(pid / 256 % 254 + 1);
}

uint16_t le16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

TEST(SimOptions, EveryNameIsFoundOnceAndRefusalsNameTheReasonAndChangeNothing) {
    std::set<std::string> names;
    for (size_t i = 0; i < tarn_sim_option_count(); ++i) {
        const tarn_sim_option* option = tarn_sim_option_at(i);
        EXPECT_TRUE(names.insert(option->name).second) << option->name;
        EXPECT_EQ(tarn_sim_option_find(option->name), option);
        if (option->alias != nullptr) {
            EXPECT_TRUE(names.insert(option->alias).second) << option->alias;
            EXPECT_EQ(tarn_sim_option_find(option->alias), option);
        }
        EXPECT_EQ(option->syntax == nullptr, option->kind == TARN_SIM_OPTION_FLAG) << option->name;
    }
    EXPECT_EQ(tarn_sim_option_at(tarn_sim_option_count()), nullptr);

    Config config;
    EXPECT_EQ(config.set("fps", "0"), "-203 must be a number from 0.1 to 1000, not '0'");
    EXPECT_EQ(config.set("to", "10.0.0.1:7001"),
              "-203 '10.0.0.1' is not a loopback address (127.x.y.z)");
    EXPECT_EQ(config.set("control", "192.168.1.10"),
              "-203 '192.168.1.10' is not a loopback address (127.x.y.z)");
    EXPECT_NE(config.set("source-address", "127.0.0.01").find("leading zero"), std::string::npos);
    EXPECT_EQ(config.set("from", "127.0.0.1:65536"),
              "-203 '127.0.0.1:65536': the port must be from 0 to 65535");
    EXPECT_EQ(config.set("corrupt", "1:2:3"), "-203 '1:2:3' must be K:D:O:V");
    EXPECT_EQ(config.set("control-fault", "get-net:explode"),
              "-203 'get-net:explode': unknown fault 'explode'");
    EXPECT_EQ(config.set("bogus", "1"), "-202 is not an option");
    tarn_sim_summary s{};
    tarn_sim_config_summary(config.get(), &s);
    EXPECT_EQ(s.fps, 15.0);
    EXPECT_STREQ(s.destination_address, "127.0.0.1");
    EXPECT_STREQ(s.control_address, "");

    EXPECT_EQ(config.set("seconds", "2.5"), "");  // the alias of duration
    EXPECT_EQ(config.set("to", "127.1.2.3:7005"), "");
    tarn_sim_config_summary(config.get(), &s);
    EXPECT_EQ(s.duration_seconds, 2.5);
    EXPECT_STREQ(s.destination_address, "127.1.2.3");
    EXPECT_EQ(s.destination_port, 7005);

    char line[256];
    ASSERT_GT(tarn_sim_option_usage("drop-rate", "sim: ", line, sizeof line), 0);
    EXPECT_STREQ(
        line, "  --drop-rate R          sim: share of datagrams dropped at random, 0 to 1 [0]\n");
}

TEST(SimSensor, CountsWhatArrivesWithItsFaults) {
    Receiver receiver;
    Config config;
    for (const auto& [name, value] : std::vector<std::pair<const char*, std::string>>{
             {"to", "127.0.0.1:" + std::to_string(receiver.port())},
             {"from", "127.0.0.1:0"},
             {"frames", "4"},
             {"fps", "20"},
             {"imu-rate", "0"},
             {"pixel-type", "0"},
             {"drop-first-of", "1"},
             {"duplicate", "2:3"},
             {"delay", "2:5"},
             {"foreign", "3:0"}}) {
        ASSERT_EQ(config.set(name, value), "") << name;
    }
    tarn_sim* sim = nullptr;
    ASSERT_EQ(tarn_sim_open(config.get(), &sim), TARN_SIM_OK);
    int sourcePort = 0;
    tarn_sim_source_port(sim, &sourcePort);
    ASSERT_EQ(tarn_sim_start(sim), TARN_SIM_OK);
    const std::vector<Arrival> arrivals = receiver.drain(sim);
    ASSERT_EQ(tarn_sim_wait(sim, 5000), TARN_SIM_OK);
    tarn_sim_counters c{};
    tarn_sim_get_counters(sim, &c);
    tarn_sim_close(sim);

    EXPECT_EQ(c.frames, 4u);
    EXPECT_EQ(c.point_datagrams, 4u * kPointDatagramsPerFrame);  // one dropped, one doubled
    EXPECT_EQ(c.imu_datagrams, 0u);
    EXPECT_EQ(arrivals.size(), c.point_datagrams);
    EXPECT_EQ(c.dropped, 1u);
    EXPECT_EQ(c.duplicated, 1u);
    EXPECT_EQ(c.reordered, 1u);
    EXPECT_EQ(c.foreign, 1u);

    int fromElsewhere = 0;
    std::vector<std::pair<uint16_t, uint16_t>> frameTwo;  // (first column, first row) in order
    for (const Arrival& a : arrivals) {
        fromElsewhere += a.port != sourcePort;
        uint64_t timestamp = 0;
        std::memcpy(&timestamp, &a.bytes[tarn::sim::kOffsetTimestamp], sizeof timestamp);
        if (timestamp == 3) {  // frames count from 1, so frame 2 of the faults
            frameTwo.emplace_back(le16(&a.bytes[tarn::sim::kOffsetFirstColumn]),
                                  le16(&a.bytes[tarn::sim::kOffsetFirstRow]));
        }
    }
    EXPECT_EQ(fromElsewhere, 1);
    ASSERT_EQ(frameTwo.size(), static_cast<std::size_t>(kPointDatagramsPerFrame) + 1);
    // Datagram 3 (column 4, row 89) twice; datagram 5 (column 8, row 89) after datagram 6.
    EXPECT_EQ(frameTwo[3], frameTwo[4]);
    EXPECT_EQ(frameTwo[6], (std::pair<uint16_t, uint16_t>(12, 0)));
    EXPECT_EQ(frameTwo[7], (std::pair<uint16_t, uint16_t>(8, 89)));
}

TEST(SimSensor, StopEndsAnEndlessStreamAndCountsOnlyWholeFrames) {
    Receiver receiver;
    Config config;
    ASSERT_EQ(config.set("to", "127.0.0.1:" + std::to_string(receiver.port())), "");
    ASSERT_EQ(config.set("from", "127.0.0.1:0"), "");
    ASSERT_EQ(config.set("pixel-type", "0"), "");
    ASSERT_EQ(config.set("fps", "200"), "");
    tarn_sim* sim = nullptr;
    ASSERT_EQ(tarn_sim_open(config.get(), &sim), TARN_SIM_OK);
    EXPECT_EQ(tarn_sim_wait(sim, 0), TARN_SIM_OK);  // not started: nothing to wait for
    ASSERT_EQ(tarn_sim_start(sim), TARN_SIM_OK);
    // Streaming goes on until stopped: wait (bounded) for datagrams of both kinds.
    tarn_sim_counters running{};
    for (int attempt = 0; attempt < kMaxQuietPolls * 10; ++attempt) {
        EXPECT_EQ(tarn_sim_wait(sim, kQuietMs / 10), TARN_SIM_ERR_TIMEOUT);
        tarn_sim_get_counters(sim, &running);
        if (running.point_datagrams > 0 && running.imu_datagrams > 0) {
            break;
        }
    }
    EXPECT_GT(running.point_datagrams, 0u);
    EXPECT_EQ(tarn_sim_stop(sim), TARN_SIM_OK);
    EXPECT_EQ(tarn_sim_wait(sim, 0), TARN_SIM_OK);
    tarn_sim_counters c{};
    tarn_sim_get_counters(sim, &c);
    tarn_sim_close(sim);
    EXPECT_GE(c.point_datagrams, c.frames * kPointDatagramsPerFrame);
    EXPECT_LT(c.point_datagrams, (c.frames + 1) * kPointDatagramsPerFrame);
    EXPECT_GT(c.imu_datagrams, 0u);
}

TEST(SimSensor, ControlServerStartsWithItsRecordAndRefusesBadFaults) {
    const std::string address = controlAddress();
    Config config;
    ASSERT_EQ(config.set("no-stream", ""), "");
    ASSERT_EQ(config.set("control", address), "");
    ASSERT_EQ(config.set("to", "127.0.0.1:7123"), "");
    ASSERT_EQ(config.set("source-port", "6302"), "");
    tarn_sim* sim = nullptr;
    ASSERT_EQ(tarn_sim_open(config.get(), &sim), TARN_SIM_OK);
    tarn_sim* second = nullptr;
    EXPECT_EQ(tarn_sim_open(config.get(), &second), TARN_SIM_ERR_CONTROL);

    uint8_t record[TARN_SIM_SETTINGS_BYTES] = {};
    ASSERT_EQ(tarn_sim_get_settings(sim, record), TARN_SIM_OK);
    in_addr expected{};
    inet_pton(AF_INET, address.c_str(), &expected);
    EXPECT_EQ(std::memcmp(record, &expected, 4), 0);
    EXPECT_EQ(std::vector<uint8_t>(record + 4, record + 16),
              (std::vector<uint8_t>{255, 0, 0, 0, 127, 0, 0, 1, 127, 0, 0, 1}));
    EXPECT_EQ(le16(record + 16), 6302);
    EXPECT_EQ(le16(record + 18), 7123);

    EXPECT_EQ(tarn_sim_set_control_fault(sim, 0x0202, "explode", -1, 1), TARN_SIM_ERR_ARGUMENT);
    EXPECT_EQ(tarn_sim_set_control_fault(sim, 0x0202, "late", -2, 1), TARN_SIM_ERR_ARGUMENT);
    EXPECT_EQ(tarn_sim_set_control_fault(sim, 0x0202, "late", 1, 1), TARN_SIM_OK);
    size_t count = 1;
    EXPECT_EQ(tarn_sim_received_commands(sim, nullptr, 0, &count), TARN_SIM_OK);
    EXPECT_EQ(count, 0u);
    tarn_sim_close(sim);

    Config streaming;
    ASSERT_EQ(streaming.set("from", "127.0.0.1:0"), "");
    ASSERT_EQ(tarn_sim_open(streaming.get(), &sim), TARN_SIM_OK);
    EXPECT_EQ(tarn_sim_get_settings(sim, record), TARN_SIM_ERR_NO_CONTROL);
    tarn_sim_close(sim);
}

TEST(SimSensor, WallAngleBoxFollowsTheWallsDistance) {
    tarn_sim_angle_param p{};
    ASSERT_EQ(tarn_sim_wall_angle_param(nullptr, &p), TARN_SIM_OK);
    EXPECT_EQ(
        std::vector<int32_t>({p.x_lower, p.x_upper, p.y_lower, p.y_upper, p.z_lower, p.z_upper}),
        (std::vector<int32_t>{-1000, 1000, -400, 400, 1000, 3000}));
    Config config;
    ASSERT_EQ(config.set("distance", "3500"), "");
    tarn_sim_wall_angle_param(config.get(), &p);
    EXPECT_EQ(p.z_lower, 2500);
    EXPECT_EQ(p.z_upper, 4500);
}

}  // namespace
