// tarn replay: sends a recording's measurement datagrams to a local port, as a sensor would.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>

#include "tools/tarn/address.h"
#include "tools/tarn/commands.h"
#include "tools/tarn/exit_status.h"
#include "tools/tarn/options.h"
#include "tools/tarn/recording_reader.h"
#include "tools/tarn/stop_signal.h"

namespace tarn::cli {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kLoopbackFirstOctet = 127;
constexpr const char* kLoopback = "127.0.0.1";
// With --max, a stop request is looked at after this many datagrams.
constexpr uint64_t kStopCheckInterval = 64;

const char* const kUsage = "usage: tarn replay FILE.pcap --to A[:P] [options]";
const char* const kDescription =
    R"(Sends the measurement datagrams of a recording (UDP payloads starting 5A A5) to --to, each from
its recorded source port where that port is free (else from any port, said once), keeping the
recorded timing. Any application then receives the recording as if a sensor were there: give it
the source address replay prints as the device address, and the recorded source port as the
device port. Prints a status line per second; stops at the end, or on Ctrl-C.)";

const char* const kExamples = R"(  tarn replay capture.pcap --to 127.0.0.1:7001
  tarn replay capture.pcap --to 127.0.0.1 --rate 0.5 --loop
  tarn replay capture.pcap --to 127.0.0.1:7001 --from 127.0.0.2:6301
)";

constexpr uint16_t kDefaultDestinationPort = 7001;

struct ReplayOptions {
    std::string path;
    Endpoint to;
    std::string from;   // empty: as recorded when loopback
    int fromPort = -1;  // -1: as recorded; 0: any free port
    double rate = 1.0;
    bool max = false;
    bool loop = false;
};

// One socket per source address and port, bound to the recorded port where it is free.
class Senders {
  public:
    explicit Senders(const Endpoint& to) {
        destination_.sin_family = AF_INET;
        destination_.sin_port = htons(to.port);
        inet_pton(AF_INET, to.address.c_str(), &destination_.sin_addr);
    }
    ~Senders() {
        for (const auto& entry : sockets_) {
            close(entry.second);
        }
    }
    Senders(const Senders&) = delete;
    Senders& operator=(const Senders&) = delete;

    bool send(const std::string& address, uint16_t port, const uint8_t* payload,
              std::size_t length) {
        const int fd = socketFor(address, port);
        return sendto(fd, payload, length, 0, reinterpret_cast<const sockaddr*>(&destination_),
                      sizeof destination_) >= 0;
    }

  private:
    int socketFor(const std::string& address, uint16_t port) {
        const auto key = std::make_pair(address, port);
        const auto found = sockets_.find(key);
        if (found != sockets_.end()) {
            return found->second;
        }
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            throw Failure(ExitStatus::socket, "cannot open a UDP socket");
        }
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, address.c_str(), &local.sin_addr);
        local.sin_port = htons(port);
        if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            std::printf("tarn replay: %s:%u is taken; sending its datagrams from another port\n",
                        address.c_str(), port);
            local.sin_port = 0;
            if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
                close(fd);
                throw Failure(ExitStatus::socket, "cannot send from " + address);
            }
        } else {
            std::printf("tarn replay: sending from %s:%u\n", address.c_str(), port);
        }
        sockets_[key] = fd;
        return fd;
    }

    sockaddr_in destination_{};
    std::map<std::pair<std::string, uint16_t>, int> sockets_;
};

struct Totals {
    uint64_t sent = 0;
    uint64_t failed = 0;
    uint64_t passes = 0;  // begun
};

std::string sourceAddress(const ReplayOptions& o, const Ipv4& recorded) {
    if (!o.from.empty()) {
        return o.from;
    }
    return recorded[0] == kLoopbackFirstOctet ? formatIpv4(recorded) : kLoopback;
}

