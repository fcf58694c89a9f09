#include "tools/tarn/stream_source.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <system_error>

#include "tools/tarn/address.h"
#include "tools/tarn/exit_status.h"

namespace tarn::cli {
namespace {

constexpr long kMaxPort = 65535;
constexpr int kDefaultLocalPort = 7001;
constexpr long kMaxReceiveBuffer = 0x7FFFFFFFL;
constexpr const char* kLoopback = "127.0.0.1";
// Attempts at a free local port for the embedded simulated sensor; another process may take
// the port between its choice and the bind.
constexpr int kPortAttempts = 5;
constexpr const char* kSimOnlyOptions[] = {"tilt", "fps", "pixel-type", "imu-rate"};

// A port no socket on 127.0.0.1 holds at this moment.
int freeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    const bool bound = fd >= 0 &&
                       bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
                       getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0;
    if (fd >= 0) {
        close(fd);
    }
    if (!bound) {
        throw Failure(ExitStatus::socket, "cannot find a free UDP port on 127.0.0.1");
    }
    return ntohs(local.sin_port);
}

void printLibraryLine(tarn_stream*, const char* line, void* prefix) {
    std::fprintf(stderr, "%s: %s\n", static_cast<const char*>(prefix), line);
}

}  // namespace

void printLibraryLines(const char* prefix) {
    tarn_set_log_handler(printLibraryLine, const_cast<char*>(prefix));
}

const char* const kSourceHelp =
    R"(Source (a sensor with --device, else the embedded simulated sensor on loopback):
  --device A             the sensor's address; without it the embedded simulated sensor runs
  --device-port P        the sensor's source port (6301 is always accepted too) [6301]
  --local-port P         the local UDP port the sensor sends to [7001; any free port for the
                         embedded simulated sensor]
  --local-address A      the local address to bind [every local address; 127.0.0.1 for the
                         embedded simulated sensor]
  --receive-buffer B     receive buffer to ask the kernel for, in bytes [the library's default]
  --tilt D               embedded simulated sensor: the wall's tilt in degrees [12]
  --fps F                embedded simulated sensor: frames per second [15]
  --pixel-type T         embedded simulated sensor: 0, 1 or 2 (4, 8, 10-byte pixels) [2]
  --imu-rate H           embedded simulated sensor: IMU samples per second [100]
)";

std::vector<OptionSpec> withSourceOptions(std::vector<OptionSpec> own) {
    own.insert(own.end(), {{"device", OptionKind::value},
                           {"device-port", OptionKind::value},
                           {"local-port", OptionKind::value},
                           {"local-address", OptionKind::value},
                           {"receive-buffer", OptionKind::value},
                           {"tilt", OptionKind::value},
                           {"fps", OptionKind::value},
                           {"pixel-type", OptionKind::value},
                           {"imu-rate", OptionKind::value}});
    return own;
}

SourceOptions readSourceOptions(const Args& args) {
    SourceOptions o;
    if (args.has("device")) {
        o.device = formatIpv4(deviceAddress("device", args.text("device", "")));
        for (const char* name : kSimOnlyOptions) {
            if (args.has(name)) {
                throw UsageError(std::string("--") + name +
                                 " is for the embedded simulated sensor, not with --device");
            }
        }
    }
    o.devicePort =
        static_cast<int>(args.integer("device-port", TARN_DEFAULT_ALTERNATE_PORT, 1, kMaxPort));
    o.localPort = static_cast<int>(args.integer("local-port", 0, 1, kMaxPort));
    if (args.has("local-address")) {
        o.localAddress = formatIpv4(deviceAddress("local-address", args.text("local-address", "")));
    }
    o.receiveBuffer = args.integer("receive-buffer", 0, 1, kMaxReceiveBuffer);
    SimStreamPlan& sim = o.sim;
    sim.scene.tiltDegrees = static_cast<float>(args.number("tilt", 12.0, -89.0, 89.0));
    sim.fps = args.number("fps", sim.fps, 0.1, 1000.0);
    sim.pixelType = static_cast<uint8_t>(args.integer("pixel-type", sim.pixelType, 0, 2));
    sim.imuRate = args.number("imu-rate", sim.imuRate, 0.0, 10000.0);
    return o;
}

