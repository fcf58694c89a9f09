// tarn info and tarn export: a recording decoded offline with the library's socket-less decoder.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "tarn/recording.h"
#include "tarn/tarn.h"
#include "tools/tarn/address.h"
#include "tools/tarn/commands.h"
#include "tools/tarn/exit_status.h"
#include "tools/tarn/files.h"
#include "tools/tarn/frame_saver.h"
#include "tools/tarn/mcap_export.h"
#include "tools/tarn/mcap_info.h"
#include "tools/tarn/options.h"
#include "tools/tarn/recording_reader.h"
#include "tools/tarn/writers/frame_files.h"

namespace tarn::cli {
namespace {

constexpr long kMaxEvery = 1000000;
constexpr double kNanosecondsPerSecond = 1e9;
constexpr std::size_t kSourcesShown = 4;

const char* const kInfoUsage = "usage: tarn info FILE.pcap|FILE.mcap...";
const char* const kInfoDescription =
    R"(Prints one block per file, in order; a file that cannot be read is reported and the others are
still shown (the exit status is that of the first failure).

Decodes a recording offline and prints its measurement datagrams (point, IMU, invalid), their
sources, frames (complete, incomplete, merged, lost at their end), pixel type, duration, frame
rate (lost frames included) and IMU samples.)";

const char* const kInfoExamples = R"(  tarn info capture.pcap
  tarn info capture.pcap capture.mcap
)";

const char* const kExportUsage =
    "usage: tarn export FILE.pcap --save DIR [--every K] [--files LIST] | --mcap OUT.mcap";
const char* const kExportDescription =
    R"(Decodes a recording offline and writes every K-th frame into DIR as PLY, PCD, CSV, a colour depth
picture, a 16-bit depth image and an intensity picture, or only the files --files names
(frame-NNNNNN.ply, .pcd, .csv, -depth.png, -depth16.png and -intensity.png, numbered from the
recording's first frame).)";

const char* const kExportExamples = R"(  tarn export capture.pcap --save frames
  tarn export capture.pcap --save frames --every 10
  tarn export capture.pcap --save clouds --files ply,pcd
  tarn export capture.pcap --mcap capture.mcap
)";

// --files' names, in the order the files are written.
struct FileName {
    const char* name;
    writers::FileKind kind;
};
constexpr FileName kFileNames[] = {
    {"ply", writers::kPlyFile},
    {"pcd", writers::kPcdFile},
    {"csv", writers::kCsvFile},
    {"depth", writers::kDepthPngFile},
    {"depth16", writers::kDepth16PngFile},
    {"intensity", writers::kIntensityPngFile},
};
const char* const kFilesList = "ply,pcd,csv,depth,depth16,intensity";

// tarn export writes frames on two threads (this machine's cores, beside the decoding one), with
// at most four more decoded and waiting.
constexpr std::size_t kExportWorkers = 2;
constexpr std::size_t kExportQueue = 4;
constexpr auto kProgressInterval = std::chrono::milliseconds(100);

// "tarn export: 40/75 frames" on standard error, rewritten in place at most ten times a second
// and ended with a new line; nothing when standard error is not a terminal.
class ProgressLine {
  public:
    ProgressLine(bool shown, uint64_t total) : shown_(shown), total_(total) {}
    void show(uint64_t done) {
        const auto now = std::chrono::steady_clock::now();
        if (shown_ && now - last_ >= kProgressInterval) {
            last_ = now;
            print(done);
        }
    }
    void end(uint64_t done) {
        if (shown_) {
            print(done);
            std::fputc('\n', stderr);
        }
    }

  private:
    void print(uint64_t done) const {
        std::fprintf(stderr, "\rtarn export: %" PRIu64 "/%" PRIu64 " frames", done, total_);
        std::fflush(stderr);
    }

    const bool shown_;
    const uint64_t total_;
    std::chrono::steady_clock::time_point last_{};
};

struct ExportOptions {
    std::string path;
    std::string directory;
    uint64_t every = 1;
    unsigned files = writers::kAllFiles;
    std::string mcap;
};

// The kinds a comma-separated list of kFileNames names; throws UsageError for any other word.
unsigned parseFileKinds(const std::string& list) {
    unsigned kinds = 0;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = std::min(list.find(',', start), list.size());
        const std::string word = list.substr(start, end - start);
        const auto known = std::find_if(std::begin(kFileNames), std::end(kFileNames),
                                        [&](const FileName& file) { return word == file.name; });
        if (known == std::end(kFileNames)) {
            throw UsageError("--files takes names of " + std::string(kFilesList) + ", not '" +
                             word + "'");
        }
        kinds |= known->kind;
        if (end == list.size()) {
            return kinds;
        }
        start = end + 1;
    }
}