// One pass over the recording; false when a stop was requested.
bool replayOnce(const ReplayOptions& o, Senders& senders, StopSignal& stop, Totals& totals,
                Clock::time_point& nextTick, Clock::time_point start) {
    // A cut recording is said once, in the first pass.
    RecordingReader reader(o.path, totals.passes == 0 ? "tarn replay" : nullptr);
    tarn_recording_datagram packet{};
    Clock::time_point passStart = Clock::now();
    int64_t firstNs = 0;
    bool first = true;
    uint64_t sentInPass = 0;
    while (reader.next(packet)) {
        if (first) {
            firstNs = packet.capture_realtime_ns;
            first = false;
            ++totals.passes;
        }
        Clock::time_point due = Clock::now();
        if (!o.max) {
            const double offset =
                static_cast<double>(packet.capture_realtime_ns - firstNs) / 1e9 / o.rate;
            due = passStart + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(std::max(offset, 0.0)));
        }
        while (nextTick <= due) {
            if (!stop.sleepUntil(nextTick)) {
                return false;
            }
            std::printf("tarn replay: %.1f s  sent %" PRIu64 " datagrams  pass %" PRIu64 "\n",
                        std::chrono::duration<double>(nextTick - start).count(), totals.sent,
                        totals.passes);
            nextTick += std::chrono::seconds(1);
        }
        if ((!o.max || sentInPass % kStopCheckInterval == 0) && !stop.sleepUntil(due)) {
            return false;
        }
        const uint16_t port =
            o.fromPort >= 0 ? static_cast<uint16_t>(o.fromPort) : packet.source_port;
        const bool sent = senders.send(sourceAddress(o, ipv4Of(packet.source_address)), port,
                                       packet.payload, packet.length);
        ++(sent ? totals.sent : totals.failed);
        ++sentInPass;
    }
    return sentInPass > 0;
}

int run(const ReplayOptions& o) {
    StopSignal stop;
    { RecordingReader check(o.path, nullptr); }  // an unreadable file fails before anything is sent
    Senders senders(o.to);
    Totals totals;
    const Clock::time_point start = Clock::now();
    Clock::time_point nextTick = start + std::chrono::seconds(1);
    while (replayOnce(o, senders, stop, totals, nextTick, start) && o.loop) {
    }
    std::printf("tarn replay: %s after %.1f s\n", stop.stopped() ? "stopped" : "done",
                std::chrono::duration<double>(Clock::now() - start).count());
    std::printf("tarn replay: sent %" PRIu64 " datagrams to %s:%u in %" PRIu64 " passes, %" PRIu64
                " failed\n",
                totals.sent, o.to.address.c_str(), o.to.port, totals.passes, totals.failed);
    if (totals.sent == 0 && !stop.stopped()) {
        throw Failure(ExitStatus::noData, o.path + " holds no measurement datagram");
    }
    return 0;
}

void registerReplay(CLI::App& app, ReplayOptions& o, Endpoint& from) {
    describeCommand(app, kUsage, kDescription, kExamples);
    app.add_option("FILE", o.path, "the recording to replay");
    addEndpointOption(app, "to", o.to, {kDefaultDestinationPort, 1, 65535, true},
                      "where to send, within 127.0.0.0/8 (required) [port 7001]");
    addEndpointOption(app, "from", from, {0, 0, 65535, true},
                      "the source address, within 127.0.0.0/8, and port (0 for any) [the\n"
                      "recorded ones when the address is a loopback address, else 127.0.0.1]");
    app.add_option("--rate", o.rate, "R times as fast as recorded, 0.01 to 1000 [1]")
        ->type_name("R")
        ->check(numberIn(0.01, 1000.0));
    app.add_flag("--max", o.max, "as fast as the system sends");
    app.add_flag("--loop", o.loop, "start again at the end, until Ctrl-C");
}

}  // namespace

int runReplay(const Words& words) {
    CLI::App app;
    ReplayOptions o;
    Endpoint from;
    registerReplay(app, o, from);
    if (!parseCommandLine(app, words)) {
        return 0;
    }
    if (o.path.empty()) {
        throw UsageError("missing the recording to replay (FILE.pcap)");
    }
    if (app.count("--to") == 0) {
        throw UsageError("--to is required");
    }
    if (app.count("--from") != 0) {
        o.from = from.address;
        o.fromPort = from.portGiven ? from.port : -1;
    }
    if (o.max && app.count("--rate") != 0) {
        throw UsageError("--max and --rate exclude each other");
    }
    try {
        return run(o);
    } catch (const std::runtime_error& e) {
        if (dynamic_cast<const Failure*>(&e) != nullptr) {
            throw;
        }
        throw Failure(ExitStatus::file, e.what());
    }
}

}  // namespace tarn::cli
