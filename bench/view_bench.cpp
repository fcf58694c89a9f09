// The live viewer's cost and delay at the sensor's rate, measured in one run against the simulated
// sensor sending from its own process (tarn_loopback_sender), pixel type 2 at 20 frames per
// second, each frame's datagrams spread over half the period:
//   - this process's CPU per frame while a frame source (tarn/source.h) takes the frames on a
//     feeding thread and does nothing else with them (what tarn stream does: the baseline), then
//     while the same thread hands each frame to a viewer (tarn/view.h) with 0, 1 and 4 WebSocket
//     clients (tarn_view_clients, a process of its own on 127.0.0.1) subscribed to its points,
//     depth and intensity channels;
//   - the messages serialised and sent per frame with each client count (the viewer's counters);
//   - serialising one frame's three messages alone (into a reused buffer), and sending their
//     bytes alone over a loopback TCP connection (the sending thread's CPU): together what each
//     client may add at most;
//   - the delay from the send of a frame's last datagram (in the sender process) to
//     tarn_source_next returning it (baseline), and to its points message and to the last of its
//     three messages arriving at a client (the message has left the server's socket by then),
//     on the same monotonic clock: median and 99th percentile.
// The phases run in turn, the whole cycle `rounds` times; each CPU figure is the least of its
// rounds (on a shared machine other work only adds time), each delay over all rounds.
// Uses the public headers only. Prints one "name value" line per figure.
// Run: build/<flavour>/bench/tarn_view_bench [seconds per phase, 3] [rounds, 2]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/sender_process.h"
#include "tarn/messages.h"
#include "tarn/source.h"
#include "tarn/view.h"