void registerInfo(CLI::App& app, std::vector<std::string>& paths) {
    describeCommand(app, kInfoUsage, kInfoDescription, kInfoExamples);
    app.add_option("FILE", paths, "the recordings");
}

void registerExport(CLI::App& app, ExportOptions& o) {
    describeCommand(app, kExportUsage, kExportDescription, kExportExamples);
    app.add_option("FILE", o.path, "the recording");
    app.add_option("--save", o.directory, "the folder to write into (required)")->type_name("DIR");
    app.add_option("--every", o.every, "every K-th frame [1]")
        ->type_name("K")
        ->check(wholeNumberIn(1, kMaxEvery));
    app.add_option_function<std::string>(
           "--files", [&o](const std::string& list) { o.files = parseFileKinds(list); },
           std::string("the files to write, of ") + kFilesList + " [all]")
        ->type_name("LIST");
    app.add_option("--mcap", o.mcap,
                   "instead, every frame and IMU sample as ROS 2 messages in an MCAP file")
        ->type_name("OUT.mcap");
}

struct Decoded {
    uint64_t datagrams = 0;
    uint64_t points = 0;
    uint64_t imus = 0;
    uint64_t otherPackets = 0;
    std::set<std::pair<Ipv4, uint16_t>> sources;
    std::set<int> pixelTypes;
    int64_t firstNs = 0;
    int64_t lastNs = 0;
    std::vector<int64_t> frameTimes;  // receive time of each decoded frame
    tarn_stream_stats stats{};
};

using FrameHandler = std::function<void(const std::vector<tarn_point>&, const tarn_frame_info&)>;

class Decoder {
  public:
    Decoder() {
        if (tarn_decoder_open(&decoder_) != TARN_OK) {
            throw Failure(ExitStatus::failure, "cannot open a decoder");
        }
    }
    ~Decoder() { tarn_decoder_close(decoder_); }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;
    tarn_decoder* get() const { return decoder_; }

  private:
    tarn_decoder* decoder_ = nullptr;
};

// Pushes every measurement datagram of the recording through a decoder, in capture order.
Decoded decode(const std::string& path, const char* prefix, const FrameHandler& onFrame) {
    Decoded d;
    Decoder decoder;
    std::vector<tarn_point> grid(TARN_CELLS);
    RecordingReader reader(path, prefix);
    tarn_recording_datagram datagram{};
    while (reader.next(datagram)) {
        d.firstNs = d.datagrams == 0 ? datagram.capture_realtime_ns : d.firstNs;
        d.lastNs = datagram.capture_realtime_ns;
        ++d.datagrams;
        d.points += datagram.data_type == TARN_RECORDING_POINT_DATA;
        d.imus += datagram.data_type == TARN_RECORDING_IMU_DATA;
        d.sources.insert({ipv4Of(datagram.source_address), datagram.source_port});
        const int result = tarn_decoder_push(decoder.get(), datagram.payload, datagram.length, 0,
                                             datagram.capture_realtime_ns);
        if (result != TARN_FRAME_READY) {
            continue;
        }
        tarn_frame_info info{};
        tarn_decoder_frame(decoder.get(), grid.data(), &info);
        d.pixelTypes.insert(info.pixel_type);
        d.frameTimes.push_back(info.receive_realtime_ns);
        if (onFrame) {
            onFrame(grid, info);
        }
    }
    d.otherPackets = reader.otherPackets();
    tarn_decoder_get_stats(decoder.get(), &d.stats);
    if (d.datagrams == 0) {
        throw Failure(ExitStatus::noData, path + " holds no measurement datagram");
    }
    return d;
}

const char* pixelTypeName(int type) {
    switch (type) {
        case 0:
            return "4-byte: distance, intensity";
        case 1:
            return "8-byte: x, y, z, intensity";
        case 2:
            return "10-byte: distance, x, y, z, intensity";
        default:
            return "unknown";
    }
}

