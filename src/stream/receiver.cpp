#include "stream/receiver.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>

#include "stream/pause.h"

namespace {
// Pointers ever pushed into originDataQueue: written by the receiver (PushOringinDataPack).
std::atomic<uint64_t> pushedPointers{0};
// Pointers ever taken from originDataQueue: written by the assembler (FrontOringinDataPack).
// Its release order tells the receiver that the slot taken before is no longer read.
std::atomic<uint64_t> takenPointers{0};

constexpr std::size_t kAddressTextBytes = 16;
}  // namespace

bool PushOringinDataPack(OriginDataPack* pack) {
    if (!originDataQueue.try_enqueue(pack)) {
        return false;
    }
    pushedPointers.fetch_add(1, std::memory_order_relaxed);
    return true;
}

bool FrontOringinDataPack(OriginDataPack** pack) {
    if (!originDataQueue.try_dequeue(*pack)) {
        return false;
    }
    takenPointers.fetch_add(1, std::memory_order_release);
    return true;
}

bool ClearOringinDataQueue() {
    const std::size_t queued = originDataQueue.size_approx();
    OriginDataPack* discarded = nullptr;
    for (std::size_t i = 0; i < queued && FrontOringinDataPack(&discarded); ++i) {
    }
    return true;
}

namespace tarn::stream {

uint64_t queuedDatagramPointers() {
    const uint64_t taken = takenPointers.load(std::memory_order_acquire);
    return pushedPointers.load(std::memory_order_relaxed) - taken;
}

bool isDeviceSource(const sockaddr_in& source, const std::string& deviceIp, uint16_t devicePort) {
    char addressText[kAddressTextBytes] = {};
    inet_ntop(AF_INET, &source.sin_addr, addressText, sizeof addressText);
    if (deviceIp != addressText) {
        return false;
    }
    const uint16_t sourcePort = ntohs(source.sin_port);
    return sourcePort == devicePort || sourcePort == kAlternateDevicePort;
}

bool storeDatagram(const uint8_t* bytes, std::size_t length) {
    if (queuedDatagramPointers() >= kRingFullQueuedPointers) {
        return false;
    }
    OriginDataPack* slot = &m_big_buffer[m_big_buffer_index];
    std::memcpy(slot->data, bytes, length);
    slot->len = static_cast<uint16_t>(length);
    if (!PushOringinDataPack(slot)) {
        return false;
    }
    m_big_buffer_index = m_big_buffer_index + 1 >= kRingSlots ? 0 : m_big_buffer_index + 1;
    return true;
}

}  // namespace tarn::stream

void threadReceiveData(std::string deviceIp, unsigned short devicePort) {
    while (linkDeviceFlag.load()) {
        uint8_t buffer[kMaxDatagramBytes] = {};
        sockaddr_in source{};
        socklen_t sourceLength = sizeof source;
        const ssize_t received = recvfrom(sockfd.load(), buffer, sizeof buffer, 0,
                                          reinterpret_cast<sockaddr*>(&source), &sourceLength);
        if (received < 0) {
            tarn::stream::pauseMicroseconds(tarn::stream::kReceiverIdleMicroseconds);
            continue;
        }
        if (received == 0 || !tarn::stream::isDeviceSource(source, deviceIp, devicePort)) {
            continue;
        }
        tarn::stream::storeDatagram(buffer, static_cast<std::size_t>(received));
    }
}