namespace {

constexpr double kFramesPerSecond = 20.0;
constexpr double kSensorSpread = 0.5;
constexpr int kPixelType = 2;
constexpr double kPercentile99 = 0.99;
constexpr int kFrameWaitMs = 100;
constexpr int kMostFrames = 8192;  // frames timed, by number
constexpr int kSerialiseRepetitions = 40;
constexpr int kSendRepetitions = 40;
constexpr auto kSettle = std::chrono::milliseconds(300);

int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

double processCpuSeconds() {
    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    return static_cast<double>(self.ru_utime.tv_sec + self.ru_stime.tv_sec) +
           static_cast<double>(self.ru_utime.tv_usec + self.ru_stime.tv_usec) / 1e6;
}

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::string siblingProgram(const char* name) {
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string path = length > 0 ? std::string(self, static_cast<size_t>(length)) : "";
    return path.substr(0, path.find_last_of('/') + 1) + name;
}

struct Arrival {
    int client;
    uint32_t subscription;
    uint64_t stamp;
    int64_t ns;
};

// tarn_view_clients as a child process: N clients subscribed once ready() returns.
class ClientsProcess {
  public:
    ClientsProcess(int port, int clients) {
        int toChild[2];
        int fromChild[2];
        if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        const std::string program = siblingProgram("tarn_view_clients");
        const std::string portText = std::to_string(port);
        const std::string countText = std::to_string(clients);
        child_ = fork();
        if (child_ == 0) {
            dup2(toChild[0], STDIN_FILENO);
            dup2(fromChild[1], STDOUT_FILENO);
            execl(program.c_str(), program.c_str(), portText.c_str(), countText.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(toChild[0]);
        close(fromChild[1]);
        commands_ = fdopen(toChild[1], "w");
        replies_ = fdopen(fromChild[0], "r");
        char line[64];
        if (child_ < 0 || std::fgets(line, sizeof line, replies_) == nullptr ||
            std::string(line) != "ready\n") {
            throw std::runtime_error("cannot start " + program);
        }
    }
    ~ClientsProcess() {
        if (commands_ != nullptr) {
            std::fclose(commands_);
        }
        std::fclose(replies_);
        int status = 0;
        waitpid(child_, &status, 0);
    }
    ClientsProcess(const ClientsProcess&) = delete;
    ClientsProcess& operator=(const ClientsProcess&) = delete;

    // Closes the clients and returns every message they received.
    std::vector<Arrival> finish() {
        std::fputs("quit\n", commands_);
        std::fclose(commands_);
        commands_ = nullptr;
        std::vector<Arrival> arrivals;
        char line[128];
        while (std::fgets(line, sizeof line, replies_) != nullptr) {
            Arrival a{};
            unsigned long long stamp = 0;
            long long ns = 0;
            if (std::sscanf(line, "got %d %u %llu %lld", &a.client, &a.subscription, &stamp, &ns) ==
                4) {
                a.stamp = stamp;
                a.ns = ns;
                arrivals.push_back(a);
            }
        }
        return arrivals;
    }

  private:
    pid_t child_ = -1;
    FILE* commands_ = nullptr;
    FILE* replies_ = nullptr;
};

// Takes the source's frames on a thread of its own and, while a view is set, hands each to it.
class Feeder {
  public:
    explicit Feeder(tarn_source* source) : source_(source), grid_(TARN_CELLS), last_(TARN_CELLS) {
        thread_ = std::thread([this] { run(); });
    }
    ~Feeder() {
        stop_ = true;
        thread_.join();
    }
    Feeder(const Feeder&) = delete;
    Feeder& operator=(const Feeder&) = delete;

    void setView(tarn_view* view) {
        std::lock_guard<std::mutex> lock(mutex_);
        view_ = view;
    }
    uint64_t frames() const { return frames_.load(); }
    // When tarn_source_next returned each frame (by number), and its receive time.
    int64_t nextNs(uint64_t frame) const { return nextNs_[frame].load(); }
    int64_t realtimeNs(uint64_t frame) const { return realtime_[frame].load(); }
    std::vector<tarn_point> lastGrid(tarn_frame_info& info) {
        std::lock_guard<std::mutex> lock(mutex_);
        info = lastInfo_;
        return last_;
    }

  private:
    void run() {
        while (!stop_) {
            tarn_frame_info info{};
            if (tarn_source_next(source_, kFrameWaitMs, grid_.data(), &info) != TARN_OK) {
                continue;
            }
            const int64_t now = monotonicNs();
            // The sender numbers its frames in their timestamps.
            if (info.last_timestamp < static_cast<uint64_t>(kMostFrames)) {
                nextNs_[info.last_timestamp] = now;
                realtime_[info.last_timestamp] = info.receive_realtime_ns;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            if (view_ != nullptr) {
                tarn_view_publish_frame(view_, 0, grid_.data(), &info);
            }
            if (info.complete) {
                grid_.swap(last_);
                lastInfo_ = info;
            }
            ++frames_;
        }
    }

    tarn_source* source_;
    std::vector<tarn_point> grid_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> frames_{0};
    std::vector<std::atomic<int64_t>> nextNs_ = std::vector<std::atomic<int64_t>>(kMostFrames);
    std::vector<std::atomic<int64_t>> realtime_ = std::vector<std::atomic<int64_t>>(kMostFrames);
    std::mutex mutex_;
    tarn_view* view_ = nullptr;  // guarded by mutex_, with last_ and lastInfo_
    std::vector<tarn_point> last_;
    tarn_frame_info lastInfo_{};
};

double percentile(std::vector<double> values, double share) {
    if (values.empty()) {
        return -1.0;
    }
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1,
                           static_cast<size_t>(share * static_cast<double>(values.size())))];
}

struct PhaseResult {
    double cpuUsPerFrame = 0.0;
    double serialisedPerFrame = 0.0;
    double sentPerFrame = 0.0;
};

// The figures of one phase kind over every round.
struct Tally {
    double cpuUsPerFrame = 1e300;
    double serialisedPerFrame = 0.0;
    double sentPerFrame = 0.0;
    uint64_t framesSent = 0;
    uint64_t framesTaken = 0;
    std::vector<double> nextMs;
    std::vector<double> pointsMs;
    std::vector<double> frameMs;
};

struct Phase {
    const char* name;
    bool view;
    int clients;
};
constexpr Phase kPhases[] = {
    {"stream", false, 0}, {"view0", true, 0}, {"view1", true, 1}, {"view4", true, 4}};

void runPhase(const Phase& phase, double seconds, tarn::bench::SenderProcess& sender,
              Feeder& feeder, Tally& tally) {
    tarn_view* view = nullptr;
    if (phase.view) {
        tarn_view_config config;
        tarn_view_config_init(&config);
        config.port = 0;
        if (tarn_view_open(&config, &view) != TARN_OK) {
            throw std::runtime_error("cannot open the view");
        }
    }
    int port = 0;
    if (view != nullptr) {
        tarn_view_port(view, &port);
    }
    std::unique_ptr<ClientsProcess> clients;
    if (phase.clients > 0) {
        clients = std::make_unique<ClientsProcess>(port, phase.clients);
    }
    feeder.setView(view);
    std::this_thread::sleep_for(kSettle);

    tarn_view_stats viewBefore{};
    if (view != nullptr) {
        tarn_view_get_stats(view, &viewBefore);
    }
    const uint64_t framesBefore = feeder.frames();
    const double cpuBefore = processCpuSeconds();
    const auto frames = static_cast<long long>(seconds * kFramesPerSecond);
    sender.command("paced " + std::to_string(kPixelType) + " " + std::to_string(frames) + " " +
                   std::to_string(kFramesPerSecond) + " " + std::to_string(kSensorSpread));
    std::vector<std::pair<long long, long long>> sent;
    for (long long i = 0; i < frames; ++i) {
        long long frame = 0;
        long long sentNs = 0;
        if (!sender.reply(frame, sentNs)) {
            throw std::runtime_error("the sender is gone");
        }
        sent.emplace_back(frame, sentNs);
    }
    // The last frame is given the same time as every other one.
    std::this_thread::sleep_for(std::chrono::duration<double>(1.0 / kFramesPerSecond));
    const double cpu = processCpuSeconds() - cpuBefore;
    const uint64_t taken = feeder.frames() - framesBefore;
    tarn_view_stats viewAfter{};
    if (view != nullptr) {
        tarn_view_get_stats(view, &viewAfter);
    }
    feeder.setView(nullptr);
    std::vector<Arrival> arrivals;
    if (clients) {
        arrivals = clients->finish();
        clients.reset();
    }
    tarn_view_close(view);

    if (taken > 0) {
        tally.cpuUsPerFrame = std::min(tally.cpuUsPerFrame, cpu * 1e6 / static_cast<double>(taken));
        tally.serialisedPerFrame =
            static_cast<double>(viewAfter.messages_serialised - viewBefore.messages_serialised) /
            static_cast<double>(taken);
        tally.sentPerFrame =
            static_cast<double>(viewAfter.messages_sent - viewBefore.messages_sent) /
            static_cast<double>(taken);
    }
    tally.framesSent += sent.size();
    tally.framesTaken += taken;
    // Each frame's receive time names it in the messages.
    std::map<uint64_t, int64_t> sentByStamp;
    for (const auto& [frame, sentNs] : sent) {
        if (frame <= 0 || frame >= kMostFrames) {
            continue;
        }
        const int64_t next = feeder.nextNs(static_cast<uint64_t>(frame));
        if (next != 0) {
            tally.nextMs.push_back(static_cast<double>(next - sentNs) / 1e6);
            sentByStamp[static_cast<uint64_t>(feeder.realtimeNs(static_cast<uint64_t>(frame)))] =
                sentNs;
        }
    }
    std::map<std::pair<int, uint64_t>, std::pair<int, int64_t>> lastOfFrame;  // count, latest
    for (const Arrival& a : arrivals) {
        const auto found = sentByStamp.find(a.stamp);
        if (found == sentByStamp.end()) {
            continue;
        }
        if (a.subscription == 1) {
            tally.pointsMs.push_back(static_cast<double>(a.ns - found->second) / 1e6);
        }
        auto& entry = lastOfFrame[{a.client, a.stamp}];
        entry.first += 1;
        entry.second = std::max(entry.second, a.ns);
    }
    for (const auto& [key, entry] : lastOfFrame) {
        if (entry.first == 3) {
            tally.frameMs.push_back(static_cast<double>(entry.second - sentByStamp[key.second]) /
                                    1e6);
        }
    }
}

// Serialising a frame's points, depth and intensity messages into a reused buffer, in µs; sets
// bytes to their total size.
double serialiseUs(const std::vector<tarn_point>& grid, const tarn_frame_info& info,
                   size_t& bytes) {
    tarn_messages_config config;
    tarn_messages_config_init(&config);
    tarn_messages* m = nullptr;
    tarn_messages_open(&config, &m);
    std::vector<uint8_t> buffer(TARN_CELLS * 32 + 4096);
    const double start = threadCpuSeconds();
    for (int i = 0; i < kSerialiseRepetitions; ++i) {
        size_t a = 0;
        size_t b = 0;
        size_t c = 0;
        tarn_messages_point_cloud(m, grid.data(), &info, buffer.data(), buffer.size(), &a);
        tarn_messages_depth_image(m, grid.data(), &info, buffer.data(), buffer.size(), &b);
        tarn_messages_intensity_image(m, grid.data(), &info, buffer.data(), buffer.size(), &c);
        bytes = a + b + c;
    }
    const double us = (threadCpuSeconds() - start) * 1e6 / kSerialiseRepetitions;
    tarn_messages_close(m);
    return us;
}

// Sending messages of these sizes over a loopback TCP connection to a reader that discards them:
// the sending thread's CPU per frame, in µs.
double sendUs(const std::vector<size_t>& sizes) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot listen on loopback");
    }
    const int writer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(writer, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("cannot connect on loopback");
    }
    const int reader = accept(listener, nullptr, nullptr);
    std::thread drain([reader] {
        std::vector<char> sink(1 << 20);
        while (recv(reader, sink.data(), sink.size(), 0) > 0) {
        }
    });
    size_t most = 0;
    for (const size_t s : sizes) {
        most = std::max(most, s);
    }
    const std::vector<char> bytes(most, 'x');
    const double start = threadCpuSeconds();
    for (int i = 0; i < kSendRepetitions; ++i) {
        for (const size_t s : sizes) {
            size_t done = 0;
            while (done < s) {
                const ssize_t n = send(writer, bytes.data() + done, s - done, MSG_NOSIGNAL);
                if (n <= 0) {
                    throw std::runtime_error("send failed");
                }
                done += static_cast<size_t>(n);
            }
        }
    }
    const double us = (threadCpuSeconds() - start) * 1e6 / kSendRepetitions;
    shutdown(writer, SHUT_WR);
    drain.join();
    close(writer);
    close(reader);
    close(listener);
    return us;
}

