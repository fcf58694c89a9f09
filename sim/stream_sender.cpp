#include "sim/stream_sender.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace tarn::sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kLoopbackFirstOctet = 127;
// Datagrams of a spread frame go out in small bursts, so pacing costs few sleeps.
constexpr std::size_t kDatagramsPerBurst = 8;
constexpr float kGravity = 9.80665f;
constexpr double kNanosecondsPerSecond = 1e9;
// So that 5 s at 15 fps make 75 frames, not 76 by rounding.
constexpr double kEpsilon = 1e-9;

// The address in network byte order; only loopback addresses are accepted.
uint32_t loopbackAddress(const std::string& text) {
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1) {
        throw std::invalid_argument("not an IPv4 address: " + text);
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(&address.s_addr);
    if (bytes[0] != kLoopbackFirstOctet) {
        throw std::invalid_argument("not a loopback address: " + text);
    }
    return address.s_addr;
}

sockaddr_in socketAddress(uint32_t address, uint16_t port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr.s_addr = address;
    result.sin_port = htons(port);
    return result;
}

// A UDP socket bound to address:port; returns the socket and the port it got.
int openBoundSocket(uint32_t address, uint16_t port, uint16_t* boundPort) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "socket");
    }
    sockaddr_in local = socketAddress(address, port);
    socklen_t length = sizeof local;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        const int error = errno;
        ::close(fd);
        throw std::system_error(error, std::generic_category(), "bind");
    }
    *boundPort = ntohs(local.sin_port);
    return fd;
}

// A plausible sample of a sensor at rest: gravity along -z, a slow sway on the gyroscope.
ImuSample restingSample(double seconds) {
    ImuSample sample;
    sample.accel = {0.0f, 0.0f, -kGravity};
    sample.gyro = {static_cast<float>(0.1 * std::sin(seconds)), 0.0f, 0.0f};
    return sample;
}

}  // namespace

StreamSender::StreamSender(const SenderConfig& config)
    : sourceAddress_(config.sourceAddress),
      destinationAddress_(loopbackAddress(config.destinationAddress)),
      destinationPort_(config.destinationPort) {
    socket_ =
        openBoundSocket(loopbackAddress(config.sourceAddress), config.sourcePort, &sourcePort_);
}

StreamSender::~StreamSender() {
    ::close(socket_);
    if (foreignSocket_ >= 0) {
        ::close(foreignSocket_);
    }
}

int StreamSender::openForeignSocket() {
    if (foreignSocket_ < 0) {
        foreignSocket_ = openBoundSocket(loopbackAddress(sourceAddress_), 0, &foreignPort_);
    }
    return foreignSocket_;
}

bool StreamSender::sendFrom(int socket, const Datagram& datagram) {
    const sockaddr_in destination = socketAddress(destinationAddress_, destinationPort_);
    const ssize_t sent =
        ::sendto(socket, datagram.data(), datagram.size(), 0,
                 reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    if (sent < 0) {
        ++counters_.sendErrors;
        return false;
    }
    ++counters_.datagramsSent;
    return true;
}

bool StreamSender::send(const Datagram& datagram) {
    return sendFrom(socket_, datagram);
}

bool StreamSender::sendFromForeignPort(const Datagram& datagram) {
    return sendFrom(openForeignSocket(), datagram);
}

bool StreamSender::sendOutgoing(const Outgoing& outgoing) {
    return outgoing.foreignPort ? sendFromForeignPort(outgoing.bytes) : send(outgoing.bytes);
}

std::vector<Outgoing> StreamSender::prepareFrame(const std::vector<Datagram>& datagrams) {
    std::vector<Outgoing> outgoing = faults_.apply(counters_.framesSent, datagrams);
    ++counters_.framesSent;
    return outgoing;
}

void StreamSender::sendFrame(const std::vector<Datagram>& datagrams) {
    for (const Outgoing& outgoing : prepareFrame(datagrams)) {
        sendOutgoing(outgoing);
    }
}

void StreamSender::sendFrame(const Scene& scene, uint64_t frameIndex, const FrameFormat& format) {
    sendFrame(encodeFrame(scene, frameIndex, format));
}

bool StreamSender::sendImu(const ImuFields& fields) {
    const bool sent = send(encodeImuDatagram(fields));
    counters_.imuSent += sent ? 1 : 0;
    return sent;
}

void StreamSender::sendFrames(const Scene& scene, uint64_t count, double fps, uint8_t pixelType) {
    StreamPlan plan;
    plan.frames = count;
    plan.fps = fps;
    plan.pixelType = pixelType;
    stream(scene, plan);
}

void StreamSender::stream(const Scene& scene, const StreamPlan& plan) {
    if (!(plan.fps > 0.0) || plan.spread < 0.0 || plan.spread > 1.0) {
        throw std::invalid_argument("fps must be positive and spread within 0 to 1");
    }
    if (plan.frames == 0 && !(plan.seconds > 0.0)) {
        throw std::invalid_argument("a stream needs a number of frames or of seconds");
    }
    using Seconds = std::chrono::duration<double>;
    const auto period = std::chrono::duration_cast<Clock::duration>(Seconds(1.0 / plan.fps));
    const auto imuPeriod =
        plan.imuRate > 0.0
            ? std::chrono::duration_cast<Clock::duration>(Seconds(1.0 / plan.imuRate))
            : Clock::duration::zero();
    const Clock::time_point start = Clock::now();
    Clock::time_point nextImu = start;

    // Sleeps until `until`, sending the IMU samples that fall due meanwhile.
    auto waitUntil = [&](Clock::time_point until) {
        while (imuPeriod > Clock::duration::zero() && nextImu <= until) {
            std::this_thread::sleep_until(nextImu);
            const auto elapsed = std::chrono::duration_cast<Seconds>(nextImu - start).count();
            ImuFields fields;
            fields.timestamp = static_cast<uint64_t>(elapsed * kNanosecondsPerSecond);
            fields.sample = packImuSample(restingSample(elapsed));
            sendImu(fields);
            nextImu += imuPeriod;
        }
        std::this_thread::sleep_until(until);
    };
    auto stopped = [&] { return plan.stop != nullptr && plan.stop->load(); };

    for (uint64_t k = 0; plan.frames == 0 || k < plan.frames; ++k) {
        const Clock::time_point frameStart = start + period * static_cast<long>(k);
        const bool pastLimit =
            plan.seconds > 0.0 && static_cast<double>(k) / plan.fps >= plan.seconds - kEpsilon;
        if (pastLimit || stopped()) {
            break;
        }
        const uint64_t number = plan.firstFrame + k;
        const FrameFormat format{plan.pixelType, plan.tag, number};
        const std::vector<Outgoing> outgoing = prepareFrame(encodeFrame(scene, number, format));
        waitUntil(frameStart);
        const auto window = period * plan.spread;
        for (std::size_t i = 0; i < outgoing.size(); ++i) {
            if (i % kDatagramsPerBurst == 0) {
                const double share = static_cast<double>(i) / static_cast<double>(outgoing.size());
                waitUntil(frameStart + std::chrono::duration_cast<Clock::duration>(window * share));
            }
            sendOutgoing(outgoing[i]);
        }
    }
}

SenderCounters StreamSender::counters() const {
    SenderCounters result = counters_;
    result.faults = faults_.counters();
    return result;
}

}  // namespace tarn::sim