StreamSource::StreamSource(const SourceOptions& options, const StreamCallbacks& callbacks)
    : options_(options) {
    if (options_.device.empty()) {
        openSimulatedStream(callbacks);
    } else {
        openDeviceStream(callbacks);
    }
    tarn_stream_local_port(stream_, &localPort_);
}

StreamSource::~StreamSource() {
    stopSimulation();
    if (stream_ != nullptr) {
        tarn_stream_close(stream_);
    }
}

int StreamSource::open(const StreamCallbacks& callbacks, const std::string& device, int devicePort,
                       int localPort) {
    tarn_stream_config config;
    tarn_stream_config_init(&config);
    const std::string localAddress =
        !options_.localAddress.empty() ? options_.localAddress : (sim_ ? kLoopback : "");
    config.local_address = localAddress.c_str();
    config.local_port = localPort;
    config.device_address = device.c_str();
    config.device_port = devicePort;
    config.receive_buffer_bytes = options_.receiveBuffer;
    config.on_datagram = callbacks.onDatagram;
    config.datagram_user = callbacks.datagramUser;
    return tarn_stream_open(&config, &stream_);
}

void StreamSource::openDeviceStream(const StreamCallbacks& callbacks) {
    const int localPort = options_.localPort != 0 ? options_.localPort : kDefaultLocalPort;
    const int result = open(callbacks, options_.device, options_.devicePort, localPort);
    if (result != TARN_OK) {
        throw Failure(result == TARN_ERR_BIND || result == TARN_ERR_SOCKET ? ExitStatus::socket
                                                                           : ExitStatus::failure,
                      "cannot listen on local port " + std::to_string(localPort) + ": " +
                          tarn_strerror(result));
    }
}

void StreamSource::openSimulatedStream(const StreamCallbacks& callbacks) {
    int result = TARN_ERR_BIND;
    for (int attempt = 0; attempt < kPortAttempts && result == TARN_ERR_BIND; ++attempt) {
        const int localPort = options_.localPort != 0 ? options_.localPort : freeLoopbackPort();
        options_.sim.sender = {kLoopback, 0, kLoopback, static_cast<uint16_t>(localPort)};
        try {
            sim_ = std::make_unique<SimStream>(options_.sim);
        } catch (const std::system_error& e) {
            throw Failure(ExitStatus::socket,
                          std::string("cannot start the embedded simulated sensor: ") + e.what());
        }
        result = open(callbacks, kLoopback, sim_->sourcePort(), localPort);
        if (result != TARN_OK) {
            sim_.reset();
        }
        if (options_.localPort != 0) {
            break;
        }
    }
    if (result != TARN_OK) {
        throw Failure(result == TARN_ERR_BIND || result == TARN_ERR_SOCKET ? ExitStatus::socket
                                                                           : ExitStatus::failure,
                      std::string("cannot listen for the embedded simulated sensor: ") +
                          tarn_strerror(result));
    }
    simThread_ = std::thread([this] {
        sim_->run(
            SimStream::Clock::time_point::max(),
            [this](SimStream::Clock::time_point deadline) { return sleepUntil(deadline); }, [] {});
    });
}

bool StreamSource::sleepUntil(SimStream::Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !wake_.wait_until(lock, deadline, [this] { return stopping_; });
}

std::optional<SimCounts> StreamSource::stopSimulation() {
    if (!sim_) {
        return std::nullopt;
    }
    if (simThread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        simThread_.join();
    }
    return sim_->counts();
}

std::string StreamSource::description() const {
    char text[256];
    if (sim_) {
        const SimStreamPlan& p = options_.sim;
        std::snprintf(text, sizeof text,
                      "the embedded simulated sensor (127.0.0.1:%u, a wall tilted %.2f degrees, "
                      "%.1f fps, pixel type %u) on local port %d",
                      sim_->sourcePort(), static_cast<double>(p.scene.tiltDegrees), p.fps,
                      p.pixelType, localPort_);
    } else {
        std::snprintf(text, sizeof text, "%s port %d (or %d) on local port %d",
                      options_.device.c_str(), options_.devicePort, TARN_DEFAULT_ALTERNATE_PORT,
                      localPort_);
    }
    return text;
}

}  // namespace tarn::cli
