// The baseline receiver of the loopback benchmarks: a plain UDP socket on 127.0.0.1 read by a
// thread of its own with blocking recvmmsg, up to kBatch datagrams a call, and nothing else done
// with them. It asks for the same receive buffer as the library.
#ifndef TARN_BENCH_BARE_RECEIVER_H
#define TARN_BENCH_BARE_RECEIVER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

namespace tarn::bench {

class BareReceiver {
  public:
    static constexpr unsigned kBatch = 64;
    // The receive buffer the library asks for; the system caps it at net.core.rmem_max.
    static constexpr int kReceiveBufferBytes = 0x4B000000;
    static constexpr std::size_t kDatagramBytes = 1472;

    // onDatagram runs on the receiving thread once for each datagram read.
    explicit BareReceiver(std::function<void()> onDatagram)
        : BareReceiver([count = std::move(onDatagram)](const uint8_t*, std::size_t) { count(); }) {}

    // The same, handed each datagram's bytes.
    explicit BareReceiver(std::function<void(const uint8_t*, std::size_t)> onDatagram)
        : onDatagram_(std::move(onDatagram)) {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        const int bufferBytes = kReceiveBufferBytes;
        // Each call ends within this, so a stop is seen without a datagram.
        const timeval receiveTimeout{0, 50000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof bufferBytes);
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &receiveTimeout, sizeof receiveTimeout);
        if (bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return;
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { receive(); });
    }

    ~BareReceiver() {
        stop_.store(true);
        if (thread_.joinable()) {
            thread_.join();
        }
        close(fd_);
    }

    BareReceiver(const BareReceiver&) = delete;
    BareReceiver& operator=(const BareReceiver&) = delete;

    // 0 when the socket could not be bound.
    uint16_t port() const { return port_; }

    // The CPU time the receiving thread has used so far, in seconds.
    double cpuSeconds() {
        clockid_t clock{};
        timespec used{};
        if (!thread_.joinable() || pthread_getcpuclockid(thread_.native_handle(), &clock) != 0 ||
            clock_gettime(clock, &used) != 0) {
            return 0.0;
        }
        return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
    }

  private:
    void receive() {
        std::vector<uint8_t> buffers(kBatch * kDatagramBytes);
        std::vector<iovec> vectors(kBatch);
        std::vector<mmsghdr> messages(kBatch);
        for (unsigned i = 0; i < kBatch; ++i) {
            vectors[i] = {buffers.data() + i * kDatagramBytes, kDatagramBytes};
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        while (!stop_.load()) {
            const int received = recvmmsg(fd_, messages.data(), kBatch, MSG_WAITFORONE, nullptr);
            for (int i = 0; i < received; ++i) {
                onDatagram_(buffers.data() + i * kDatagramBytes, messages[i].msg_len);
            }
        }
    }

    std::function<void(const uint8_t*, std::size_t)> onDatagram_;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace tarn::bench

#endif  // TARN_BENCH_BARE_RECEIVER_H
