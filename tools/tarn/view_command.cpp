// tarn view: serves a live view of one or more sensors (the embedded simulated sensor by default)
// to browsers, and to Foxglove-protocol clients, on one port.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "KESOApi.h"
#include "tarn/tarn.h"
#include "tarn/view.h"
#include "tools/tarn/address.h"
#include "tools/tarn/commands.h"
#include "tools/tarn/exit_status.h"
#include "tools/tarn/options.h"
#include "tools/tarn/run_bounds.h"
#include "tools/tarn/stop_signal.h"
#include "tools/tarn/stream_source.h"
#include "tools/tarn/view_source.h"

namespace tarn::cli {
namespace {

using Clock = std::chrono::steady_clock;

const char* const kUsage = "usage: tarn view [options] [ADDRESS[:PORT]|FILE.pcap ...]";
const char* const kDescription =
    R"(Serves a live view in the browser: the points in 3D, the depth and intensity images, and a status
panel per sensor. Each ADDRESS is a sensor (as --device, on local ports 7001, 7002, ...), each
FILE.pcap a recording played through the same path as tarn stream plays it, from when the first
client watches it (as fast as it reads, or with --realtime at its recorded pace; its last frame
stays on view); without either, the embedded simulated sensor (--sensors N of them). The same port
speaks the Foxglove WebSocket protocol (foxglove.websocket.v1), so Foxglove and Lichtblick connect
to it too. Clients can only watch: nothing they send changes a sensor or writes a file. Stops on
Ctrl-C, after --frames, --duration or --idle.)";

const char* const kExamples =
    R"(  tarn view                               the simulated wall at http://127.0.0.1:8765/
  tarn view --device 192.168.1.10         a sensor sending to local port 7001
  tarn view 192.168.1.10 192.168.1.11     two sensors side by side
  tarn view capture.pcap --realtime       a recording at its recorded pace
  ssh -L 8765:127.0.0.1:8765 robot        then open http://127.0.0.1:8765/ on your machine
)";

constexpr int kMaxWaitMs = 100;
constexpr long kMaxPort = 65535;
constexpr long kMaxClients = 1024;
constexpr int kDeviceLocalPort = 7001;

struct ViewOptions {
    std::vector<ViewInput> sources;
    RunBounds bounds;
    std::string listen = "127.0.0.1";
    int port = TARN_VIEW_DEFAULT_PORT;
    int maxClients = TARN_VIEW_DEFAULT_MAX_CLIENTS;
    bool angle = false;
    bool realtime = false;
};

// What the command line gives, before it becomes one source per sensor.
struct ViewWords {
    SourceOptions base;
    std::vector<std::string> addresses;
    long sensors = 1;
};

void registerView(CLI::App& app, ViewOptions& o, ViewWords& w) {
    describeCommand(app, kUsage, kDescription, kExamples);
    app.add_option("ADDRESS", w.addresses, "the sensors and recordings");
    app.add_option("--port", o.port,
                   "the port for the page and the WebSocket; 0 picks a free one [8765]")
        ->type_name("P")
        ->check(wholeNumberIn(0, kMaxPort));
    app.add_option_function<std::string>(
           "--listen",
           [&o](const std::string& text) { o.listen = formatIpv4(deviceAddress("listen", text)); },
           "the address to listen on [127.0.0.1: this machine only]")
        ->type_name("A");
    app.add_option("--max-clients", o.maxClients, "WebSocket connections served at once [8]")
        ->type_name("N")
        ->check(wholeNumberIn(1, kMaxClients));
    app.add_option("--sensors", w.sensors,
                   "with the embedded simulated sensor: how many to run, 1 to 16 [1]")
        ->type_name("N")
        ->check(wholeNumberIn(1, TARN_VIEW_MAX_SENSORS));
    app.add_flag("--angle", o.angle,
                 "measure the first sensor's plane angle in every frame and show it");
    app.add_flag("--realtime", o.realtime, "play recordings at their recorded pace");
    addSourceOptions(app, w.base);
    addRunBounds(app, o.bounds);
}

// One source per sensor. Throws UsageError.
void readSources(const CLI::App& app, const ViewWords& w, ViewOptions& o) {
    const SourceOptions& base = w.base;
    checkSourceOptions(app, base);
    const std::vector<std::string>& addresses = w.addresses;
    if (!addresses.empty() && (app.count("--device") != 0 || app.count("--sensors") != 0)) {
        throw UsageError(
            "sensor addresses and recordings go either after the options or in --device, "
            "and --sensors is for the embedded simulated sensor");
    }
    if (addresses.size() > TARN_VIEW_MAX_SENSORS) {
        throw UsageError("at most " + std::to_string(TARN_VIEW_MAX_SENSORS) + " sensors");
    }
    if (app.count("--sensors") != 0 && !base.device.empty()) {
        throw UsageError("--sensors is for the embedded simulated sensor, not with --device");
    }
    if (addresses.empty()) {
        for (long i = 0; i < w.sensors; ++i) {
            o.sources.push_back(ViewInput{base, ""});
        }
        if (o.realtime) {
            throw UsageError("--realtime needs a recording");
        }
        return;
    }
    const int firstPort = base.localPort != 0 ? base.localPort : kDeviceLocalPort;
    int sensorsGiven = 0;
    for (const std::string& word : addresses) {
        if (isRecordingPath(word)) {
            o.sources.push_back(ViewInput{base, word});
            continue;
        }
        SourceOptions s = base;
        const Endpoint device =
            parseEndpoint("ADDRESS", word, {TARN_DEFAULT_ALTERNATE_PORT, 1, kMaxPort, false});
        s.device = device.address;
        s.devicePort = device.port;
        s.localPort = firstPort + sensorsGiven++;
        if (s.localPort > kMaxPort) {
            throw UsageError("too many sensors for local ports from " + std::to_string(firstPort));
        }
        o.sources.push_back(ViewInput{s, ""});
    }
    const bool anyRecording = std::any_of(o.sources.begin(), o.sources.end(),
                                          [](const ViewInput& v) { return !v.recording.empty(); });
    if (o.realtime && !anyRecording) {
        throw UsageError("--realtime needs a recording");
    }
}

