// tarn sim's measurement stream: what it says it sent is what arrives, faults included, and it
// stops cleanly on a signal.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "process.h"
#include "sim/datagram.h"

namespace {

using tarn::testing::ToolProcess;

constexpr int kReceiveBuffer = 8 << 20;
constexpr int kPollMs = 20;

// A UDP socket on 127.0.0.1 and a free port, counting what arrives.
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

    // Takes what has arrived, waiting at most kPollMs for the first datagram.
    void drain() {
        pollfd entry{fd_, POLLIN, 0};
        while (poll(&entry, 1, kPollMs) > 0) {
            uint8_t buffer[2048];
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t n = recvfrom(fd_, buffer, sizeof buffer, 0,
                                       reinterpret_cast<sockaddr*>(&from), &length);
            if (n >= 0) {
                datagrams.emplace_back(buffer, buffer + n);
                ports.push_back(ntohs(from.sin_port));
            }
        }
    }

    std::vector<std::vector<uint8_t>> datagrams;
    std::vector<uint16_t> ports;

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

TEST(TarnSim, WhatItReportsSentIsWhatArrives) {
    Receiver receiver;
    ToolProcess sim({"sim",
                     "--to",
                     "127.0.0.1:" + std::to_string(receiver.port()),
                     "--from",
                     "127.0.0.1:0",
                     "--frames",
                     "4",
                     "--fps",
                     "20",
                     "--pixel-type",
                     "0",
                     "--imu-rate",
                     "50",
                     "--drop-first-of",
                     "1",
                     "--truncate",
                     "2:0:30",
                     "--foreign",
                     "3:5",
                     "--corrupt",
                     "3:1:3:9"});
    while (!sim.finished()) {
        receiver.drain();
    }
    receiver.drain();
    const auto outcome = sim.wait();
    ASSERT_EQ(outcome.status, 0) << outcome.err;

    std::map<uint8_t, int> byType;
    int firsts = 0;
    int truncated = 0;
    for (const auto& d : receiver.datagrams) {
        ++byType[d[tarn::sim::kOffsetDataType]];
        firsts += d[tarn::sim::kOffsetDataType] == tarn::sim::kDataTypePoint &&
                  d.size() > tarn::sim::kOffsetFrameFlag &&
                  d[tarn::sim::kOffsetFrameFlag] == tarn::sim::kFrameFlagFirst;
        truncated += d.size() == 30;
    }
    // 4 frames of 180 datagrams (4-byte pixels), frame 1 without its first.
    const int points = 4 * 180 - 1;
    const std::string counts = "sent 4 frames, " + std::to_string(points) + " point datagrams, " +
                               std::to_string(byType[tarn::sim::kDataTypeImu]) + " IMU datagrams";
    EXPECT_NE(outcome.out.find("tarn sim: " + counts + ", 0 send errors\n"), std::string::npos)
        << outcome.out;
    EXPECT_EQ(byType[tarn::sim::kDataTypePoint], points - 1);  // one has dataType 9
    EXPECT_EQ(byType[9], 1);
    EXPECT_GE(byType[tarn::sim::kDataTypeImu], 9);
    EXPECT_EQ(firsts, 3);
    EXPECT_EQ(truncated, 1);
    EXPECT_EQ(std::count(receiver.ports.begin(), receiver.ports.end(), receiver.ports.front()),
              static_cast<long>(receiver.ports.size()) - 1);  // one came from another port
    EXPECT_NE(outcome.out.find("tarn sim: faults: dropped 1 duplicated 0 reordered 0 truncated 1 "
                               "corrupted 1 foreign 1\n"),
              std::string::npos);
}

TEST(TarnSim, PrintsAStatusLineEachSecondAndStopsOnSigterm) {
    Receiver receiver;
    ToolProcess sim({"sim", "--to", "127.0.0.1:" + std::to_string(receiver.port()), "--from",
                     "127.0.0.1:0", "--fps", "5", "--imu-rate", "0"});
    ASSERT_TRUE(sim.waitForOutput(" s  frames ")) << sim.output();
    const auto outcome = sim.stop(SIGTERM);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_NE(outcome.out.find("tarn sim: stopped after "), std::string::npos) << outcome.out;
    EXPECT_NE(outcome.out.find("tarn sim: sent "), std::string::npos);
}

}  // namespace
