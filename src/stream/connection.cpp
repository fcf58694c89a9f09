#include "stream/connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "stream/assembler.h"
#include "stream/decoder.h"
#include "stream/pause.h"
#include "stream/receiver.h"
#include "stream/stream_state.h"
#include "stream/workers.h"

namespace tarn::stream {

namespace {

// Asked for as a 64-bit value; the system takes the low 32 bits and caps it at its own limit.
constexpr int64_t kReceiveBufferBytes = 0x4B000000;
constexpr const char* kAnyLocalAddress = "0.0.0.0";

void launchDetached(std::function<void()> body) {
    std::thread(std::move(body)).detach();
}

// Written only while disconnected, by the application thread.
WorkerLauncher workerLauncher = launchDetached;

void setNonBlocking(int socket) {
    const int flags = fcntl(socket, F_GETFL);
    if (flags != -1) {
        fcntl(socket, F_SETFL, flags | O_NONBLOCK);
    }
}

void enlargeReceiveBuffer(int socket) {
    const int64_t size = kReceiveBufferBytes;
    if (setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0) {
        std::puts("socket option  SO_RCVBUF not support");
        std::fflush(stdout);
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
// The frame-available flag is cleared under the publication mutex: a publication that tested
// linkDeviceFlag just before it went down has then finished, and every later one sees it down,
// so no frame of this connection can raise the flag again after the disconnect.
void closeConnection() {
    linkDeviceFlag.store(false);
    {
        std::lock_guard<std::mutex> lock(realTimeDataMutex_);
        realTimeDataFlag_.store(false);
    }
    waitForReceiverToReturn();
    close(sockfd.load());
}

// Starts one worker; when it cannot be started, the connection is undone before the error
// reaches the caller, so the workers already started end by themselves.
void startWorker(WorkerRole role, std::function<void()> body) {
    workerStarting(role);
    try {
        workerLauncher([role, body = std::move(body)] {
            WorkerScope scope(role);
            body();
        });
    } catch (...) {
        workerReturned(role);
        closeConnection();
        sockfd.store(-1);
        throw;
    }
}

// An application that exits without disconnecting leaves the workers running while the process
// tears down its static objects. This stops them first, within a bound, so that a worker does not
// meet a half-destroyed process; a callback that never returns cannot hold up the exit for good.
constexpr std::chrono::milliseconds kExitStopLimit{2000};

struct StopWorkersAtExit {
    ~StopWorkersAtExit() {
        if (onWorkerThread() || runningWorkers() == 0) {
            return;
        }
        linkDeviceFlag.store(false);
        waitForWorkersToReturnFor(kExitStopLimit);
    }
} stopWorkersAtExit;

}  // namespace

int connectDevice(int localPort, const char* deviceIp, int devicePort) {
    const std::string deviceAddress(deviceIp);
    if (sockfd.load() == -1) {
        sockfd.store(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    }
    if (localPort == 0) {
        return KESO_ERR_LOCAL_PORT;
    }
    if (deviceAddress.empty() || devicePort == 0) {
        return KESO_ERR_DEVICE_ADDRESS;
    }
    if (onWorkerThread()) {
        errno = EDEADLK;
        std::perror("bind error!");
        return KESO_ERR_BIND;
    }
    const int socket = sockfd.load();
    const sockaddr_in local = anyAddressWithPort(localPort);
    setNonBlocking(socket);
    enlargeReceiveBuffer(socket);
    if (bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        const int bindError = errno;
        disconnectDevice();
        errno = bindError;
        std::perror("bind error!");
        return KESO_ERR_BIND;
    }

    waitForWorkersToReturn();
    linkDeviceFlag.store(true);
    const auto port = static_cast<unsigned short>(devicePort);
    startWorker(WorkerRole::kReceiver,
                [deviceAddress, port] { threadReceiveData(deviceAddress, port); });
    startWorker(WorkerRole::kOther, threadDataPacking);
    startWorker(WorkerRole::kOther, threadGetPointCloud);
    return KESO_OK;
}

int disconnectDevice() {
    closeConnection();
    pauseMicroseconds(kDisconnectPauseMicroseconds);
    sockfd.store(-1);
    return KESO_OK;
}

void setWorkerLauncher(WorkerLauncher launcher) {
    workerLauncher = launcher != nullptr ? launcher : launchDetached;
}

}  // namespace tarn::stream
