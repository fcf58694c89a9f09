// tarn sim: the simulated sensor as a command.
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "sim/control_server.h"
#include "sim/frame_encoder.h"
#include "tools/tarn/address.h"
#include "tools/tarn/args.h"
#include "tools/tarn/commands.h"
#include "tools/tarn/exit_status.h"
#include "tools/tarn/sim_stream.h"
#include "tools/tarn/stop_signal.h"

namespace tarn::cli {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kDefaultDestination = "127.0.0.1:7001";
constexpr const char* kDefaultSource = "127.0.0.1:6301";
constexpr long kMaxFrameIndex = 1000000000L;
constexpr long kMaxDatagramIndex = 10000L;
constexpr long kMaxByte = 255;
constexpr double kMaxSeconds = 1e7;
// The simulated sensor's settings record before anything writes it.
constexpr Ipv4 kInitialNetmask = {255, 0, 0, 0};
constexpr Ipv4 kInitialGateway = {127, 0, 0, 1};
constexpr std::array<uint8_t, 6> kInitialMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

const char* const kUsage = R"(usage: tarn sim [options]
The simulated sensor on loopback: streams frames of a tilted wall and IMU samples from --from to
--to, and serves the control port on --control. Prints a status line per second; stops on Ctrl-C,
after --duration or after --frames.

Stream:
  --to A:P               where the measurements go, A within 127.0.0.0/8 [127.0.0.1:7001]
  --from A:P             the sensor's source address and port, port 0 for any [127.0.0.1:6301]
  --fps F                frames per second, 0.1 to 1000 [15]
  --pixel-type T         0: 4-byte (distance), 1: 8-byte (x y z), 2: 10-byte (both) pixels [2]
  --imu-rate H           IMU samples per second, 0 for none [100]
  --tilt D               the wall's tilt in degrees, -89 to 89 [12]
  --distance X           the wall's distance at its centre [2000]
  --noise R              standard deviation of the noise in raw units of 0.2 [2]
  --frames N             stop after N frames [no bound]
  --duration S           stop after S seconds [no bound]
  --no-stream            send no measurements, only serve the control port

Faults (frame K counts from 0, the first frame sent; datagram D from 0, negative from the end;
the options naming a frame may be repeated):
  --loss R               share of datagrams dropped at random, 0 to 1 [0]
  --duplicates R         share of datagrams sent twice [0]
  --reorder R            share of datagrams sent after their successor [0]
  --seed S               seed of the random faults and of the noise [1]
  --drop-first-of K      drop the first datagram of frame K (it merges into the frame before)
  --drop-last-of K       drop the last datagram of frame K (the frame is never complete)
  --drop K:D             drop datagram D of frame K
  --corrupt K:D:O:V      set byte O of datagram D of frame K to V
  --truncate K:D:N       send only the first N bytes of datagram D of frame K
  --foreign K:D          send datagram D of frame K from another source port

Control port:
  --control A            serve the control port on A:6501, A within 127.0.0.0/8
  --pkg-size N           package size reported for command 0x0001 [8192]
  --control-fault C:F[:N]
                         spoil the replies to command C with fault F, N times or always.
                         C: 0x0001 get-pkg-size, 0x0002 set-pkg-size, 0x0201 set-net,
                            0x0202 get-net.
                         F: refuse, wrong-command, wrong-head-crc, wrong-data-len,
                            wrong-data-crc, truncated-data, split, late, silent,
                            close-mid-reply.

Examples:
  tarn sim                                     stream to 127.0.0.1:7001 until Ctrl-C
  tarn sim --tilt 20 --fps 10 --duration 5     a wall at 20 degrees for 5 seconds
  tarn sim --loss 0.01 --drop-last-of 3        lose 1% of the datagrams and frame 3's end
  tarn sim --no-stream --control 127.0.10.1    a control port for tarn net
  tarn sim --control 127.0.10.1 --control-fault get-net:refuse:1
)";

struct ControlPlan {
    std::string address;  // empty: no control port
    int32_t pkgSize = 8192;
    std::vector<std::pair<uint16_t, sim::FaultPlan>> faults;
};

