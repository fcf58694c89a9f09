// tarn_stream_example: a small application on the library's public interface. It connects to a
// sensor, counts frames and IMU samples in callbacks, polls the newest frame, measures the plane
// angle of each new frame, prints a line per second and a summary, and stops by itself.
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "KESOApi.h"
#include "tools/common/address.h"
#include "tools/common/option_table.h"
#include "tools/stream_example/angle_setup.h"
#include "tools/stream_example/frame_stats.h"

namespace {

using tarn::tools::FrameSummary;
using tarn::tools::StreamStats;
using Clock = std::chrono::steady_clock;
using Grid = std::unique_ptr<KESOPointData[][KESO_COLUMNS]>;

constexpr long kMaxPort = 65535;
constexpr auto kPollInterval = std::chrono::milliseconds(10);
constexpr auto kReportInterval = std::chrono::seconds(1);

const char* const kUsage = "usage: tarn_stream_example [options]";
const char* const kDescription =
    "Streams frames from a sensor, prints a line per second and a summary, and stops by itself.";
const char* const kExamples =
    R"(  tarn_stream_example --device 127.0.0.1:6301 --local-port 7001 --duration 5
)";

struct Options {
    int localPort = 7001;
    std::string deviceAddress = "127.0.0.1";
    int devicePort = 6301;
    double seconds = 10.0;
    uint64_t maxFrames = 0;
    double idleSeconds = 2.0;
    double trueTilt = NAN;
    uint64_t timestampStep = 1;
    KESOAngleMeasureParam angle = tarn::tools::defaultAngleParam();
};

// Written by the callbacks on the library's decoder and assembler threads, read by the main
// thread; all guarded by sharedMutex.
std::mutex sharedMutex;
StreamStats* sharedStats = nullptr;  // set before connecting, owned by main
uint64_t imuSamples = 0;
KESOImuData lastImu{};

void onFrame(KESOPointData (*grid)[KESO_COLUMNS]) {
    const FrameSummary summary = tarn::tools::summarizeFrame(grid);
    std::lock_guard<std::mutex> lock(sharedMutex);
    sharedStats->add(summary);
}

void onImu(KESOImuData sample) {
    std::lock_guard<std::mutex> lock(sharedMutex);
    ++imuSamples;
    lastImu = sample;
}

struct Snapshot {
    StreamStats stats{1};
    uint64_t imu = 0;
    KESOImuData lastImu{};
};

Snapshot snapshot() {
    std::lock_guard<std::mutex> lock(sharedMutex);
    return {*sharedStats, imuSamples, lastImu};
}

// The angle results of all measured frames.
struct AngleLog {
    uint64_t measured = 0;
    uint64_t ok = 0;
    double sum = 0.0;
    float low = INFINITY;
    float high = -INFINITY;
    float last = NAN;
    KESOAngleResult lastResult{0, ""};
    std::map<std::pair<int, std::string>, uint64_t> failures;

    void add(const KESOAngleResult& result, float angle) {
        ++measured;
        last = angle;
        lastResult = result;
        if (result.code != 0) {
            ++failures[{result.code, result.message != nullptr ? result.message : "(null)"}];
            return;
        }
        ++ok;
        sum += static_cast<double>(angle);
        low = std::fmin(low, angle);
        high = std::fmax(high, angle);
    }
};

uint64_t newestTimestamp(const KESOPointData (*grid)[KESO_COLUMNS]) {
    uint64_t newest = 0;
    for (int row = 0; row < KESO_ROWS; ++row) {
        for (int column = 0; column < KESO_COLUMNS; ++column) {
            newest = grid[row][column].timestamp > newest ? grid[row][column].timestamp : newest;
        }
    }
    return newest;
}

std::string trueTiltText(double trueTilt) {
    if (std::isnan(trueTilt)) {
        return "";
    }
    char text[48];
    std::snprintf(text, sizeof text, " (true %.2f)", trueTilt);
    return text;
}

void printCell(const KESOPointData (*grid)[KESO_COLUMNS], int row, int column) {
    const KESOPointData& c = grid[row][column];
    std::printf("  [%u,%u] x %.1f y %.1f z %.1f dist %.0f int %u ts %llu", c.row, c.column,
                static_cast<double>(c.x), static_cast<double>(c.y), static_cast<double>(c.z),
                static_cast<double>(c.distance), c.intensity,
                static_cast<unsigned long long>(c.timestamp));
}

