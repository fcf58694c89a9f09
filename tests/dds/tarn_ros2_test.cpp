// tarn ros2 as a process, read by a subscriber in a process of its own that outlives it.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <sstream>

#include "process.h"
#include "subscriber_process.h"

namespace {

using tarn::dds::test::SubscriberProcess;
using tarn::testing::ToolProcess;
using namespace std::chrono_literals;

constexpr int kDomain = 48;

long long realtimeNs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// Stamps of the clouds received (a cloud is stamped with the time its frame arrived), and how
// often every reader had matched one more writer.
struct Received {
    std::vector<long long> stamps;
    size_t matched = 0;
};
Received received(const std::vector<std::string>& lines) {
    Received r;
    for (const std::string& line : lines) {
        std::istringstream in(line);
        std::string kind, ns;
        long long stamp = 0;
        in >> kind >> ns >> stamp;
        if (kind == "points") {
            r.stamps.push_back(stamp);
        }
        r.matched += kind == "matched";
    }
    return r;
}
size_t stampedAfter(const Received& r, long long after) {
    size_t n = 0;
    for (long long s : r.stamps) {
        n += s > after;
    }
    return n;
}

// A running subscriber receives clouds from tarn ros2, stopped with Ctrl-C and started again;
// each run ends promptly with its summary, the second on SIGTERM.
TEST(TarnRos2Test, ARunningSubscriberPicksUpARestartedTool) {
    setenv("CYCLONEDDS_URI", "file://" TARN_DDS_LOOPBACK_CONFIG, 1);  // the subscriber's
    SubscriberProcess sub(
        {TARN_DDS_SUBSCRIBER, std::to_string(kDomain), "120000", "0", "1", "restart"});
    ASSERT_TRUE(sub.started());
    const std::vector<std::string> args = {"ros2",         "sim",
                                           "--namespace",  "restart",
                                           "--domain",     std::to_string(kDomain),
                                           "--dds-config", TARN_DDS_LOOPBACK_CONFIG,
                                           "--reliable"};
    long long firstEnded = 0;
    for (int run = 1; run <= 2; ++run) {
        ToolProcess tool(args);
        // Three clouds of this run: stamped after the first run had ended, for the second.
        EXPECT_TRUE(sub.waitFor(
            [&](auto& lines) {
                const Received r = received(lines);
                return r.matched == size_t(run) && stampedAfter(r, firstEnded) >= 3;
            },
            60s))
            << "run " << run << ": " << received(sub.lines()).matched << " matched, "
            << stampedAfter(received(sub.lines()), firstEnded) << " clouds\n"
            << tool.output();
        const auto outcome = tool.stop(run == 1 ? SIGINT : SIGTERM, 30s);
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_NE(outcome.out.find("tarn ros2: stopped after "), std::string::npos) << outcome.out;
        EXPECT_NE(outcome.out.find("tarn ros2: /restart: points "), std::string::npos)
            << outcome.out;
        if (run == 1) {
            firstEnded = realtimeNs();
        }
    }
}

}  // namespace
