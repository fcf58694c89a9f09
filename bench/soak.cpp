// A long run of the KESO connection against the simulated sensor: one thread polls KESOGetFrame,
// another measures the plane angle, the frame callback counts. Reports frames sent and received
// and the resident memory early in the run and at its end, so that growth shows.
//   tarn_soak [seconds] [fps]        (scripts/soak runs it for 10 minutes)
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "KESOApi.h"
#include "sim/scene.h"
#include "sim/stream_sender.h"
#include "sim/wall_frame.h"
#include "tarn/tarn.h"

namespace {

constexpr uint16_t kLocalPort = 47321;
constexpr float kTiltDegrees = 12.0f;

std::atomic<uint64_t> callbackFrames{0};

void onFrame(KESOPointData (*)[KESO_COLUMNS]) {
    callbackFrames.fetch_add(1);
}

// VmRSS and VmHWM of this process in kB.
struct Memory {
    long residentKb = 0;
    long peakKb = 0;
};

Memory memory() {
    std::ifstream status("/proc/self/status");
    Memory now;
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            now.residentKb = std::atol(line.c_str() + 6);
        } else if (line.rfind("VmHWM:", 0) == 0) {
            now.peakKb = std::atol(line.c_str() + 6);
        }
    }
    return now;
}

using Grid = std::unique_ptr<KESOPointData[][KESO_COLUMNS]>;

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 600.0;
    const double fps = argc > 2 ? std::atof(argv[2]) : 100.0;
    tarn::sim::SceneConfig sceneConfig;
    sceneConfig.tiltDegrees = kTiltDegrees;
    const tarn::sim::Scene scene(sceneConfig);
    tarn::sim::StreamSender sender({"127.0.0.1", 0, "127.0.0.1", kLocalPort});
    KESORegisterCallbackUpdateFrame(onFrame);
    KESOEnableAngleMeasure(true, tarn::sim::wallAngleParam());
    if (KESOConnectDevice(kLocalPort, "127.0.0.1", sender.sourcePort()) != 0) {
        std::fprintf(stderr, "tarn_soak: connect failed\n");
        return 1;
    }

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> polled{0};
    std::atomic<uint64_t> measured{0};
    std::atomic<uint64_t> measuredOk{0};
    std::thread poller([&] {
        Grid grid(new KESOPointData[KESO_ROWS][KESO_COLUMNS]);
        while (!stop) {
            if (KESOGetFrame(grid.get()) == 0) {
                polled.fetch_add(1);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    std::thread measurer([&] {
        Grid grid(new KESOPointData[KESO_ROWS][KESO_COLUMNS]);
        while (!stop) {
            float angle = 0.0f;
            if (KESOGetFrame(grid.get()) == 0) {
                measured.fetch_add(1);
                if (KESOGetPlaneAngle(grid.get(), &angle).code == 0) {
                    measuredOk.fetch_add(1);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });

    std::thread streaming([&] {
        tarn::sim::StreamPlan plan;
        plan.seconds = seconds;
        plan.fps = fps;
        plan.imuRate = 100.0;
        sender.stream(scene, plan);
    });
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const Memory early = memory();
    streaming.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    stop = true;
    poller.join();
    measurer.join();
    const Memory late = memory();
    tarn_stream_stats stats{};
    tarn_stream_get_stats(tarn_stream_default(), &stats);
    KESODisconnectDevice();

    const tarn::sim::SenderCounters sent = sender.counters();
    std::printf("soak: %.0f s at %.0f fps: frames sent %llu, received %llu (decoded %llu, "
                "incomplete %llu, lost %llu), kernel drops %llu\n",
                seconds, fps, static_cast<unsigned long long>(sent.framesSent),
                static_cast<unsigned long long>(callbackFrames.load()),
                static_cast<unsigned long long>(stats.frames_decoded),
                static_cast<unsigned long long>(stats.frames_incomplete),
                static_cast<unsigned long long>(stats.frames_lost_last + stats.frames_queue_full),
                static_cast<unsigned long long>(stats.kernel_drops));
    std::printf("soak: polled %llu frames, measured %llu (%llu OK)\n",
                static_cast<unsigned long long>(polled.load()),
                static_cast<unsigned long long>(measured.load()),
                static_cast<unsigned long long>(measuredOk.load()));
    std::printf("soak: resident %ld kB after 10 s, %ld kB at the end; peak %ld kB after 10 s, "
                "%ld kB at the end\n",
                early.residentKb, late.residentKb, early.peakKb, late.peakKb);
    return callbackFrames.load() == sent.framesSent ? 0 : 1;
}
