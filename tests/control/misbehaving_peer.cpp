#include "misbehaving_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "control/frame.h"
#include "control/link.h"

namespace tarn::testing {
namespace {

constexpr int kBacklog = 4;
constexpr std::size_t kFloodChunk = 4096;
constexpr uint32_t kReportedPkgSize = 8192;
constexpr std::size_t kSettingsLen = 44;

std::vector<uint8_t> settingsRecord() {
    std::vector<uint8_t> record(kSettingsLen);
    for (std::size_t i = 0; i < record.size(); ++i) {
        record[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    return record;
}

void appendLe32(std::vector<uint8_t>& bytes, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        bytes.push_back(static_cast<uint8_t>(value >> shift));
    }
}

// A reply has the request's layout: status 0, then the command's reply data.
std::vector<uint8_t> replyTo(uint16_t command) {
    std::vector<uint8_t> payload;
    appendLe32(payload, 0);
    if (command == kCmdGetMaxPkgSize) {
        appendLe32(payload, kReportedPkgSize);
    } else if (command == kCmdGetNetInfo) {
        const std::vector<uint8_t> record = settingsRecord();
        payload.insert(payload.end(), record.begin(), record.end());
    }
    return tarn::control::frameBytes(
        pack_ctrl_prt_data_pkg(command, static_cast<uint16_t>(payload.size()), payload.data()));
}

bool sendAll(int fd, const uint8_t* data, std::size_t len) {
    while (len > 0) {
        const ssize_t sent = send(fd, data, len, MSG_NOSIGNAL);
        if (sent <= 0) {
            return false;
        }
        data += sent;
        len -= static_cast<std::size_t>(sent);
    }
    return true;
}

}  // namespace

MisbehavingPeer::MisbehavingPeer(const std::string& address, PeerFault fault, uint16_t command,
                                 std::chrono::milliseconds gap)
    : fault_(fault), command_(command), gap_(gap) {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(kCtrlPort);
    inet_pton(AF_INET, address.c_str(), &local.sin_addr);
    int wake[2];
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        listen(listenFd_, kBacklog) != 0 || pipe2(wake, O_CLOEXEC) != 0) {
        if (listenFd_ >= 0) {
            close(listenFd_);
        }
        listenFd_ = -1;
        return;
    }
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    thread_ = std::thread(&MisbehavingPeer::run, this);
}

MisbehavingPeer::~MisbehavingPeer() {
    stopping_ = true;
    if (thread_.joinable()) {
        const uint8_t wake = 1;
        [[maybe_unused]] const ssize_t written = write(wakeWrite_, &wake, 1);
        thread_.join();
    }
    for (const int fd : {listenFd_, wakeRead_, wakeWrite_}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

std::vector<uint8_t> MisbehavingPeer::settings() const {
    return settingsRecord();
}

void MisbehavingPeer::run() {
    while (waitFor(listenFd_, POLLIN)) {
        const int client = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) {
            serve(client);
        }
    }
}

// Reads requests and answers them until the connection or the peer ends.
void MisbehavingPeer::serve(int client) {
    std::vector<uint8_t> head(kCtrlHeadLen);
    std::vector<uint8_t> payload;
    while (readExactly(client, head.data(), head.size())) {
        payload.resize(tarn::control::loadLe16(&head[kCtrlDataLenOffset]));
        if (!readExactly(client, payload.data(), payload.size())) {
            break;
        }
        ++requests_;
        if (!answer(client, tarn::control::loadLe16(&head[kCtrlCommandOffset]))) {
            break;
        }
    }
    close(client);
}

// False when the connection is to end.
bool MisbehavingPeer::answer(int client, uint16_t command) {
    const std::vector<uint8_t> reply = replyTo(command);
    if (command_ != kEveryCommand && command != command_) {
        return sendAll(client, reply.data(), reply.size());
    }
    switch (fault_) {
        case PeerFault::reset: {
            // A zero linger time makes the close send a reset instead of an orderly end.
            const linger abort{1, 0};
            setsockopt(client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            return false;
        }
        case PeerFault::byteByByte:
            return trickle(client, reply);
        case PeerFault::flood:
            flood(client);
            return false;
    }
    return false;
}

bool MisbehavingPeer::trickle(int client, const std::vector<uint8_t>& frame) {
    for (const uint8_t byte : frame) {
        if (!sendAll(client, &byte, 1) || !pause(gap_)) {
            return false;
        }
    }
    return true;
}

// Sends bytes as fast as the library takes them until it closes or the peer stops.
void MisbehavingPeer::flood(int client) {
    std::vector<uint8_t> noise(kFloodChunk);
    uint32_t state = 1;
    for (uint8_t& byte : noise) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(state >> 24);
    }
    while (waitFor(client, POLLOUT)) {
        const ssize_t sent = send(client, noise.data(), noise.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && errno != EAGAIN && errno != EINTR) {
            return;
        }
    }
}

bool MisbehavingPeer::readExactly(int fd, uint8_t* buffer, std::size_t count) {
    std::size_t got = 0;
    while (got < count) {
        if (!waitFor(fd, POLLIN)) {
            return false;
        }
        const ssize_t n = recv(fd, buffer + got, count - got, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
            return false;
        }
        got += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    return true;
}

// True when fd reports one of events (or an error); false as soon as the peer is stopping.
bool MisbehavingPeer::waitFor(int fd, short events) {
    for (;;) {
        pollfd entries[2] = {{fd, events, 0}, {wakeRead_, POLLIN, 0}};
        const int ready = poll(entries, 2, -1);
        if (stopping_ || (ready > 0 && entries[1].revents != 0)) {
            return false;
        }
        if (ready > 0) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

// Sleeps for delay unless the peer is stopping; false when it is.
bool MisbehavingPeer::pause(std::chrono::milliseconds delay) {
    pollfd entry{wakeRead_, POLLIN, 0};
    poll(&entry, 1, static_cast<int>(delay.count()));
    return !stopping_;
}

}  // namespace tarn::testing