struct SimOptions {
    SimStreamPlan stream;
    bool streaming = true;
    double seconds = 0.0;  // 0: no bound
    ControlPlan control;
};

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos) {
            return parts;
        }
        start = end + 1;
    }
}

// One fault option's values, "K:D" followed by `extra` more whole numbers within their bounds.
std::vector<long> faultNumbers(const std::string& option, const std::string& text,
                               const std::vector<std::pair<long, long>>& extra,
                               const char* format) {
    const std::vector<std::string> parts = split(text, ':');
    std::vector<std::pair<long, long>> bounds = {{0, kMaxFrameIndex},
                                                 {-kMaxDatagramIndex, kMaxDatagramIndex}};
    bounds.insert(bounds.end(), extra.begin(), extra.end());
    std::vector<long> values(bounds.size());
    bool valid = parts.size() == bounds.size();
    for (std::size_t i = 0; valid && i < parts.size(); ++i) {
        valid = parseInteger(parts[i], bounds[i].first, bounds[i].second, &values[i]);
    }
    if (!valid) {
        throw UsageError("--" + option + " '" + text + "' must be " + format);
    }
    return values;
}

sim::DatagramFault datagramFault(sim::FaultKind kind, const std::vector<long>& values) {
    sim::DatagramFault fault;
    fault.kind = kind;
    fault.frame = static_cast<uint64_t>(values[0]);
    fault.datagram = static_cast<int>(values[1]);
    return fault;
}

void readFaults(const Args& args, SimStreamPlan& plan) {
    plan.random.dropRate = args.number("loss", 0.0, 0.0, 1.0);
    plan.random.duplicateRate = args.number("duplicates", 0.0, 0.0, 1.0);
    plan.random.reorderRate = args.number("reorder", 0.0, 0.0, 1.0);
    for (const auto& [option, datagram] : {std::pair<const char*, int>{"drop-first-of", 0},
                                           std::pair<const char*, int>{"drop-last-of", -1}}) {
        for (const std::string& text : args.texts(option)) {
            long frame = 0;
            if (!parseInteger(text, 0, kMaxFrameIndex, &frame)) {
                throw UsageError(std::string("--") + option + " '" + text +
                                 "' must be a frame number from 0");
            }
            plan.faults.push_back(datagramFault(sim::FaultKind::kDrop, {frame, datagram}));
        }
    }
    for (const std::string& text : args.texts("drop")) {
        plan.faults.push_back(
            datagramFault(sim::FaultKind::kDrop, faultNumbers("drop", text, {}, "K:D")));
    }
    for (const std::string& text : args.texts("foreign")) {
        plan.faults.push_back(
            datagramFault(sim::FaultKind::kForeignPort, faultNumbers("foreign", text, {}, "K:D")));
    }
    for (const std::string& text : args.texts("truncate")) {
        const std::vector<long> v = faultNumbers(
            "truncate", text, {{0, static_cast<long>(sim::kMaxDatagramBytes)}}, "K:D:N");
        sim::DatagramFault fault = datagramFault(sim::FaultKind::kTruncate, v);
        fault.offset = static_cast<std::size_t>(v[2]);
        plan.faults.push_back(fault);
    }
    for (const std::string& text : args.texts("corrupt")) {
        const std::vector<long> v = faultNumbers(
            "corrupt", text, {{0, static_cast<long>(sim::kMaxDatagramBytes) - 1}, {0, kMaxByte}},
            "K:D:O:V");
        sim::DatagramFault fault = datagramFault(sim::FaultKind::kCorruptByte, v);
        fault.offset = static_cast<std::size_t>(v[2]);
        fault.value = static_cast<uint8_t>(v[3]);
        plan.faults.push_back(fault);
    }
}

struct Named {
    const char* name;
    long value;
};

constexpr Named kCommands[] = {
    {"get-pkg-size", 0x0001}, {"set-pkg-size", 0x0002}, {"set-net", 0x0201}, {"get-net", 0x0202}};

