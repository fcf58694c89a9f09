#include "sim/control_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace tarn::sim {
namespace {

constexpr std::size_t kHeadLen = 21;
constexpr std::size_t kHeadCrcSpan = 19;
constexpr std::size_t kCommandOffset = 9;
constexpr std::size_t kDataLenOffset = 11;
constexpr std::size_t kHeadCrcOffset = 19;
constexpr std::size_t kDataCrcOffset = 20;
constexpr std::size_t kStatusLen = 4;
constexpr std::size_t kTruncatedBytes = 4;
constexpr uint8_t kFrameStart[] = {0x5A, 0xA5, 0x01, 0x06, 0x00, 0x00, 0x01, 0x65, 0x9A};

constexpr uint16_t kCmdGetMaxPkgSize = 0x0001;
constexpr uint16_t kCmdSetMaxPkgSize = 0x0002;
constexpr uint16_t kCmdSetNetInfo = 0x0201;
constexpr uint16_t kCmdGetNetInfo = 0x0202;
// Statuses the simulated sensor gives for requests it cannot carry out.
constexpr uint32_t kStatusBadPayload = 2;
constexpr uint32_t kStatusBadFrame = 5;
constexpr uint32_t kStatusUnknownCommand = 0x80;

constexpr int kListenBacklog = 4;
constexpr uint8_t kCrcFlip = 0xFF;
constexpr auto kUnansweredProbeWait = std::chrono::milliseconds(500);
constexpr int kMaxFillers = 8;

// The CRC-8 of the control frames (polynomial 0x31, MSB first, init 0), table-driven here so
// that the server checks the library's bitwise version independently.
struct Crc8Table {
    uint8_t entries[256];
    constexpr Crc8Table() : entries() {
        for (int value = 0; value < 256; ++value) {
            int crc = value;
            for (int bit = 0; bit < 8; ++bit) {
                crc = (crc & 0x80) != 0 ? ((crc << 1) ^ 0x31) : (crc << 1);
            }
            entries[value] = static_cast<uint8_t>(crc & 0xFF);
        }
    }
};
constexpr Crc8Table kCrc8Table;

uint8_t crc8(const uint8_t* data, std::size_t len) {
    uint8_t crc = 0;
    for (std::size_t i = 0; i < len; ++i) {
        crc = kCrc8Table.entries[crc ^ data[i]];
    }
    return crc;
}

uint16_t loadLe16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

void storeLe16(uint8_t* bytes, uint16_t value) {
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
}

uint32_t loadLe32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void appendLe32(std::vector<uint8_t>& bytes, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        bytes.push_back(static_cast<uint8_t>(value >> shift));
    }
}

void sealHead(std::vector<uint8_t>& frame) {
    frame[kHeadCrcOffset] = crc8(frame.data(), kHeadCrcSpan);
}

std::vector<uint8_t> buildFrame(uint16_t command, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> frame(kHeadLen + payload.size(), 0);
    std::copy(std::begin(kFrameStart), std::end(kFrameStart), frame.begin());
    storeLe16(&frame[kCommandOffset], command);
    storeLe16(&frame[kDataLenOffset], static_cast<uint16_t>(payload.size()));
    sealHead(frame);
    frame[kDataCrcOffset] = crc8(payload.data(), payload.size());
    std::copy(payload.begin(), payload.end(), frame.begin() + kHeadLen);
    return frame;
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

sockaddr_in controlAddress(const std::string& address) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(kControlPort);
    inet_pton(AF_INET, address.c_str(), &peer.sin_addr);
    return peer;
}

int listenOn(const std::string& address, int backlog) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in local = controlAddress(address);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        listen(fd, backlog) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

template <std::size_t N>
void putBytes(SettingsRecord& record, std::size_t offset, const std::array<uint8_t, N>& bytes) {
    std::copy(bytes.begin(), bytes.end(), record.begin() + static_cast<std::ptrdiff_t>(offset));
}

template <std::size_t N>
void getBytes(const SettingsRecord& record, std::size_t offset, std::array<uint8_t, N>& bytes) {
    std::copy_n(record.begin() + static_cast<std::ptrdiff_t>(offset), N, bytes.begin());
}

// Offsets of the settings record members (see control_server.h).
constexpr std::size_t kAddressAt = 0;
constexpr std::size_t kNetmaskAt = 4;
constexpr std::size_t kGatewayAt = 8;
constexpr std::size_t kHostAddressAt = 12;
constexpr std::size_t kDataPortAt = 16;
constexpr std::size_t kHostPortAt = 18;
constexpr std::size_t kMacAt = 20;

}  // namespace

bool NetSettings::operator==(const NetSettings& other) const {
    return address == other.address && netmask == other.netmask && gateway == other.gateway &&
           hostAddress == other.hostAddress && dataPort == other.dataPort &&
           hostPort == other.hostPort && mac == other.mac;
}

