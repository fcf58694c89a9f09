#include "sim/stream_sender.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tarn::sim {
namespace {

constexpr int kReceiveTimeoutMs = 5000;
// Loopback delivers at once: this long without a datagram after the sender finished means no more.
constexpr int kQuietMs = 100;
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;

struct Received {
    Datagram bytes;
    std::string address;
    uint16_t port = 0;
};

// A plain UDP socket on 127.0.0.1 with a free port, standing in for the library.
class Receiver {
  public:
    Receiver() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        const int size = kReceiveBufferBytes;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof local;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
            throw std::runtime_error("cannot bind the test receiver");
        }
        port_ = ntohs(local.sin_port);
    }
    ~Receiver() { ::close(fd_); }

    uint16_t port() const { return port_; }

    // The next datagram, or nothing after timeoutMs without one.
    std::optional<Received> next(int timeoutMs = kReceiveTimeoutMs) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1) {
            return std::nullopt;
        }
        Received r;
        r.bytes.resize(2048);
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n = ::recvfrom(fd_, r.bytes.data(), r.bytes.size(), 0,
                                     reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0) {
            return std::nullopt;
        }
        r.bytes.resize(static_cast<std::size_t>(n));
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        r.address = text;
        r.port = ntohs(from.sin_port);
        return r;
    }

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

std::vector<Datagram> smallFrame(std::size_t count) {
    std::vector<Datagram> frame;
    for (std::size_t i = 0; i < count; ++i) {
        PointHeader header;
        header.firstRow = static_cast<uint16_t>(i);
        header.frameFlag = i == 0           ? kFrameFlagFirst
                           : i + 1 == count ? kFrameFlagLast
                                            : kFrameFlagMiddle;
        frame.push_back(encodePointDatagram(header, {RawPoint{1, 2, 3, 4, 5}}));
    }
    return frame;
}

TEST(StreamSender, SendsFromTheChosenAddressAndReportsItsPort) {
    Receiver receiver;
    StreamSender sender({"127.0.0.2", 0, "127.0.0.1", receiver.port()});
    ASSERT_NE(sender.sourcePort(), 0);

    const std::vector<Datagram> frame = smallFrame(5);
    sender.sendFrame(frame);
    sender.sendImu(ImuFields{});
    for (const Datagram& expected : frame) {
        const std::optional<Received> r = receiver.next();
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(r->bytes, expected);
        EXPECT_EQ(r->address, "127.0.0.2");
        EXPECT_EQ(r->port, sender.sourcePort());
    }
    const std::optional<Received> imu = receiver.next();
    ASSERT_TRUE(imu.has_value());
    EXPECT_EQ(imu->bytes.size(), kImuDatagramBytes);

    const SenderCounters c = sender.counters();
    EXPECT_EQ(c.datagramsSent, 6u);
    EXPECT_EQ(c.framesSent, 1u);
    EXPECT_EQ(c.imuSent, 1u);
    EXPECT_EQ(c.sendErrors, 0u);
}

TEST(StreamSender, InjectsFaultsIntoTheNamedFrame) {
    Receiver receiver;
    StreamSender sender({"127.0.0.1", 0, "127.0.0.1", receiver.port()});
    sender.addFault({FaultKind::kDrop, 1, 0});
    sender.addFault({FaultKind::kForeignPort, 1, -1});

    sender.sendFrame(smallFrame(3));
    sender.sendFrame(smallFrame(3));
    std::vector<Received> got;
    while (std::optional<Received> r = receiver.next(got.size() < 5 ? kReceiveTimeoutMs : 50)) {
        got.push_back(*r);
    }
    ASSERT_EQ(got.size(), 5u);
    // The second frame lost its first datagram and its last came from another port.
    EXPECT_EQ(got[3].bytes[kOffsetFrameFlag], kFrameFlagMiddle);
    EXPECT_EQ(got[3].port, sender.sourcePort());
    EXPECT_EQ(got[4].bytes[kOffsetFrameFlag], kFrameFlagLast);
    EXPECT_EQ(got[4].port, sender.foreignPort());
    EXPECT_NE(sender.foreignPort(), sender.sourcePort());

    const SenderCounters c = sender.counters();
    EXPECT_EQ(c.datagramsSent, 5u);
    EXPECT_EQ(c.framesSent, 2u);
    EXPECT_EQ(c.faults.dropped, 1u);
    EXPECT_EQ(c.faults.foreign, 1u);
}

TEST(StreamSender, PacedStreamStampsFrameNumbersAndSendsImu) {
    Receiver receiver;
    StreamSender sender({"127.0.0.1", 0, "127.0.0.1", receiver.port()});
    StreamPlan plan;
    plan.frames = 2;
    plan.fps = 50.0;
    plan.imuRate = 200.0;
    plan.pixelType = kPixelType4Bytes;
    plan.firstFrame = 7;
    const Scene scene{SceneConfig{}};
    std::atomic<bool> done{false};
    // Received while it is sent, so a small socket buffer cannot lose datagrams.
    std::thread streaming([&] {
        sender.stream(scene, plan);
        done = true;
    });

    uint64_t received = 0;
    uint64_t imu = 0;
    std::vector<uint64_t> lastStamps;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        const bool finished = done;
        const std::optional<Received> r = receiver.next(kQuietMs);
        if (!r) {
            if (finished) {
                break;
            }
            continue;
        }
        ++received;
        if (r->bytes[kOffsetDataType] == kDataTypeImu) {
            ++imu;
        } else if (r->bytes[kOffsetFrameFlag] == kFrameFlagLast) {
            lastStamps.push_back(r->bytes[kOffsetTimestamp]);  // frame numbers below 256
        }
    }
    streaming.join();

    const SenderCounters c = sender.counters();
    EXPECT_EQ(c.framesSent, 2u);
    EXPECT_GT(c.imuSent, 0u);
    EXPECT_EQ(c.imuSent, imu);
    EXPECT_EQ(c.datagramsSent,
              2u * static_cast<uint64_t>(datagramsPerFrame(kPixelType4Bytes)) + c.imuSent);
    EXPECT_EQ(received, c.datagramsSent);
    EXPECT_EQ(lastStamps, (std::vector<uint64_t>{7, 8}));
}

TEST(StreamSender, RefusesAddressesOutsideLoopbackAndEndlessStreams) {
    EXPECT_THROW(StreamSender({"127.0.0.1", 0, "10.0.0.1", 5000}), std::invalid_argument);
    EXPECT_THROW(StreamSender({"0.0.0.0", 0, "127.0.0.1", 5000}), std::invalid_argument);

    Receiver receiver;
    StreamSender sender({"127.0.0.1", 0, "127.0.0.1", receiver.port()});
    StreamPlan endless;
    EXPECT_THROW(sender.stream(Scene(SceneConfig{}), endless), std::invalid_argument);
    EXPECT_EQ(sender.counters().datagramsSent, 0u);
}

}  // namespace
}  // namespace tarn::sim
