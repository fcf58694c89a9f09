// Recording into MCAP at the sensor's rate: the simulated sensor sends 20 frames a second from a
// process of its own (tarn_loopback_sender) into a live frame source (tarn/source.h), and every
// frame goes into an MCAP file on the calling thread (serialised, compressed and written there:
// queue_messages 0), once with zstd and once with lz4. Per frame, in one run:
//   - the writer's CPU: the calling thread's CPU inside tarn_mcap_write_frame;
//   - the library's own CPU for the stream: its receiver, assembler and decoder threads (the
//     threads tarn_source_open_stream started), their ns of CPU from /proc/self/task/*/schedstat;
//   - the file's bytes against the raw cloud's 1,296,000 (54,000 points of 24 bytes).
// Prints one "name value" line per figure.
// Run: build/<flavour>/bench/tarn_mcap_rate [seconds, default 10] [pixel type, default 2]
#include <dirent.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>

#include "bench/sender_process.h"
#include "tarn/mcap.h"
#include "tarn/source.h"

namespace {

constexpr double kFramesPerSecond = 20.0;
constexpr double kSensorSpread = 0.5;  // of the period, over which a frame's datagrams go out
constexpr int kWaitMs = 500;
constexpr int kQuietWaits = 6;
// Frames the source keeps for this thread: room for a slow write or two, so none is lost.
constexpr std::size_t kSourceQueue = 64;
constexpr double kRawCloudBytes = 1296000.0;

std::set<long> threads() {
    std::set<long> ids;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') {
                ids.insert(std::atol(entry->d_name));
            }
        }
        closedir(dir);
    }
    return ids;
}

// CPU time of the threads, in ns (threads that ended count no more).
double cpuNs(const std::set<long>& ids) {
    double sum = 0;
    for (const long id : ids) {
        std::ifstream stat("/proc/self/task/" + std::to_string(id) + "/schedstat");
        double ns = 0;
        if (stat >> ns) {
            sum += ns;
        }
    }
    return sum;
}

int64_t threadCpuNs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

bool run(const char* name, int compression, long long frames, int pixelType) {
    const uint16_t port = tarn::bench::freeLocalPort();
    tarn::bench::SenderProcess sender(port);
    const std::set<long> before = threads();
    tarn_stream_config config;
    tarn_stream_config_init(&config);
    config.device_address = "127.0.0.1";
    config.device_port = sender.sourcePort();
    config.local_address = "127.0.0.1";
    config.local_port = port;
    tarn_source* source = nullptr;
    if (tarn_source_open_stream(&config, kSourceQueue, &source) != TARN_OK) {
        std::fprintf(stderr, "cannot open the stream\n");
        return false;
    }
    std::set<long> library;
    for (const long id : threads()) {
        if (before.count(id) == 0) {
            library.insert(id);
        }
    }
    const std::string path = std::string("/tmp/tarn_mcap_rate_") + name + ".mcap";
    tarn_mcap_config mcap;
    tarn_mcap_config_init(&mcap);
    mcap.compression = compression;
    tarn_mcap_writer* writer = nullptr;
    if (tarn_mcap_open(path.c_str(), &mcap, &writer) != TARN_OK) {
        std::fprintf(stderr, "cannot create %s\n", path.c_str());
        tarn_source_close(source);
        return false;
    }
    const double libraryStart = cpuNs(library);
    sender.command("paced " + std::to_string(pixelType) + " " + std::to_string(frames) + " " +
                   std::to_string(kFramesPerSecond) + " " + std::to_string(kSensorSpread));
    tarn_point* grid = new tarn_point[TARN_CELLS];
    tarn_frame_info info{};
    long long recorded = 0;
    double writerNs = 0;
    int quietWaits = 0;  // in a row: the sender is done, or the rest was lost
    while (recorded < frames && quietWaits < kQuietWaits) {
        if (tarn_source_next(source, kWaitMs, grid, &info) != TARN_OK) {
            ++quietWaits;
            continue;
        }
        quietWaits = 0;
        const int64_t start = threadCpuNs();
        tarn_mcap_write_frame(writer, grid, &info);
        writerNs += static_cast<double>(threadCpuNs() - start);
        ++recorded;
    }
    const double libraryNs = cpuNs(library) - libraryStart;
    tarn_source_stats stats{};
    tarn_source_get_stats(source, &stats);
    const int64_t closeStart = threadCpuNs();
    const int closed = tarn_mcap_close(writer);
    writerNs += static_cast<double>(threadCpuNs() - closeStart);  // the last chunk and the summary
    tarn_source_close(source);
    delete[] grid;
    struct stat file {};
    stat(path.c_str(), &file);
    std::remove(path.c_str());
    if (recorded == 0 || closed != TARN_OK) {
        std::fprintf(stderr, "%s: %lld frames recorded, close %d\n", name, recorded, closed);
        return false;
    }
    const double n = static_cast<double>(recorded);
    const double bytes = static_cast<double>(file.st_size) / n;
    // The library's CPU went into every frame it decoded, the writer's into those recorded.
    const double decoded = static_cast<double>(std::max<uint64_t>(stats.stream.frames_decoded, 1));
    const double writerPerFrame = writerNs / n;
    const double libraryPerFrame = libraryNs / decoded;
    std::printf("mcap_%s_frames_sent %lld\n", name, frames);
    std::printf("mcap_%s_frames_decoded %.0f\n", name, decoded);
    std::printf("mcap_%s_frames_recorded %lld\n", name, recorded);
    std::printf("mcap_%s_frames_dropped_by_source %llu\n", name,
                static_cast<unsigned long long>(stats.frames_dropped));
    std::printf("mcap_%s_writer_cpu_us_per_frame %.0f\n", name, writerPerFrame / 1e3);
    std::printf("mcap_%s_library_cpu_us_per_frame %.0f\n", name, libraryPerFrame / 1e3);
    std::printf("mcap_%s_writer_over_library %.2f\n", name, writerPerFrame / libraryPerFrame);
    std::printf("mcap_%s_bytes_per_frame %.0f\n", name, bytes);
    std::printf("mcap_%s_bytes_over_raw_cloud %.3f\n", name, bytes / kRawCloudBytes);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const int pixelType = argc > 2 ? std::atoi(argv[2]) : 2;
    const auto frames = static_cast<long long>(seconds * kFramesPerSecond);
    if (frames < 1) {
        std::fprintf(stderr, "usage: tarn_mcap_rate [seconds] [pixel type]\n");
        return 2;
    }
    const bool ok = run("zstd", TARN_MCAP_ZSTD, frames, pixelType) &&
                    run("lz4", TARN_MCAP_LZ4, frames, pixelType);
    return ok ? 0 : 1;
}
