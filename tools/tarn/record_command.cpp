// tarn record: records a stream into a pcap file through the library's datagram tap.
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "tarn/recording.h"
#include "tarn/tarn.h"
#include "tools/tarn/commands.h"
#include "tools/tarn/exit_status.h"
#include "tools/tarn/mcap_record.h"
#include "tools/tarn/options.h"
#include "tools/tarn/output.h"
#include "tools/tarn/run_bounds.h"
#include "tools/tarn/stop_signal.h"
#include "tools/tarn/stream_source.h"

namespace tarn::cli {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kMaxWait = std::chrono::milliseconds(100);
constexpr std::size_t kErrorBytes = 512;

const char* const kUsage = "usage: tarn record FILE.pcap|FILE.mcap [options]";
const char* const kDescription =
    R"(Records a stream into FILE.pcap: every datagram the library takes from the sensor becomes an
Ethernet/IPv4/UDP packet with its real source and destination and its receive time. A thread of
its own writes the file from a bounded queue, so writing never holds up the receiver; datagrams
the full queue refuses are counted and reported. tcpdump and Wireshark open the file
(tools/wireshark/tarn.lua decodes it); tarn info, tarn replay and tarn export read it. A write
the disk refuses (full, or over a size limit) stops the recording with an error; the file then
holds every datagram written before it, in whole records. Prints a status line per second; when
standard output goes away (a closed pipe) the lines stop and the recording goes on.

FILE.mcap (or --format mcap) records the decoded frames instead, as ROS 2 messages (PointCloud2,
depth and intensity images on /tarn/points, /tarn/depth, /tarn/intensity; zstd chunks) that
Foxglove and ROS 2 bags read. A thread of the writer's own writes them from a bounded queue;
frames the full queue refuses are counted and reported. A write the disk refuses ends the
recording with an error; the file keeps every chunk written before it.)";

const char* const kExamples =
    R"(  tarn record capture.pcap --duration 5                   the embedded simulated sensor
  tarn record capture.pcap --device 192.168.1.10 --frames 100
  tarn record capture.mcap --frames 100                   decoded frames for Foxglove
  tarn sim --frames 50 & tarn record capture.pcap --device 127.0.0.1 --idle 1
)";

struct RecordOptions {
    std::string path;
    SourceOptions source;
    RunBounds bounds;
    std::string format;  // empty: from the extension
};

void registerRecord(CLI::App& app, RecordOptions& o) {
    describeCommand(app, kUsage, kDescription, kExamples);
    app.add_option("FILE", o.path, "the file to record into");
    app.add_option("--format", o.format,
                   "the file's format (default: from the extension; pcap otherwise)")
        ->type_name("pcap|mcap");
    addSourceOptions(app, o.source);
    addRunBounds(app, o.bounds);
}

// The status lines on standard output. The recording matters more than its status: when standard
// output fails (a reader that left the pipe, a full disk) the lines stop and the recording goes
// on to its end. A reader that left is no error; any other failure is reported at the end.
// The status lines. Once standard output fails they stop, and the failure stays on stdout: the
// wait of the loop below then ends as on a stop request, the recording is finished, and the tool
// exits with its lost-output status.
class StatusLines {
  public:
    void print(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        if (outputFailed()) {
            return;
        }
        va_list arguments;
        va_start(arguments, format);
        std::vprintf(format, arguments);
        va_end(arguments);
        std::fflush(stdout);
    }
};

void printCounts(StatusLines& out, const char* prefix, const tarn_stream_stats& stats,
                 const tarn_recording_writer_stats& counts) {
    out.print("tarn record: %sframes %" PRIu64 "  datagrams %" PRIu64 "  written %" PRIu64
              "  dropped %" PRIu64 "\n",
              prefix, stats.frames_decoded, counts.taken, counts.written, counts.dropped);
}

