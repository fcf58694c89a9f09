// tarn_sim_sensor: plays the sensor's measurement side on loopback. It streams frames of a tilted
// wall (and IMU samples) to a UDP port for a given number of frames or seconds, optionally with
// faults, then prints what it sent. Each frame's timestamp is its frame number, from 1.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>

#include "sim/scene.h"
#include "sim/stream_sender.h"
#include "tools/common/command_line.h"

namespace {

using tarn::tools::CommandLine;
namespace sim = tarn::sim;

constexpr long kMaxPort = 65535;
constexpr uint16_t kSensorDataPort = 6301;
constexpr double kDefaultSeconds = 5.0;

// Written by the signal handler, read by the streaming loop on the main thread (lock-free atomic).
std::atomic<bool> stopRequested{false};

void requestStop(int) {
    stopRequested = true;
}

const char* const kUsage = R"(usage: tarn_sim_sensor --port P [options]
Streams frames of a simulated tilted wall to 127.0.0.1:P and stops by itself.
  --port P             destination UDP port (the library's local port), required
  --address A          destination address, 127.x.y.z [127.0.0.1]
  --source-address A   source address, 127.x.y.z [127.0.0.1]
  --source-port P      source port, 0 for any [6301]
  --pixel-type T       0: 4-byte, 1: 8-byte, 2: 10-byte pixels [2]
  --fps F              frames per second [15]
  --frames N           frames to send; 0 sends for --seconds [0]
  --seconds S          longest run in seconds [5 when --frames is 0, else none]
  --tilt D             tilt of the wall in degrees (x falls by tan(D) per unit of y) [12]
  --distance X         x of the wall at y = 0 [2000]
  --noise R            standard deviation of the noise on raw x (raw unit = 0.2) [2]
  --imu-rate H         IMU samples per second, 0 for none [100]
  --drop-rate R        share of datagrams dropped at random [0]
  --duplicate-rate R   share of datagrams sent twice [0]
  --reorder-rate R     share of datagrams sent after their successor [0]
  --seed S             seed of the random faults and of the noise [1]
  --drop-first-of K    drop the first datagram of frame K (0 is the first frame sent) [none]
  --drop-last-of K     drop the last datagram of frame K [none]
)";

struct Options {
    sim::SenderConfig sender;
    sim::SceneConfig scene;
    sim::StreamPlan plan;
    sim::RandomFaults random;
    long dropFirstOf = -1;
    long dropLastOf = -1;
};

Options readOptions(CommandLine& line) {
    Options o;
    o.sender.destinationPort = static_cast<uint16_t>(line.integer("port", 0, 1, kMaxPort));
    if (o.sender.destinationPort == 0) {
        throw std::invalid_argument("--port is required");
    }
    o.sender.destinationAddress = line.text("address", "127.0.0.1");
    o.sender.sourceAddress = line.text("source-address", "127.0.0.1");
    o.sender.sourcePort =
        static_cast<uint16_t>(line.integer("source-port", kSensorDataPort, 0, kMaxPort));
    o.plan.pixelType =
        static_cast<uint8_t>(line.integer("pixel-type", sim::kPixelType10Bytes, 0, 2));
    o.plan.fps = line.number("fps", 15.0, 0.1, 1000.0);
    o.plan.frames = static_cast<uint64_t>(line.integer("frames", 0, 0, 1000000000));
    o.plan.seconds = line.number("seconds", o.plan.frames == 0 ? kDefaultSeconds : 0.0, 0.0, 1e6);
    o.plan.imuRate = line.number("imu-rate", 100.0, 0.0, 10000.0);
    o.plan.firstFrame = 1;
    o.plan.stop = &stopRequested;
    o.scene.tiltDegrees = static_cast<float>(line.number("tilt", 12.0, -89.0, 89.0));
    o.scene.wallDistance = static_cast<float>(line.number("distance", 2000.0, 1.0, 6000.0));
    o.scene.noiseRaw = static_cast<float>(line.number("noise", 2.0, 0.0, 1000.0));
    const long seed = line.integer("seed", 1, 0, 0xffffffffL);
    o.scene.seed = static_cast<uint32_t>(seed);
    o.random.seed = static_cast<uint32_t>(seed);
    o.random.dropRate = line.number("drop-rate", 0.0, 0.0, 1.0);
    o.random.duplicateRate = line.number("duplicate-rate", 0.0, 0.0, 1.0);
    o.random.reorderRate = line.number("reorder-rate", 0.0, 0.0, 1.0);
    o.dropFirstOf = line.integer("drop-first-of", -1, -1, 1000000000);
    o.dropLastOf = line.integer("drop-last-of", -1, -1, 1000000000);
    return o;
}

void configureFaults(sim::StreamSender& sender, const Options& o) {
    sender.setRandomFaults(o.random);
    if (o.dropFirstOf >= 0) {
        sender.addFault({sim::FaultKind::kDrop, static_cast<uint64_t>(o.dropFirstOf), 0});
    }
    if (o.dropLastOf >= 0) {
        sender.addFault({sim::FaultKind::kDrop, static_cast<uint64_t>(o.dropLastOf), -1});
    }
}

int run(const Options& o) {
    sim::StreamSender sender(o.sender);
    configureFaults(sender, o);
    const sim::Scene scene(o.scene);
    std::printf(
        "tarn_sim_sensor: streaming a wall tilted %.2f degrees from %s:%u to %s:%u, "
        "%d datagrams per frame, %.1f fps\n",
        static_cast<double>(o.scene.tiltDegrees), o.sender.sourceAddress.c_str(),
        sender.sourcePort(), o.sender.destinationAddress.c_str(), o.sender.destinationPort,
        sim::datagramsPerFrame(o.plan.pixelType), o.plan.fps);
    std::fflush(stdout);

    sender.stream(scene, o.plan);

    const sim::SenderCounters c = sender.counters();
    std::printf(
        "tarn_sim_sensor: sent %llu frames, %llu datagrams (%llu point, %llu IMU), "
        "%llu send errors\n",
        static_cast<unsigned long long>(c.framesSent),
        static_cast<unsigned long long>(c.datagramsSent),
        static_cast<unsigned long long>(c.datagramsSent - c.imuSent),
        static_cast<unsigned long long>(c.imuSent), static_cast<unsigned long long>(c.sendErrors));
    std::printf("tarn_sim_sensor: faults: %llu dropped, %llu duplicated, %llu reordered\n",
                static_cast<unsigned long long>(c.faults.dropped),
                static_cast<unsigned long long>(c.faults.duplicated),
                static_cast<unsigned long long>(c.faults.reordered));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        CommandLine line(argc, argv);
        if (line.helpRequested()) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        const Options options = readOptions(line);
        for (const std::string& name : line.unread()) {
            throw std::invalid_argument("unknown option " + name);
        }
        std::signal(SIGINT, requestStop);
        std::signal(SIGTERM, requestStop);
        return run(options);
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "tarn_sim_sensor: %s\n%s", e.what(), kUsage);
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarn_sim_sensor: %s\n", e.what());
        return 1;
    }
}