constexpr Named kReplyFaults[] = {
    {"refuse", static_cast<long>(sim::ReplyFault::refuse)},
    {"wrong-command", static_cast<long>(sim::ReplyFault::wrongCommand)},
    {"wrong-head-crc", static_cast<long>(sim::ReplyFault::wrongHeadCrc)},
    {"wrong-data-len", static_cast<long>(sim::ReplyFault::wrongDataLen)},
    {"wrong-data-crc", static_cast<long>(sim::ReplyFault::wrongDataCrc)},
    {"truncated-data", static_cast<long>(sim::ReplyFault::truncatedData)},
    {"split", static_cast<long>(sim::ReplyFault::split)},
    {"late", static_cast<long>(sim::ReplyFault::late)},
    {"silent", static_cast<long>(sim::ReplyFault::silent)},
    {"close-mid-reply", static_cast<long>(sim::ReplyFault::closeMidReply)},
};

template <std::size_t N>
std::optional<long> lookUp(const Named (&table)[N], const std::string& name) {
    for (const Named& entry : table) {
        if (name == entry.name) {
            return entry.value;
        }
    }
    return std::nullopt;
}

std::pair<uint16_t, sim::FaultPlan> controlFault(const std::string& text) {
    const std::vector<std::string> parts = split(text, ':');
    if (parts.size() < 2 || parts.size() > 3) {
        throw UsageError("--control-fault '" + text + "' must be COMMAND:FAULT or COMMAND:FAULT:N");
    }
    std::optional<long> command = lookUp(kCommands, parts[0]);
    long code = 0;
    if (!command && parseInteger(parts[0], 0, 0xFFFF, &code, true)) {
        command = code;
    }
    if (!command) {
        throw UsageError("--control-fault '" + text + "': unknown command '" + parts[0] + "'");
    }
    const std::optional<long> fault = lookUp(kReplyFaults, parts[1]);
    if (!fault) {
        throw UsageError("--control-fault '" + text + "': unknown fault '" + parts[1] + "'");
    }
    sim::FaultPlan plan;
    plan.fault = static_cast<sim::ReplyFault>(*fault);
    long replies = sim::FaultPlan::kEveryReply;
    if (parts.size() == 3 &&
        !parseInteger(parts[2], 1, std::numeric_limits<int>::max(), &replies)) {
        throw UsageError("--control-fault '" + text + "': the count must be a whole number from 1");
    }
    plan.replies = static_cast<int>(replies);
    return {static_cast<uint16_t>(*command), plan};
}

SimOptions readOptions(const Args& args) {
    SimOptions o;
    SimStreamPlan& plan = o.stream;
    const Endpoint to = loopbackEndpoint("to", args.text("to", kDefaultDestination), 1);
    const Endpoint from = loopbackEndpoint("from", args.text("from", kDefaultSource), 0);
    plan.sender = {from.address, from.port, to.address, to.port};
    plan.fps = args.number("fps", plan.fps, 0.1, 1000.0);
    plan.pixelType = static_cast<uint8_t>(args.integer(
        "pixel-type", sim::kPixelType10Bytes, sim::kPixelType4Bytes, sim::kPixelType10Bytes));
    plan.imuRate = args.number("imu-rate", plan.imuRate, 0.0, 10000.0);
    plan.scene.tiltDegrees = static_cast<float>(args.number("tilt", 12.0, -89.0, 89.0));
    plan.scene.wallDistance = static_cast<float>(args.number("distance", 2000.0, 1.0, 6000.0));
    plan.scene.noiseRaw = static_cast<float>(args.number("noise", 2.0, 0.0, 1000.0));
    plan.frames = static_cast<uint64_t>(args.integer("frames", 0, 1, kMaxFrameIndex));
    o.seconds = args.number("duration", 0.0, 0.001, kMaxSeconds);
    const long seed = args.integer("seed", 1, 0, 0xFFFFFFFFL);
    plan.scene.seed = static_cast<uint32_t>(seed);
    plan.random.seed = static_cast<uint32_t>(seed);
    readFaults(args, plan);
    o.streaming = !args.flag("no-stream");

    if (args.has("control")) {
        o.control.address = formatIpv4(loopbackAddress("control", args.text("control", "")));
    }
    o.control.pkgSize = static_cast<int32_t>(args.integer("pkg-size", o.control.pkgSize,
                                                          std::numeric_limits<int32_t>::min(),
                                                          std::numeric_limits<int32_t>::max()));
    for (const std::string& text : args.texts("control-fault")) {
        o.control.faults.push_back(controlFault(text));
    }
    if (o.control.address.empty() && (args.has("pkg-size") || args.has("control-fault"))) {
        throw UsageError("--pkg-size and --control-fault need --control");
    }
    if (!o.streaming && o.control.address.empty()) {
        throw UsageError("--no-stream needs --control, or there is nothing to do");
    }
    return o;
}