void printReport(double elapsed, double fps, const Snapshot& s, const AngleLog& angles,
                 const Options& o, const KESOPointData (*grid)[KESO_COLUMNS], bool haveGrid) {
    std::printf(
        "%5.1fs  %5.1f fps  frames %llu  lost %llu  datagrams ~%llu (loss %.2f%%)  imu %llu",
        elapsed, fps, static_cast<unsigned long long>(s.stats.frames()),
        static_cast<unsigned long long>(s.stats.framesLost()),
        static_cast<unsigned long long>(s.stats.datagramsEstimate()),
        100.0 * s.stats.datagramLoss(), static_cast<unsigned long long>(s.imu));
    if (angles.measured > 0) {
        std::printf("  angle %.2f%s  [%d %s]", static_cast<double>(angles.last),
                    trueTiltText(o.trueTilt).c_str(), angles.lastResult.code,
                    angles.lastResult.message != nullptr ? angles.lastResult.message : "(null)");
    }
    std::printf("\n");
    if (haveGrid) {
        printCell(grid, 0, 0);
        printCell(grid, KESO_ROWS / 2, KESO_COLUMNS / 2);
        printCell(grid, KESO_ROWS - 1, KESO_COLUMNS - 1);
        std::printf("\n");
    }
    std::fflush(stdout);
}

// streamed: seconds from the first frame to the last, as the polling loop saw them.
void printSummary(const Snapshot& s, const AngleLog& angles, const Options& o, double streamed) {
    const StreamStats& st = s.stats;
    const double fps =
        streamed > 0.0 && st.frames() > 1 ? static_cast<double>(st.frames() - 1) / streamed : 0.0;
    std::printf(
        "summary: frames received %llu, frames lost %llu, repeated %llu, "
        "%.1f fps over %.1f s\n",
        static_cast<unsigned long long>(st.frames()),
        static_cast<unsigned long long>(st.framesLost()),
        static_cast<unsigned long long>(st.framesRepeated()), fps, streamed);
    std::printf(
        "summary: datagrams ~%llu of ~%llu expected, loss estimate %.2f%%, "
        "stale cells %llu, IMU samples %llu\n",
        static_cast<unsigned long long>(st.datagramsEstimate()),
        static_cast<unsigned long long>(st.datagramsExpected()), 100.0 * st.datagramLoss(),
        static_cast<unsigned long long>(st.staleCells()), static_cast<unsigned long long>(s.imu));
    if (angles.ok > 0) {
        std::printf(
            "summary: angle measured on %llu frames, %llu OK: mean %.2f, min %.2f, "
            "max %.2f%s\n",
            static_cast<unsigned long long>(angles.measured),
            static_cast<unsigned long long>(angles.ok), angles.sum / static_cast<double>(angles.ok),
            static_cast<double>(angles.low), static_cast<double>(angles.high),
            trueTiltText(o.trueTilt).c_str());
    } else {
        std::printf("summary: angle measured on %llu frames, none OK%s\n",
                    static_cast<unsigned long long>(angles.measured),
                    trueTiltText(o.trueTilt).c_str());
    }
    for (const auto& failure : angles.failures) {
        std::printf("summary: angle result %d \"%s\" on %llu frames\n", failure.first.first,
                    failure.first.second.c_str(), static_cast<unsigned long long>(failure.second));
    }
}

void registerOptions(CLI::App& app, Options& o) {
    using tarn::tools::numberIn;
    using tarn::tools::wholeNumberIn;
    tarn::tools::describeCommand(app, kUsage, kDescription, kExamples);
    app.add_option("--local-port", o.localPort, "local UDP port the sensor sends to [7001]")
        ->type_name("P")
        ->check(wholeNumberIn(1, kMaxPort));
    app.add_option_function<std::string>(
           "--device",
           [&o](const std::string& text) {
               const tarn::tools::Endpoint device = tarn::tools::parseEndpoint(
                   "device", text, {static_cast<uint16_t>(o.devicePort), 1, kMaxPort, false});
               o.deviceAddress = device.address;
               o.devicePort = device.port;
           },
           "the sensor's address and source port (6301 is always accepted)\n[127.0.0.1:6301]")
        ->type_name("A[:P]");
    // The spellings of earlier versions.
    app.add_option("--device-address", o.deviceAddress, "the sensor's address")->group("");
    app.add_option("--device-port", o.devicePort, "the sensor's source port")
        ->check(wholeNumberIn(1, kMaxPort))
        ->group("");
    app.add_option("--duration", o.seconds, "stop after S seconds [10]")
        ->type_name("S")
        ->check(numberIn(0.1, 1e6));
    app.add_option("--seconds", o.seconds, "stop after S seconds")
        ->check(numberIn(0.1, 1e6))
        ->group("");
    app.add_option("--frames", o.maxFrames, "stop after N frames, 0 for no limit [0]")
        ->type_name("N")
        ->check(wholeNumberIn(0, 1000000000));
    app.add_option("--idle", o.idleSeconds,
                   "stop when no frame came for S seconds after the first [2]")
        ->type_name("S")
        ->check(numberIn(0.1, 1e6));
    app.add_option("--true-tilt", o.trueTilt,
                   "the scene's true tilt in degrees, printed beside the measured angle")
        ->type_name("D")
        ->check(numberIn(-90.0, 90.0));
    app.add_option("--timestamp-step", o.timestampStep,
                   "timestamp units per frame (the simulated sensor stamps frame numbers) [1]")
        ->type_name("T")
        ->check(wholeNumberIn(1, 1000000000000L));
    tarn::tools::addAngleOptions(app, o.angle);
}

