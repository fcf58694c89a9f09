// tarn record: records a stream into a pcap file through the library's datagram tap.
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "tarn/tarn.h"
#include "tools/tarn/args.h"
#include "tools/tarn/capture/recorder.h"
#include "tools/tarn/commands.h"
#include "tools/tarn/exit_status.h"
#include "tools/tarn/run_bounds.h"
#include "tools/tarn/stop_signal.h"
#include "tools/tarn/stream_source.h"

namespace tarn::cli {
namespace {

using Clock = std::chrono::steady_clock;

// About nine frames of 10-byte pixels: room for a slow moment of the disk.
constexpr std::size_t kQueueDatagrams = 4096;
constexpr auto kMaxWait = std::chrono::milliseconds(100);

const char* const kUsage = R"(usage: tarn record FILE.pcap [options]
Records a stream into FILE.pcap: every datagram the library takes from the sensor becomes an
Ethernet/IPv4/UDP packet with its real source and destination and its receive time. A thread of
its own writes the file from a bounded queue, so writing never holds up the receiver; datagrams
the full queue refuses are counted and reported. tcpdump and Wireshark open the file
(tools/wireshark/tarn.lua decodes it); tarn info, tarn replay and tarn export read it.
Prints a status line per second.
)";

const char* const kExamples = R"(
Examples:
  tarn record capture.pcap --duration 5                   the embedded simulated sensor
  tarn record capture.pcap --device 192.168.1.10 --frames 100
  tarn sim --frames 50 & tarn record capture.pcap --device 127.0.0.1 --idle 1
)";

struct RecordOptions {
    std::string path;
    SourceOptions source;
    RunBounds bounds;
};

void printCounts(const char* prefix, const tarn_stream_stats& stats,
                 const capture::RecorderCounts& counts) {
    std::printf("tarn record: %sframes %" PRIu64 "  datagrams %" PRIu64 "  written %" PRIu64
                "  dropped %" PRIu64 "\n",
                prefix, stats.frames_decoded, counts.taken, counts.written, counts.dropped);
}

int run(const RecordOptions& o) {
    StopSignal stop;  // before the library's threads start, so they inherit the mask
    printLibraryLines("tarn record");
    std::unique_ptr<capture::Recorder> recorder;
    try {
        recorder = std::make_unique<capture::Recorder>(o.path, kQueueDatagrams);
    } catch (const std::runtime_error& e) {
        throw Failure(ExitStatus::file, e.what());
    }
    auto source = std::make_unique<StreamSource>(
        o.source, StreamCallbacks{capture::Recorder::tap, recorder.get()});
    std::printf("tarn record: recording %s into %s\n", source->description().c_str(),
                o.path.c_str());

    RunClock clock(o.bounds);
    tarn_stream_stats stats{};
    while (!clock.done(stats.frames_decoded, stats.datagrams_read) &&
           stop.sleepUntil(Clock::now() + std::chrono::milliseconds(
                                              clock.waitMs(static_cast<int>(kMaxWait.count()))))) {
        tarn_stream_get_stats(source->stream(), &stats);
        if (clock.tickDue()) {
            char prefix[32];
            std::snprintf(prefix, sizeof prefix, "%.1f s  ", clock.elapsed());
            printCounts(prefix, stats, recorder->counts());
        }
    }
    const double elapsed = clock.elapsed();
    tarn_stream_get_stats(source->stream(), &stats);
    source.reset();  // no datagram reaches the recorder after this
    capture::RecorderCounts counts;
    try {
        counts = recorder->finish();
    } catch (const std::runtime_error& e) {
        throw Failure(ExitStatus::file, e.what());
    }
    std::printf("tarn record: %s after %.1f s\n", stop.stopped() ? "stopped" : "done", elapsed);
    std::printf("tarn record: wrote %" PRIu64 " datagrams (%" PRIu64 " frames) to %s; %" PRIu64
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
    const Args args(words, withSourceOptions(withRunBounds({})));
    if (args.help()) {
        std::printf("%s\n%s\n%s%s", kUsage, kSourceHelp, kRunBoundsHelp, kExamples);
        return 0;
    }
    args.expectPositional(1, 1, "the file to record into (FILE.pcap)");
    RecordOptions o;
    o.path = args.positional().front();
    o.source = readSourceOptions(args);
    o.bounds = readRunBounds(args);
    return run(o);
}

}  // namespace tarn::cli
