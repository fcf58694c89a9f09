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

constexpr int kRestartDomain = 48;
constexpr int kDurationDomain = 49;

// The tool's environment: the loopback configuration for the subscriber, and Cyclone DDS's
// insides left out of ThreadSanitizer's reports (the tool does not build in the suppressions
// the DDS test programs carry).
void setEnvironment() {
    setenv("CYCLONEDDS_URI", "file://" TARN_DDS_LOOPBACK_CONFIG, 1);
    const char* tsan = std::getenv("TSAN_OPTIONS");
    const std::string options =
        std::string(tsan != nullptr ? tsan : "") + ":suppressions=" TARN_DDS_TSAN_SUPPRESSIONS;
    setenv("TSAN_OPTIONS", options.c_str(), 1);
}

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
    setEnvironment();
    SubscriberProcess sub(
        {TARN_DDS_SUBSCRIBER, std::to_string(kRestartDomain), "120000", "0", "1", "restart"});
    ASSERT_TRUE(sub.started());
    const std::vector<std::string> args = {"ros2",         "sim",
                                           "--namespace",  "restart",
                                           "--domain",     std::to_string(kRestartDomain),
                                           "--dds-config", TARN_DDS_LOOPBACK_CONFIG,
                                           "--reliable"};
    long long firstEnded = 0;
    for (int run = 1; run <= 2; ++run) {
        ToolProcess tool(args);
        // Three clouds of this run (stamped after the first run had ended, for the second), while
        // the tool runs.
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        bool got = false;
        while (!got && !tool.finished() && std::chrono::steady_clock::now() < deadline) {
            got = sub.waitFor(
                [&](auto& lines) {
                    const Received r = received(lines);
                    return r.matched == size_t(run) && stampedAfter(r, firstEnded) >= 3;
                },
                100ms);
        }
        EXPECT_TRUE(got) << "run " << run << ": " << received(sub.lines()).matched << " matched, "
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

// --duration is the run's length, not rounded down to its whole seconds.
TEST(TarnRos2Test, DurationIsTheRunsLength) {
    setEnvironment();
    const auto outcome = tarn::testing::runTool({"ros2", "--duration", "0.5", "--domain",
                                                 std::to_string(kDurationDomain), "--dds-config",
                                                 TARN_DDS_LOOPBACK_CONFIG});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    const size_t at = outcome.out.find("tarn ros2: done after ");
    ASSERT_NE(at, std::string::npos) << outcome.out;
    EXPECT_GE(std::stod(outcome.out.substr(at + 22)), 0.5) << outcome.out;
}

}  // namespace