void printInfo(const std::string& path, const Decoded& d) {
    const tarn_stream_stats& s = d.stats;
    const uint64_t invalid = s.invalid_magic + s.invalid_type + s.invalid_version +
                             s.invalid_pixel_type + s.invalid_frame_flag + s.invalid_short +
                             s.invalid_imu_flag;
    std::printf("%s\n", path.c_str());
    std::printf("  datagrams     %" PRIu64 " (%" PRIu64 " point, %" PRIu64 " IMU, %" PRIu64
                " invalid); %" PRIu64 " other packets\n",
                d.datagrams, d.points, d.imus, invalid, d.otherPackets);
    std::string sources;
    std::size_t shown = 0;
    for (const auto& [address, port] : d.sources) {
        if (shown++ == kSourcesShown) {
            sources += " ...";
            break;
        }
        sources += (sources.empty() ? "" : ", ") + formatIpv4(address) + ":" + std::to_string(port);
    }
    std::printf("  sources       %s\n", sources.c_str());
    std::printf("  frames        %" PRIu64 ": %" PRIu64 " complete, %" PRIu64
                " incomplete, %" PRIu64 " merged; %" PRIu64 " lost at their end\n",
                s.frames_decoded, s.frames_decoded - s.frames_incomplete, s.frames_incomplete,
                s.frames_merged, s.frames_lost_last);
    std::string types;
    for (const int type : d.pixelTypes) {
        types +=
            (types.empty() ? "" : "; ") + std::to_string(type) + " (" + pixelTypeName(type) + ")";
    }
    std::printf("  pixel type    %s\n", types.empty() ? "none" : types.c_str());
    const double duration = static_cast<double>(d.lastNs - d.firstNs) / kNanosecondsPerSecond;
    std::printf("  duration      %.3f s\n", duration);
    // Frames lost at their end went by at the same pace as the decoded ones.
    const double span = d.frameTimes.size() < 2
                            ? 0.0
                            : static_cast<double>(d.frameTimes.back() - d.frameTimes.front()) /
                                  kNanosecondsPerSecond;
    if (span > 0.0) {
        std::printf("  frame rate    %.2f frames/s\n",
                    static_cast<double>(s.frames_decoded - 1 + s.frames_lost_last) / span);
    } else {
        std::printf("  frame rate    unknown (fewer than two frames)\n");
    }
    std::printf("  IMU samples   %" PRIu64 "\n", s.imu_samples);
}

}  // namespace

int runInfo(const Words& words) {
    CLI::App app;
    std::vector<std::string> paths;
    registerInfo(app, paths);
    if (!parseCommandLine(app, words)) {
        return 0;
    }
    if (paths.empty()) {
        throw UsageError("missing the recordings (FILE.pcap|FILE.mcap)");
    }
    int status = 0;
    bool first = true;
    for (const std::string& path : paths) {
        if (!first) {
            std::printf("\n");
        }
        first = false;
        try {
            if (isMcapFile(path)) {
                printMcapInfo(path);
            } else {
                printInfo(path, decode(path, "tarn info", nullptr));
            }
        } catch (const Failure& e) {
            std::fflush(stdout);
            std::fprintf(stderr, "tarn info: %s\n", e.what());
            status = status != 0 ? status : static_cast<int>(e.status());
        }
    }
    return status;
}

int runExport(const Words& words) {
    CLI::App app;
    ExportOptions o;
    registerExport(app, o);
    if (!parseCommandLine(app, words)) {
        return 0;
    }
    if (o.path.empty()) {
        throw UsageError("missing the recording (FILE.pcap)");
    }
    if (app.count("--mcap") != 0) {
        if (app.count("--save") != 0 || app.count("--every") != 0 || app.count("--files") != 0) {
            throw UsageError("--mcap takes none of --save, --every and --files");
        }
        return exportMcap(o.path, o.mcap);
    }
    if (app.count("--save") == 0) {
        throw UsageError("--save is required");
    }
    const std::string path = o.path;
    const std::string directory = o.directory;
    const uint64_t every = o.every;
    requireWritableDirectory(directory);
    auto wanted = [every](const tarn_frame_info& info) { return info.sequence % every == 0; };
    // The count of frames to write, for the progress line: a first pass that only decodes.
    uint64_t toWrite = 0;
    const bool showProgress = isatty(STDERR_FILENO) != 0;
    if (showProgress) {
        decode(path, nullptr, [&](const std::vector<tarn_point>&, const tarn_frame_info& info) {
            toWrite += wanted(info);
        });
    }
    ProgressLine progress(showProgress, toWrite);
    FrameSaver saver(directory, kExportQueue, "", kExportWorkers, o.files);
    const Decoded d = decode(path, "tarn export",
                             [&](const std::vector<tarn_point>& grid, const tarn_frame_info& info) {
                                 if (!wanted(info)) {
                                     return;
                                 }
                                 if (!saver.offer(grid.data(), info, true)) {
                                     throw Failure(ExitStatus::file, saver.failure());
                                 }
                                 progress.show(saver.saved());
                             });
    saver.finish();
    if (!saver.failure().empty()) {
        throw Failure(ExitStatus::file, saver.failure());
    }
    const uint64_t written = saver.saved();
    progress.end(written);
    const int files = __builtin_popcount(o.files);
    std::printf("tarn export: wrote %" PRIu64 " of %" PRIu64 " frames into %s (%d file%s each)\n",
                written, d.stats.frames_decoded, directory.c_str(), files, files == 1 ? "" : "s");
    return 0;
}

}  // namespace tarn::cli