SettingsRecord encodeSettings(const NetSettings& settings) {
    SettingsRecord record{};
    putBytes(record, kAddressAt, settings.address);
    putBytes(record, kNetmaskAt, settings.netmask);
    putBytes(record, kGatewayAt, settings.gateway);
    putBytes(record, kHostAddressAt, settings.hostAddress);
    storeLe16(&record[kDataPortAt], settings.dataPort);
    storeLe16(&record[kHostPortAt], settings.hostPort);
    putBytes(record, kMacAt, settings.mac);
    return record;
}

NetSettings decodeSettings(const SettingsRecord& record) {
    NetSettings settings;
    getBytes(record, kAddressAt, settings.address);
    getBytes(record, kNetmaskAt, settings.netmask);
    getBytes(record, kGatewayAt, settings.gateway);
    getBytes(record, kHostAddressAt, settings.hostAddress);
    settings.dataPort = loadLe16(&record[kDataPortAt]);
    settings.hostPort = loadLe16(&record[kHostPortAt]);
    getBytes(record, kMacAt, settings.mac);
    return settings;
}

std::vector<uint8_t> ReceivedRequest::payload() const {
    return std::vector<uint8_t>(frame.begin() + static_cast<std::ptrdiff_t>(kHeadLen), frame.end());
}

ControlServer::ControlServer(std::string address) : address_(std::move(address)) {
    listenFd_ = listenOn(address_, kListenBacklog);
    int wake[2];
    if (listenFd_ < 0 || pipe2(wake, O_CLOEXEC) != 0) {
        return;
    }
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    thread_ = std::thread(&ControlServer::run, this);
}

ControlServer::~ControlServer() {
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

void ControlServer::setReportedPkgSize(int32_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    reportedPkgSize_ = size;
}

int32_t ControlServer::reportedPkgSize() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reportedPkgSize_;
}

void ControlServer::setFault(uint16_t command, const FaultPlan& plan) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_[command] = plan;
}

void ControlServer::clearFaults() {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.clear();
}

void ControlServer::setSettings(const SettingsRecord& record) {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_ = record;
}

SettingsRecord ControlServer::settings() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return settings_;
}

std::vector<ReceivedRequest> ControlServer::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::vector<uint16_t> ControlServer::receivedCommands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint16_t> commands;
    for (const ReceivedRequest& request : received_) {
        commands.push_back(request.command);
    }
    return commands;
}

int ControlServer::connectionsAccepted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
}

void ControlServer::run() {
    while (waitReadable(listenFd_)) {
        const int client = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++connections_;
        }
        const int on = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        serveClient(client);
        close(client);
    }
}

void ControlServer::serveClient(int client) {
    ReceivedRequest request;
    while (readRequest(client, request)) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            received_.push_back(request);
        }
        if (!reply(client, request)) {
            return;
        }
    }
}

bool ControlServer::readRequest(int client, ReceivedRequest& request) {
    request.frame.assign(kHeadLen, 0);
    if (!readExactly(client, request.frame.data(), kHeadLen)) {
        return false;
    }
    request.command = loadLe16(&request.frame[kCommandOffset]);
    const uint16_t dataLen = loadLe16(&request.frame[kDataLenOffset]);
    request.frame.resize(kHeadLen + dataLen);
    if (!readExactly(client, request.frame.data() + kHeadLen, dataLen)) {
        return false;
    }
    request.headCrcValid =
        request.frame[kHeadCrcOffset] == crc8(request.frame.data(), kHeadCrcSpan);
    request.dataCrcValid =
        request.frame[kDataCrcOffset] == crc8(request.frame.data() + kHeadLen, dataLen);
    return true;
}