void print(const char* name, double value) {
    std::printf("%s %.3f\n", name, value);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 2;
    const uint16_t localPort = tarn::bench::freeLocalPort();
    tarn::bench::SenderProcess sender(localPort);
    tarn_stream_config config;
    tarn_stream_config_init(&config);
    config.local_address = "127.0.0.1";
    config.local_port = localPort;
    config.device_address = "127.0.0.1";
    config.device_port = sender.sourcePort();
    tarn_source* source = nullptr;
    if (tarn_source_open_stream(&config, 0, &source) != TARN_OK) {
        std::fprintf(stderr, "cannot open the stream\n");
        return 1;
    }
    std::map<std::string, Tally> tallies;
    {
        Feeder feeder(source);
        for (int round = 0; round < rounds; ++round) {
            for (const Phase& phase : kPhases) {
                runPhase(phase, seconds, sender, feeder, tallies[phase.name]);
            }
        }
        tarn_frame_info info{};
        const std::vector<tarn_point> grid = feeder.lastGrid(info);
        size_t bytes = 0;
        print("serialise_us_per_frame", serialiseUs(grid, info, bytes));
        print("message_bytes_per_frame", static_cast<double>(bytes));
        // Sizes of the three messages with their 13-byte message data headers, about a third each
        // way: the points message is most of it.
        tarn_messages_config mc;
        tarn_messages_config_init(&mc);
        tarn_messages* m = nullptr;
        tarn_messages_open(&mc, &m);
        size_t p = 0;
        size_t d = 0;
        size_t i = 0;
        tarn_messages_point_cloud(m, grid.data(), &info, nullptr, 0, &p);
        tarn_messages_depth_image(m, grid.data(), &info, nullptr, 0, &d);
        tarn_messages_intensity_image(m, grid.data(), &info, nullptr, 0, &i);
        tarn_messages_close(m);
        print("send_us_per_frame", sendUs({p + 13, d + 13, i + 13}));
    }
    tarn_source_stats stats{};
    tarn_source_get_stats(source, &stats);
    tarn_source_close(source);
    for (const Phase& phase : kPhases) {
        const Tally& t = tallies[phase.name];
        const std::string n = phase.name;
        print((n + "_cpu_us_per_frame").c_str(), t.cpuUsPerFrame);
        print((n + "_frames_sent").c_str(), static_cast<double>(t.framesSent));
        print((n + "_frames_taken").c_str(), static_cast<double>(t.framesTaken));
        if (phase.view) {
            print((n + "_serialised_per_frame").c_str(), t.serialisedPerFrame);
            print((n + "_sent_per_frame").c_str(), t.sentPerFrame);
        }
        print((n + "_next_median_ms").c_str(), percentile(t.nextMs, 0.5));
        print((n + "_next_p99_ms").c_str(), percentile(t.nextMs, kPercentile99));
        if (phase.clients > 0) {
            print((n + "_points_median_ms").c_str(), percentile(t.pointsMs, 0.5));
            print((n + "_points_p99_ms").c_str(), percentile(t.pointsMs, kPercentile99));
            print((n + "_frame_median_ms").c_str(), percentile(t.frameMs, 0.5));
            print((n + "_frame_p99_ms").c_str(), percentile(t.frameMs, kPercentile99));
            print((n + "_messages_timed").c_str(), static_cast<double>(t.pointsMs.size()));
        }
    }
    print("frames_lost",
          static_cast<double>(stats.stream.frames_lost_last + stats.stream.frames_queue_full +
                              stats.frames_dropped));
    return 0;
}
