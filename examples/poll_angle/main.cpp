// poll_angle: streams frames from a sensor without callbacks. It polls the newest frame, turns it
// by the sensor's mounting angle about the vertical axis (so angles are measured in the room's
// frame rather than the sensor's) and measures the tilt of the plane in front of it, once per new
// frame. Stops after the given time or number of measured frames.
//
//   poll_angle [--local-port P] [--device-address A] [--device-port P]
//              [--seconds S] [--frames N] [--turn D]
#include <KESOApi.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kPollInterval{10};

struct Options {
    int localPort = 7001;
    std::string deviceAddress = "127.0.0.1";
    int devicePort = 6301;
    double seconds = 10.0;
    int maxFrames = 0;  // 0: no limit
    float turn = 0.0f;  // degrees about the vertical axis
};

// A box around a wall about 2000 units ahead that spans y within 900 and z within 400, sliced
// every 50 units of height; suits the simulated sensor's wall. Order as in the record.
const KESOAngleMeasureParam kWallMeasurement = {
    -800,   // xLower: y above
    800,    // xUpper: y below
    -300,   // yLower: z above
    300,    // yUpper: z below
    200,    // windowWidth
    20,     // windowStep
    50,     // binWidth
    4000,   // zUpper: x below
    500,    // zLower: x above
    50,     // minFitPoints
    5.0f,   // angleTolerance
    60.0f,  // extendAngle
    0.0f,   // resetAngle: never restart the search
};

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
            options.maxFrames = std::atoi(value);
        } else if (std::strcmp(name, "--turn") == 0) {
            options.turn = static_cast<float>(std::atof(value));
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
                     "usage: poll_angle [--local-port P] [--device-address A] [--device-port P] "
                     "[--seconds S] [--frames N] [--turn D]\n");
        return 2;
    }

    KESOEnableAngleMeasure(true, kWallMeasurement);
    const int rc =
        KESOConnectDevice(options.localPort, options.deviceAddress.c_str(), options.devicePort);
    if (rc != KESO_OK) {
        std::fprintf(stderr, "poll_angle: KESOConnectDevice failed with %d\n", rc);
        return 1;
    }
    std::printf("poll_angle: listening on port %d for %s:%d, turning frames by %.1f degrees\n",
                options.localPort, options.deviceAddress.c_str(), options.devicePort,
                static_cast<double>(options.turn));
    std::fflush(stdout);

    // 2.16 MB: too big for the stack.
    std::unique_ptr<KESOPointData[][KESO_COLUMNS]> grid(new KESOPointData[KESO_ROWS][KESO_COLUMNS]);
    const KESORotateInfo turn = {0.0f, 0.0f, options.turn, 0.0f, 0.0f, 0.0f};
    const Clock::time_point end =
        Clock::now() +
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.seconds));
    bool havePrevious = false;
    uint64_t previousTimestamp = 0;
    int frames = 0;
    int measured = 0;
    double angleSum = 0.0;
    while (Clock::now() < end && (options.maxFrames == 0 || frames < options.maxFrames)) {
        // -1992 until the first frame arrives; a frame is new when its timestamp moved on.
        if (KESOGetFrame(grid.get()) != KESO_OK ||
            (havePrevious && grid[0][0].timestamp == previousTimestamp)) {
            std::this_thread::sleep_for(kPollInterval);
            continue;
        }
        havePrevious = true;
        previousTimestamp = grid[0][0].timestamp;
        ++frames;

        KESOGetRotatePointcloudData(grid.get(), turn);
        float angle = 0.0f;
        const KESOAngleResult result = KESOGetPlaneAngle(grid.get(), &angle);
        const int32_t code = result.code;
        if (code == KESO_OK) {
            ++measured;
            angleSum += angle;
            std::printf("frame %llu  angle %.2f\n",
                        static_cast<unsigned long long>(previousTimestamp),
                        static_cast<double>(angle));
        } else {
            std::printf("frame %llu  no angle: %d %s\n",
                        static_cast<unsigned long long>(previousTimestamp), code, result.message);
        }
        std::fflush(stdout);
    }

    KESODisconnectDevice();
    KESOEnableAngleMeasure(false, kWallMeasurement);
    if (measured == 0) {
        std::printf("summary: %d frames, no angle measured\n", frames);
        return 1;
    }
    std::printf("summary: %d frames, %d measured, mean angle %.2f\n", frames, measured,
                angleSum / measured);
    return 0;
}