// Owns the writer; finish() is called on every path, so the file is whole even when a stream
// fails to open.
class Writer {
  public:
    explicit Writer(const std::string& path) {
        char error[kErrorBytes] = {};
        const int result =
            tarn_recording_writer_open(path.c_str(), 0, &writer_, error, sizeof error);
        if (result != TARN_OK) {
            throw Failure(ExitStatus::file,
                          error[0] != '\0' ? std::string(error) : tarn_recording_strerror(result));
        }
    }
    ~Writer() { tarn_recording_writer_close(writer_); }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    tarn_recording_writer* get() const { return writer_; }
    tarn_recording_writer_stats counts() const {
        tarn_recording_writer_stats counts{};
        tarn_recording_writer_get_stats(writer_, &counts);
        return counts;
    }

  private:
    tarn_recording_writer* writer_ = nullptr;
};

int run(const RecordOptions& o) {
    StopSignal stop;  // before the library's threads start, so they inherit the mask
    printLibraryLines("tarn record");
    // A file size limit then fails the write (EFBIG), and a reader that left the pipe fails the
    // status line (EPIPE), instead of either killing the recorder in the middle of a record.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    StatusLines out;
    Writer writer(o.path);
    auto source = std::make_unique<StreamSource>(
        o.source, StreamCallbacks{tarn_recording_writer_tap, writer.get()});
    out.print("tarn record: recording %s into %s\n", source->description().c_str(), o.path.c_str());

    RunClock clock(o.bounds);
    tarn_stream_stats stats{};
    while (!clock.done(stats.frames_decoded, stats.datagrams_read) && !writer.counts().failed &&
           stop.sleepUntil(Clock::now() + std::chrono::milliseconds(
                                              clock.waitMs(static_cast<int>(kMaxWait.count()))))) {
        tarn_stream_get_stats(source->stream(), &stats);
        if (clock.tickDue()) {
            char prefix[32];
            std::snprintf(prefix, sizeof prefix, "%.1f s  ", clock.elapsed());
            printCounts(out, prefix, stats, writer.counts());
        }
    }
    const double elapsed = clock.elapsed();
    tarn_stream_get_stats(source->stream(), &stats);
    source.reset();  // no datagram reaches the writer after this
    tarn_recording_writer_stats counts{};
    if (tarn_recording_writer_finish(writer.get(), &counts) != TARN_OK) {
        throw Failure(ExitStatus::file, std::string(tarn_recording_writer_error(writer.get())) +
                                            "; the file holds " + std::to_string(counts.written) +
                                            " whole datagrams of " + std::to_string(counts.taken));
    }
    out.print("tarn record: %s after %.1f s\n", stop.stopped() ? "stopped" : "done", elapsed);
    out.print("tarn record: wrote %" PRIu64 " datagrams (%" PRIu64 " frames) to %s; %" PRIu64
              " dropped on a full queue\n",
              counts.written, stats.frames_decoded, o.path.c_str(), counts.dropped);
    if (counts.dropped > 0) {
        std::fprintf(stderr,
                     "tarn record: warning: the recording lacks %" PRIu64
                     " datagrams the disk could not take in time\n",
                     counts.dropped);
    }
    if (counts.written == 0) {
        throw Failure(ExitStatus::noData, "no datagram arrived; the file holds none");
    }
    return 0;
}

}  // namespace

int runRecord(const Words& words) {
    CLI::App app;
    RecordOptions o;
    registerRecord(app, o);
    if (!parseCommandLine(app, words)) {
        return 0;
    }
    if (o.path.empty()) {
        throw UsageError("missing the file to record into (FILE.pcap)");
    }
    checkSourceOptions(app, o.source);
    const bool mcapName = o.path.size() > 5 && o.path.compare(o.path.size() - 5, 5, ".mcap") == 0;
    const std::string format = !o.format.empty() ? o.format : mcapName ? "mcap" : "pcap";
    if (format == "mcap") {
        return recordMcap(McapRecordOptions{o.path, o.source, o.bounds});
    }
    if (format != "pcap") {
        throw UsageError("--format: expected pcap or mcap, not " + format);
    }
    return run(o);
}

}  // namespace tarn::cli