sim::SettingsRecord initialSettings(const SimOptions& o, uint16_t sourcePort) {
    sim::NetSettings settings;
    settings.address = *parseIpv4(o.control.address);
    settings.netmask = kInitialNetmask;
    settings.gateway = kInitialGateway;
    settings.hostAddress = *parseIpv4(o.stream.sender.destinationAddress);
    settings.dataPort = sourcePort;
    settings.hostPort = o.stream.sender.destinationPort;
    settings.mac = kInitialMac;
    return sim::encodeSettings(settings);
}

std::unique_ptr<sim::ControlServer> startControl(const SimOptions& o, uint16_t sourcePort) {
    if (o.control.address.empty()) {
        return nullptr;
    }
    auto server = std::make_unique<sim::ControlServer>(o.control.address);
    if (!server->listening()) {
        throw Failure(ExitStatus::socket, "cannot serve the control port on " + o.control.address +
                                              ":6501 (in use, or not a local address)");
    }
    server->setReportedPkgSize(o.control.pkgSize);
    server->setSettings(initialSettings(o, sourcePort));
    for (const auto& [command, plan] : o.control.faults) {
        server->setFault(command, plan);
    }
    std::printf("tarn sim: control port on %s:%u\n", o.control.address.c_str(), sim::kControlPort);
    return server;
}

std::unique_ptr<SimStream> openStream(const SimOptions& o) {
    if (!o.streaming) {
        return nullptr;
    }
    try {
        return std::make_unique<SimStream>(o.stream);
    } catch (const std::system_error& e) {
        throw Failure(ExitStatus::socket, "cannot send from " + o.stream.sender.sourceAddress +
                                              ":" + std::to_string(o.stream.sender.sourcePort) +
                                              ": " + e.code().message());
    }
}

std::string controlText(const sim::ControlServer* server) {
    if (server == nullptr) {
        return "";
    }
    return "  control: " + std::to_string(server->connectionsAccepted()) + " connections, " +
           std::to_string(server->received().size()) + " requests";
}

std::string faultText(const SimCounts& c) {
    char text[192];
    std::snprintf(text, sizeof text,
                  "  dropped %" PRIu64 " duplicated %" PRIu64 " reordered %" PRIu64
                  " truncated %" PRIu64 " corrupted %" PRIu64 " foreign %" PRIu64,
                  c.faults.dropped, c.faults.duplicated, c.faults.reordered, c.faults.truncated,
                  c.faults.corrupted, c.faults.foreign);
    return text;
}

void printStatus(double elapsed, const SimStream* stream, bool faulty,
                 const sim::ControlServer* server) {
    std::string line;
    if (stream != nullptr) {
        const SimCounts c = stream->counts();
        char text[160];
        std::snprintf(text, sizeof text,
                      "  frames %" PRIu64 "  datagrams %" PRIu64 "  imu %" PRIu64
                      "  send errors %" PRIu64,
                      c.frames, c.pointDatagrams, c.imuDatagrams, c.sendErrors);
        line = text + (faulty ? faultText(c) : "");
    }
    std::printf("tarn sim: %.1f s%s%s\n", elapsed, line.c_str(), controlText(server).c_str());
}