bool ControlServer::readExactly(int fd, uint8_t* buffer, std::size_t count) {
    std::size_t got = 0;
    while (got < count) {
        if (!waitReadable(fd)) {
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

// Waits until fd is readable; false when the server is stopping.
bool ControlServer::waitReadable(int fd) {
    for (;;) {
        pollfd entries[2] = {{fd, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
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

// Sleeps for delay unless the server is stopping; false when it is.
bool ControlServer::pause(std::chrono::milliseconds delay) {
    pollfd entry{wakeRead_, POLLIN, 0};
    poll(&entry, 1, static_cast<int>(delay.count()));
    return !stopping_;
}

bool ControlServer::takeFault(uint16_t command, FaultPlan& plan) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = faults_.find(command);
    if (found == faults_.end() || found->second.replies == 0) {
        return false;
    }
    plan = found->second;
    if (found->second.replies > 0) {
        --found->second.replies;
    }
    return true;
}

ControlServer::Answer ControlServer::carryOut(const ReceivedRequest& request) {
    const std::vector<uint8_t> payload = request.payload();
    Answer answer;
    if (!request.headCrcValid) {
        answer.status = kStatusBadFrame;
        return answer;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    switch (request.command) {
        case kCmdGetMaxPkgSize:
            appendLe32(answer.data, static_cast<uint32_t>(reportedPkgSize_));
            break;
        case kCmdSetMaxPkgSize:
            if (payload.size() != kStatusLen) {
                answer.status = kStatusBadPayload;
                break;
            }
            reportedPkgSize_ = static_cast<int32_t>(loadLe32(payload.data()));
            break;
        case kCmdSetNetInfo:
            if (payload.size() != kSettingsLen) {
                answer.status = kStatusBadPayload;
                break;
            }
            std::copy(payload.begin(), payload.end(), settings_.begin());
            break;
        case kCmdGetNetInfo:
            answer.data.assign(settings_.begin(), settings_.end());
            break;
        default:
            answer.status = kStatusUnknownCommand;
            break;
    }
    return answer;
}

// Answers one request; false when the connection is to be closed.
bool ControlServer::reply(int client, const ReceivedRequest& request) {
    FaultPlan plan;
    const bool faulty = takeFault(request.command, plan);
    Answer answer;
    if (faulty && plan.fault == ReplyFault::refuse) {
        answer.status = plan.status;
    } else {
        answer = carryOut(request);
    }
    if (faulty && plan.fault == ReplyFault::truncatedData) {
        answer.data.resize(answer.data.size() - std::min(answer.data.size(), kTruncatedBytes));
    }

    std::vector<uint8_t> payload;
    appendLe32(payload, answer.status);
    payload.insert(payload.end(), answer.data.begin(), answer.data.end());
    const bool echoWrong = faulty && plan.fault == ReplyFault::wrongCommand;
    std::vector<uint8_t> frame =
        buildFrame(static_cast<uint16_t>(request.command + (echoWrong ? 1 : 0)), payload);
    if (!faulty) {
        return sendAll(client, frame.data(), frame.size());
    }

    switch (plan.fault) {
        case ReplyFault::wrongHeadCrc:
            frame[kHeadCrcOffset] ^= kCrcFlip;
            break;
        case ReplyFault::wrongDataLen:
            storeLe16(&frame[kDataLenOffset], plan.dataLen);
            sealHead(frame);
            break;
        case ReplyFault::wrongDataCrc:
            frame[kDataCrcOffset] ^= kCrcFlip;
            break;
        case ReplyFault::silent:
            return true;
        case ReplyFault::late:
            if (!pause(plan.delay)) {
                return false;
            }
            break;
        case ReplyFault::closeMidReply:
            sendAll(client, frame.data(), frame.size() / 2);
            return false;
        default:
            break;
    }
    return sendPieces(client, frame, plan.fault == ReplyFault::split ? &plan : nullptr);
}

// Sends frame whole, or in three pieces (inside the header, at its end, then the payload) with
// the plan's delay between them.
bool ControlServer::sendPieces(int client, const std::vector<uint8_t>& frame,
                               const FaultPlan* plan) {
    if (plan == nullptr) {
        return sendAll(client, frame.data(), frame.size());
    }
    const std::size_t cuts[] = {0, kHeadLen / 2, kHeadLen, frame.size()};
    for (std::size_t piece = 0; piece + 1 < std::size(cuts); ++piece) {
        if (piece > 0 && !pause(plan->delay)) {
            return false;
        }
        if (!sendAll(client, frame.data() + cuts[piece], cuts[piece + 1] - cuts[piece])) {
            return false;
        }
    }
    return true;
}

UnansweredListener::UnansweredListener(const std::string& address) {
    // A backlog of 0 leaves room for at most one waiting connection; once it is taken, the
    // kernel drops every further connection request without an answer.
    listenFd_ = listenOn(address, 0);
    if (listenFd_ < 0) {
        return;
    }
    const sockaddr_in peer = controlAddress(address);
    for (int i = 0; i < kMaxFillers && !ready_; ++i) {
        const int probe = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (probe < 0) {
            return;
        }
        connect(probe, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
        pollfd entry{probe, POLLOUT, 0};
        const int answered = poll(&entry, 1, static_cast<int>(kUnansweredProbeWait.count()));
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(probe, SOL_SOCKET, SO_ERROR, &error, &length);
        if (answered == 0) {
            ready_ = true;
            close(probe);
        } else if (answered > 0 && error == 0) {
            fillers_.push_back(probe);
        } else {
            close(probe);
            return;
        }
    }
}

UnansweredListener::~UnansweredListener() {
    for (const int fd : fillers_) {
        close(fd);
    }
    if (listenFd_ >= 0) {
        close(listenFd_);
    }
}

}  // namespace tarn::sim
