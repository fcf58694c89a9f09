#include "stream/connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "api/log.h"
#include "stream/engine.h"
#include "stream/pause.h"
#include "stream/source_filter.h"
#include "stream/stream_state.h"
#include "stream/workers.h"

namespace tarn::stream {

namespace {

// Asked for as a 64-bit value; the system takes the low 32 bits and caps it at its own limit.
constexpr int64_t kReceiveBufferBytes = 0x4B000000;
constexpr const char* kAnyLocalAddress = "0.0.0.0";
constexpr int kHighestPort = 65535;

bool isPort(int port) {
    return port >= 1 && port <= kHighestPort;
}

bool isDottedQuad(const std::string& address) {
    in_addr parsed{};
    return inet_pton(AF_INET, address.c_str(), &parsed) == 1;
}

void setNonBlocking(int socket) {
    const int flags = fcntl(socket, F_GETFL);
    if (flags != -1) {
        fcntl(socket, F_SETFL, flags | O_NONBLOCK);
    }
}

void enlargeReceiveBuffer(int socket) {
    const int64_t size = kReceiveBufferBytes;
    if (setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0) {
        log::line(defaultStream().logStream(), log::Destination::kStandardOutput,
                  "socket option  SO_RCVBUF not support");
    }
}

sockaddr_in anyAddressWithPort(int localPort) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(localPort));
    address.sin_addr.s_addr = inet_addr(kAnyLocalAddress);
    return address;
}

// The socket is closed only after the receiver has returned: a descriptor closed under a running
// receive could be reused by another socket of the process and read by the ending receiver.
// A callback in progress on another thread is waited for, so that none of the connection's runs
// once this returns; inside a callback nothing is waited for.
void closeConnection() {
    Engine& engine = defaultStream();
    engine.stop();
    if (!onWorkerThread()) {
        engine.waitForCallbacks();
    }
    engine.workers().waitForReceiver();
    close(sockfd.load());
}

// An application that exits without disconnecting leaves the workers running while the process
// tears down its static objects. This stops them first, within a bound, so that a worker does not
// meet a half-destroyed process; a callback that never returns cannot hold up the exit for good.
constexpr std::chrono::milliseconds kExitStopLimit{2000};

struct StopWorkersAtExit {
    ~StopWorkersAtExit() {
        Engine& engine = defaultStream();
        if (onWorkerThread() || engine.workers().running() == 0) {
            return;
        }
        engine.stop();
        engine.workers().waitForAllFor(kExitStopLimit);
    }
} stopWorkersAtExit;

int boundPort(int socket) {
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        return 0;
    }
    return ntohs(bound.sin_port);
}

}  // namespace

int connectDevice(int localPort, const char* deviceIp, int devicePort) {
    const std::string deviceAddress(deviceIp != nullptr ? deviceIp : "");
    if (sockfd.load() == -1) {
        sockfd.store(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    }
    if (!isPort(localPort)) {
        return KESO_ERR_LOCAL_PORT;
    }
    if (!isPort(devicePort) || !isDottedQuad(deviceAddress)) {
        return KESO_ERR_DEVICE_ADDRESS;
    }
    Engine& engine = defaultStream();
    if (onWorkerThread()) {
        log::systemError(engine.logStream(), "bind error!", EDEADLK);
        return KESO_ERR_BIND;
    }
    const int socket = sockfd.load();
    const sockaddr_in local = anyAddressWithPort(localPort);
    setNonBlocking(socket);
    enlargeReceiveBuffer(socket);
    if (bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        const int bindError = errno;
        disconnectDevice();
        log::systemError(engine.logStream(), "bind error!", bindError);
        return KESO_ERR_BIND;
    }

    engine.workers().waitForAll();
    engine.discardLeftovers();
    engine.receiver().setUpSocket(socket);
    engine.receiver().setLocalPort(boundPort(socket));
    const auto port = static_cast<uint16_t>(devicePort);
    try {
        engine.start(defaultStreamShared(),
                     SourceFilter::forAddressText(deviceAddress.c_str(), port,
                                                  kAlternateDevicePort));
    } catch (...) {
        // The workers already started end by themselves once the connection is undone.
        closeConnection();
        sockfd.store(-1);
        throw;
    }
    return KESO_OK;
}

int disconnectDevice() {
    closeConnection();
    pauseMicroseconds(kDisconnectPauseMicroseconds);
    sockfd.store(-1);
    defaultStream().receiver().setLocalPort(0);
    return KESO_OK;
}

}  // namespace tarn::stream