int run(const Options& o) {
    StreamStats stats(o.timestampStep);
    sharedStats = &stats;
    KESOEnableAngleMeasure(true, o.angle);
    KESORegisterCallbackUpdateFrame(onFrame);
    KESORegisterCallbackUpdateImu(onImu);

    const int code = KESOConnectDevice(o.localPort, o.deviceAddress.c_str(), o.devicePort);
    if (code != KESO_OK) {
        std::fprintf(stderr, "tarn_stream_example: KESOConnectDevice failed with %d\n", code);
        return 1;
    }
    std::printf("tarn_stream_example: listening on port %d for %s:%d\n", o.localPort,
                o.deviceAddress.c_str(), o.devicePort);
    std::fflush(stdout);

    const Grid grid(new KESOPointData[KESO_ROWS][KESO_COLUMNS]());
    AngleLog angles;
    bool haveGrid = false;
    uint64_t measuredTimestamp = 0;
    uint64_t framesAtLastReport = 0;
    uint64_t framesSeen = 0;
    const Clock::time_point start = Clock::now();
    Clock::time_point lastReport = start;
    Clock::time_point firstFrame = start;
    Clock::time_point lastFrame = start;
    using Seconds = std::chrono::duration<double>;

    for (;;) {
        const Clock::time_point now = Clock::now();
        const uint64_t frames = snapshot().stats.frames();
        if (frames != framesSeen) {
            firstFrame = framesSeen == 0 ? now : firstFrame;
            framesSeen = frames;
            lastFrame = now;
        }
        const bool timeUp = Seconds(now - start).count() >= o.seconds;
        const bool enoughFrames = o.maxFrames > 0 && frames >= o.maxFrames;
        const bool idle = frames > 0 && Seconds(now - lastFrame).count() >= o.idleSeconds;
        if (timeUp || enoughFrames || idle) {
            break;
        }

        // Measure each new frame once, on a copy that the library does not touch.
        if (KESOGetFrame(grid.get()) == KESO_OK) {
            haveGrid = true;
            const uint64_t newest = newestTimestamp(grid.get());
            if (newest != measuredTimestamp || angles.measured == 0) {
                measuredTimestamp = newest;
                float angle = NAN;
                const KESOAngleResult result = KESOGetPlaneAngle(grid.get(), &angle);
                angles.add(result, angle);
            }
        }

        if (now - lastReport >= kReportInterval) {
            const double interval = Seconds(now - lastReport).count();
            const Snapshot s = snapshot();
            const double fps =
                static_cast<double>(s.stats.frames() - framesAtLastReport) / interval;
            framesAtLastReport = s.stats.frames();
            lastReport = now;
            printReport(Seconds(now - start).count(), fps, s, angles, o, grid.get(), haveGrid);
        }
        std::this_thread::sleep_for(kPollInterval);
    }

    KESODisconnectDevice();
    const Snapshot s = snapshot();
    printSummary(s, angles, o, Seconds(lastFrame - firstFrame).count());
    return s.stats.frames() > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        CLI::App app;
        Options options;
        registerOptions(app, options);
        if (!tarn::tools::parseCommandLine(app, std::vector<std::string>(argv + 1, argv + argc))) {
            return 0;
        }
        return run(options);
    } catch (const tarn::tools::UsageError& e) {
        std::fprintf(stderr, "tarn_stream_example: %s (see tarn_stream_example --help)\n",
                     e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarn_stream_example: %s\n", e.what());
        return 1;
    }
}
