#include "tools/tarn/stream_source.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
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
// The embedded simulated sensor's options, from its option table.
const SimOptionNames kSimOptions = {"tilt", "fps", "pixel-type", "imu-rate"};

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

// True when binding UDP port on address ("" for every address) fails because a socket holds it.
bool portInUse(const std::string& address, int port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port));
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!address.empty()) {
        inet_pton(AF_INET, address.c_str(), &local.sin_addr);
    }
    const bool inUse =
        bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 && errno == EADDRINUSE;
    close(fd);
    return inUse;
}

}  // namespace

void printLibraryLines(const char* prefix) {
    tarn_set_log_handler(printLibraryLine, const_cast<char*>(prefix));
}

void addSourceOptions(CLI::App& app, SourceOptions& o) {
    const std::string group =
        "Source (a sensor with --device, else the embedded simulated sensor on loopback)";
    const EndpointRule device{TARN_DEFAULT_ALTERNATE_PORT, 1, kMaxPort, false};
    app.add_option_function<std::string>(
           "--device",
           [&o, device](const std::string& text) {
               const Endpoint endpoint = parseEndpoint("device", text, device);
               o.device = endpoint.address;
               o.devicePort = endpoint.port;
           },
           "the sensor's address, and its source port (6301 is always accepted\n"
           "too) [port 6301]; without it the embedded simulated sensor runs")
        ->type_name("A[:P]")
        ->group(group);
    // The spelling of earlier versions, before --device took the port.
    app.add_option("--device-port", o.devicePort, "the sensor's source port")
        ->check(wholeNumberIn(1, kMaxPort))
        ->group("");
    app.add_option("--local-port", o.localPort,
                   "the local UDP port the sensor sends to [7001; any free port for the\n"
                   "embedded simulated sensor]")
        ->type_name("P")
        ->check(wholeNumberIn(1, kMaxPort))
        ->group(group);
    app.add_option_function<std::string>(
           "--local-address",
           [&o](const std::string& text) {
               o.localAddress = formatIpv4(deviceAddress("local-address", text));
           },
           "the local address to bind [every local address; 127.0.0.1 for the\n"
           "embedded simulated sensor]")
        ->type_name("A")
        ->group(group);
    app.add_option("--receive-buffer", o.receiveBuffer,
                   "receive buffer to ask the kernel for, in bytes [the library's default]")
        ->type_name("B")
        ->check(wholeNumberIn(1, kMaxReceiveBuffer))
        ->group(group);
    addSimOptions(app, kSimOptions, o.sim, group, "embedded simulated sensor: ");
}

void checkSourceOptions(const CLI::App& app, const SourceOptions& o) {
    if (o.device.empty()) {
        return;
    }
    for (const char* name : kSimOptions) {
        if (app.count(std::string("--") + name) != 0) {
            throw UsageError(std::string("--") + name +
                             " is for the embedded simulated sensor, not with --device");
        }
    }
    const std::string device = app.get_option("--device")->as<std::string>();
    if (app.count("--device-port") != 0 && device.find(':') != std::string::npos) {
        throw UsageError("--device-port and a port in --device exclude each other");
    }
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
    if (source_ != nullptr) {
        tarn_source_close(source_);
    } else if (stream_ != nullptr) {
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
    if (!callbacks.frameSource) {
        return tarn_stream_open(&config, &stream_);
    }
    const int result = tarn_source_open_stream(&config, 0, &source_);
    if (result == TARN_OK) {
        stream_ = tarn_source_stream(source_);
    }
    return result;
}

void StreamSource::openDeviceStream(const StreamCallbacks& callbacks) {
    const int localPort = options_.localPort != 0 ? options_.localPort : kDefaultLocalPort;
    const int result = open(callbacks, options_.device, options_.devicePort, localPort);
    if (result == TARN_ERR_BIND && portInUse(options_.localAddress, localPort)) {
        throw Failure(ExitStatus::socket,
                      "cannot listen on local port " + std::to_string(localPort) +
                          ": the port is in use (another program, or another tarn, holds it; "
                          "choose another with --local-port)");
    }
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
        options_.sim.set("from", std::string(kLoopback) + ":0");
        options_.sim.set("to", std::string(kLoopback) + ":" + std::to_string(localPort));
        try {
            sim_ = std::make_unique<SimSensor>(options_.sim);
        } catch (const Failure& e) {
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
    sim_->start();
}

std::optional<SimCounts> StreamSource::stopSimulation() {
    if (!sim_) {
        return std::nullopt;
    }
    sim_->stop();
    const tarn_sim_counters sent = sim_->counters();
    return SimCounts{sent.frames, sent.point_datagrams, sent.imu_datagrams};
}

std::string StreamSource::description() const {
    char text[256];
    if (sim_) {
        const tarn_sim_summary s = options_.sim.summary();
        std::snprintf(text, sizeof text,
                      "the embedded simulated sensor (127.0.0.1:%d, a wall tilted %.2f degrees, "
                      "%.1f fps, pixel type %d) on local port %d",
                      sim_->sourcePort(), s.tilt_degrees, s.fps, s.pixel_type, localPort_);
    } else {
        std::snprintf(text, sizeof text, "%s port %d (or %d) on local port %d",
                      options_.device.c_str(), options_.devicePort, TARN_DEFAULT_ALTERNATE_PORT,
                      localPort_);
    }
    return text;
}

KESOAngleMeasureParam simulatedWallParam() {
    tarn_sim_angle_param p{};
    tarn_sim_wall_angle_param(nullptr, &p);
    return {p.x_lower,         p.x_upper,      p.y_lower,    p.y_upper, p.window_width,
            p.window_step,     p.bin_width,    p.z_upper,    p.z_lower, p.min_fit_points,
            p.angle_tolerance, p.extend_angle, p.reset_angle};
}

}  // namespace tarn::cli
