// stream_callbacks: streams frames from a sensor through the frame and IMU callbacks and prints,
// once a second, the frame rate, the IMU rate and what the latest frame held. Stops after the given
// time or number of frames.
//
//   stream_callbacks [--local-port P] [--device-address A] [--device-port P]
//                    [--seconds S] [--frames N]
#include <KESOApi.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    int localPort = 7001;
    std::string deviceAddress = "127.0.0.1";
    int devicePort = 6301;
    double seconds = 10.0;
    uint64_t maxFrames = 0;  // 0: no limit
};

// What the callbacks found so far. Written on the library's threads, read by main; guarded by
// statsMutex.
struct Stats {
    uint64_t frames = 0;
    uint64_t imuSamples = 0;
    int measuredCells = 0;  // cells of the latest frame with a distance
    double meanDistance = 0.0;
    double meanIntensity = 0.0;
    uint64_t timestamp = 0;  // of the latest frame's first cell
    uint64_t imuTimestamp = 0;
};

std::mutex statsMutex;
std::condition_variable statsChanged;
Stats stats;

// Runs on the library's decoder thread and holds it up: summarise the grid and return.
void onFrame(KESOPointData (*grid)[KESO_COLUMNS]) {
    int measured = 0;
    double distanceSum = 0.0;
    double intensitySum = 0.0;
    for (int row = 0; row < KESO_ROWS; ++row) {
        for (int column = 0; column < KESO_COLUMNS; ++column) {
            const KESOPointData& cell = grid[row][column];
            if (cell.distance > 0.0f) {
                ++measured;
                distanceSum += cell.distance;
                intensitySum += cell.intensity;
            }
        }
    }
    {
        std::lock_guard<std::mutex> lock(statsMutex);
        ++stats.frames;
        stats.measuredCells = measured;
        stats.meanDistance = measured > 0 ? distanceSum / measured : 0.0;
        stats.meanIntensity = measured > 0 ? intensitySum / measured : 0.0;
        stats.timestamp = grid[0][0].timestamp;
    }
    statsChanged.notify_all();
}

// Runs on the library's assembler thread. The record is packed: copy the timestamp out by value.
void onImu(KESOImuData sample) {
    const uint64_t timestamp = sample.timestamp;
    std::lock_guard<std::mutex> lock(statsMutex);
    ++stats.imuSamples;
    stats.imuTimestamp = timestamp;
}

bool parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const char* name = argv[i];
        const char* value = argv[i + 1];
        if (std::strcmp(name, "--local-port") == 0) {
            options.localPort = std::atoi(value);
        } else if (std::strcmp(name, "--device-address") == 0) {
            options.deviceAddress = value;
        } else if (std::strcmp(name, "--device-port") == 0) {
            options.devicePort = std::atoi(value);
        } else if (std::strcmp(name, "--seconds") == 0) {
            options.seconds = std::atof(value);
        } else if (std::strcmp(name, "--frames") == 0) {
            options.maxFrames = std::strtoull(value, nullptr, 10);
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && options.seconds > 0.0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: stream_callbacks [--local-port P] [--device-address A] "
                     "[--device-port P] [--seconds S] [--frames N]\n");
        return 2;
    }

    // Callbacks can only be registered while no connection is up.
    KESORegisterCallbackUpdateFrame(onFrame);
    KESORegisterCallbackUpdateImu(onImu);
    const int rc =
        KESOConnectDevice(options.localPort, options.deviceAddress.c_str(), options.devicePort);
    if (rc != KESO_OK) {
        std::fprintf(stderr, "stream_callbacks: KESOConnectDevice failed with %d\n", rc);
        return 1;
    }
    std::printf("stream_callbacks: listening on port %d for %s:%d\n", options.localPort,
                options.deviceAddress.c_str(), options.devicePort);
    std::fflush(stdout);

    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(options.seconds));
    Clock::time_point nextReport = start + std::chrono::seconds(1);
    uint64_t framesAtLastReport = 0;
    std::unique_lock<std::mutex> lock(statsMutex);
    for (;;) {
        const bool enough = options.maxFrames > 0 && stats.frames >= options.maxFrames;
        const Clock::time_point now = Clock::now();
        if (enough || now >= end) {
            break;
        }
        if (now >= nextReport) {
            std::printf(
                "%5.1fs  frames %llu (+%llu)  imu %llu  cells with distance %d  "
                "mean distance %.1f  mean intensity %.1f  timestamp %llu\n",
                std::chrono::duration<double>(now - start).count(),
                static_cast<unsigned long long>(stats.frames),
                static_cast<unsigned long long>(stats.frames - framesAtLastReport),
                static_cast<unsigned long long>(stats.imuSamples), stats.measuredCells,
                stats.meanDistance, stats.meanIntensity,
                static_cast<unsigned long long>(stats.timestamp));
            std::fflush(stdout);
            framesAtLastReport = stats.frames;
            nextReport += std::chrono::seconds(1);
        }
        statsChanged.wait_until(lock, nextReport < end ? nextReport : end);
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const Stats final = stats;
    lock.unlock();

    KESODisconnectDevice();
    std::printf(
        "summary: %llu frames in %.1f s (%.1f fps), %llu IMU samples, last frame %d cells "
        "with distance, mean distance %.1f\n",
        static_cast<unsigned long long>(final.frames), elapsed,
        static_cast<double>(final.frames) / elapsed,
        static_cast<unsigned long long>(final.imuSamples), final.measuredCells, final.meanDistance);
    return final.frames > 0 ? 0 : 1;
}