void printSummary(const SimStream* stream, const sim::ControlServer* server) {
    if (stream != nullptr) {
        const SimCounts c = stream->counts();
        std::printf("tarn sim: sent %" PRIu64 " frames, %" PRIu64 " point datagrams, %" PRIu64
                    " IMU datagrams, %" PRIu64 " send errors\n",
                    c.frames, c.pointDatagrams, c.imuDatagrams, c.sendErrors);
        std::printf("tarn sim: faults:%s\n", faultText(c).c_str() + 1);
    }
    if (server != nullptr) {
        std::printf("tarn sim:%s\n", controlText(server).c_str() + 1);
    }
}

const char* pixelName(uint8_t pixelType) {
    switch (pixelType) {
        case sim::kPixelType4Bytes:
            return "4-byte";
        case sim::kPixelType8Bytes:
            return "8-byte";
        default:
            return "10-byte";
    }
}

int run(const SimOptions& o) {
    StopSignal stop;  // before the control server's thread starts, so it inherits the mask
    const std::unique_ptr<SimStream> stream = openStream(o);
    const uint16_t sourcePort = stream ? stream->sourcePort() : o.stream.sender.sourcePort;
    const std::unique_ptr<sim::ControlServer> server = startControl(o, sourcePort);
    if (stream) {
        const SimStreamPlan& p = o.stream;
        std::printf(
            "tarn sim: streaming a wall tilted %.2f degrees from %s:%u to %s:%u, %s "
            "pixels, %d datagrams per frame, %.1f fps, %.0f IMU samples/s\n",
            static_cast<double>(p.scene.tiltDegrees), p.sender.sourceAddress.c_str(), sourcePort,
            p.sender.destinationAddress.c_str(), p.sender.destinationPort, pixelName(p.pixelType),
            sim::datagramsPerFrame(p.pixelType), p.fps, p.imuRate);
    }

    const Clock::time_point start = Clock::now();
    const Clock::time_point end = o.seconds > 0.0
                                      ? start + std::chrono::duration_cast<Clock::duration>(
                                                    std::chrono::duration<double>(o.seconds))
                                      : Clock::time_point::max();
    auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    const bool faulty = !o.stream.faults.empty() || o.stream.random.dropRate > 0.0 ||
                        o.stream.random.duplicateRate > 0.0 || o.stream.random.reorderRate > 0.0;
    auto tick = [&] { printStatus(elapsed(), stream.get(), faulty, server.get()); };
    if (stream) {
        stream->run(
            end, [&](Clock::time_point t) { return stop.sleepUntil(t); }, tick);
    } else {
        for (Clock::time_point next = start + std::chrono::seconds(1);
             stop.sleepUntil(std::min(next, end)) && next < end; next += std::chrono::seconds(1)) {
            tick();
        }
    }
    std::printf("tarn sim: %s after %.1f s\n", stop.stopped() ? "stopped" : "done", elapsed());
    printSummary(stream.get(), server.get());
    return static_cast<int>(ExitStatus::ok);
}

}  // namespace

int runSim(const Words& words) {
    const Args args(words, {{"to", OptionKind::value},
                            {"from", OptionKind::value},
                            {"fps", OptionKind::value},
                            {"pixel-type", OptionKind::value},
                            {"imu-rate", OptionKind::value},
                            {"tilt", OptionKind::value},
                            {"distance", OptionKind::value},
                            {"noise", OptionKind::value},
                            {"frames", OptionKind::value},
                            {"duration", OptionKind::value},
                            {"no-stream", OptionKind::flag},
                            {"loss", OptionKind::value},
                            {"duplicates", OptionKind::value},
                            {"reorder", OptionKind::value},
                            {"seed", OptionKind::value},
                            {"drop-first-of", OptionKind::repeated},
                            {"drop-last-of", OptionKind::repeated},
                            {"drop", OptionKind::repeated},
                            {"corrupt", OptionKind::repeated},
                            {"truncate", OptionKind::repeated},
                            {"foreign", OptionKind::repeated},
                            {"control", OptionKind::value},
                            {"pkg-size", OptionKind::value},
                            {"control-fault", OptionKind::repeated}});
    if (args.help()) {
        std::fputs(kUsage, stdout);
        return static_cast<int>(ExitStatus::ok);
    }
    args.expectPositional(0, 0, "");
    return run(readOptions(args));
}

}  // namespace tarn::cli