struct ViewClose {
    void operator()(tarn_view* view) const { tarn_view_close(view); }
};

int run(const ViewOptions& o) {
    StopSignal stop;  // before any thread starts, so they inherit the mask
    printLibraryLines("tarn view");
    tarn_view_config config;
    tarn_view_config_init(&config);
    config.listen_address = o.listen.c_str();
    config.port = o.port;
    config.max_clients = o.maxClients;
    config.sensor_count = static_cast<int>(o.sources.size());
    tarn_view* opened = nullptr;
    const int result = tarn_view_open(&config, &opened);
    if (result != TARN_OK) {
        throw Failure(result == TARN_VIEW_ERR_LISTEN ? ExitStatus::socket : ExitStatus::failure,
                      "cannot serve on " + o.listen + ":" + std::to_string(o.port) + ": " +
                          tarn_view_strerror(result));
    }
    std::unique_ptr<tarn_view, ViewClose> view(opened);
    int port = 0;
    tarn_view_port(view.get(), &port);
    if (o.angle) {
        KESOEnableAngleMeasure(true, simulatedWallParam());
    }
    // The feeds go before the server: nothing publishes into a closed view.
    std::vector<std::unique_ptr<ViewFeed>> feeds;
    for (std::size_t i = 0; i < o.sources.size(); ++i) {
        FeedSettings settings;
        settings.view = view.get();
        settings.sensor = static_cast<int>(i);
        settings.angle = o.angle && i == 0;
        settings.realtime = o.realtime;
        feeds.push_back(std::make_unique<ViewFeed>(o.sources[i], settings));
        std::printf("tarn view: sensor %zu: %s\n", i + 1, feeds.back()->description().c_str());
    }
    const std::string host = o.listen == "0.0.0.0" ? "127.0.0.1" : o.listen;
    std::printf("tarn view: open http://%s:%d/ in a browser\n", host.c_str(), port);
    if (o.listen == "127.0.0.1") {
        std::printf(
            "tarn view: listening on 127.0.0.1 only (--listen ADDRESS serves others); "
            "from another machine: ssh -L %d:127.0.0.1:%d robot, then open "
            "http://127.0.0.1:%d/\n",
            port, port, port);
    } else {
        std::printf("tarn view: listening on %s: anyone who reaches it can watch\n",
                    o.listen.c_str());
    }
    std::fflush(stdout);
    for (const auto& f : feeds) {
        f->start();
    }

    RunClock clock(o.bounds);
    uint64_t frames = 0;
    uint64_t datagrams = 0;
    std::string failure;
    ExitStatus failureStatus = ExitStatus::failure;
    bool endReported = false;
    while (failure.empty() && !clock.done(frames, datagrams) &&
           stop.sleepUntil(Clock::now() + std::chrono::milliseconds(clock.waitMs(kMaxWaitMs)))) {
        frames = datagrams = 0;
        bool allEnded = true;
        for (const auto& f : feeds) {
            frames += f->framesFed();
            datagrams += f->stats().stream.datagrams_read;
            allEnded = allEnded && f->ended();
            if (failure.empty()) {
                failure = f->failure();
                failureStatus = f->recording() ? ExitStatus::file : ExitStatus::failure;
            }
        }
        if (allEnded && !endReported) {
            endReported = true;
            std::printf("tarn view: %s ended after %" PRIu64
                        " frames; the last frame stays on view until Ctrl-C\n",
                        feeds.size() == 1 ? "the recording" : "every recording", frames);
            std::fflush(stdout);
        }
        clock.tickDue();
    }
    const double elapsed = clock.elapsed();
    uint64_t lost = 0;
    for (const auto& f : feeds) {
        const tarn_source_stats s = f->stats();
        lost += s.stream.frames_lost_last + s.stream.frames_queue_full + s.frames_dropped;
    }
    feeds.clear();
    if (!failure.empty()) {
        throw Failure(failureStatus, failure);
    }
    tarn_view_stats vs{};
    tarn_view_get_stats(view.get(), &vs);
    std::printf("tarn view: %s after %.1f s: %" PRIu64 " frames, %" PRIu64 " frames lost; %" PRIu64
                " clients, %" PRIu64 " messages sent, %" PRIu64
                " skipped for slow clients, %" PRIu64 " clients dropped for not reading\n",
                stop.stopped() ? "stopped" : "done", elapsed, frames, lost, vs.clients_accepted,
                vs.messages_sent, vs.messages_skipped, vs.clients_dropped_stalled);
    return 0;
}

}  // namespace

int runView(const Words& words) {
    CLI::App app;
    ViewOptions o;
    ViewWords w;
    registerView(app, o, w);
    if (!parseCommandLine(app, words)) {
        return 0;
    }
    readSources(app, w, o);
    return run(o);
}

}  // namespace tarn::cli
