#include "tools/tarn/capture/recorder.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace tarn::capture {
namespace {

constexpr auto kWriterWait = std::chrono::milliseconds(50);

Ipv4 dotted(uint32_t hostOrder) {
    return {static_cast<uint8_t>(hostOrder >> 24), static_cast<uint8_t>(hostOrder >> 16),
            static_cast<uint8_t>(hostOrder >> 8), static_cast<uint8_t>(hostOrder)};
}

}  // namespace

Recorder::Recorder(const std::string& path, std::size_t queueCapacity)
    : writer_(path), queue_(queueCapacity), thread_(&Recorder::write, this) {}

Recorder::~Recorder() {
    try {
        finish();
    } catch (const std::runtime_error&) {
        // The owner asked finish() for the error if it wanted it.
    }
}

void Recorder::tap(const uint8_t* datagram, std::size_t length, const tarn_datagram_meta* meta,
                   void* user) {
    static_cast<Recorder*>(user)->take(datagram, length, *meta);
}

void Recorder::take(const uint8_t* datagram, std::size_t length, const tarn_datagram_meta& meta) {
    taken_.fetch_add(1, std::memory_order_relaxed);
    Slot slot;
    slot.length = static_cast<uint16_t>(std::min(length, slot.bytes.size()));
    std::memcpy(slot.bytes.data(), datagram, slot.length);
    slot.route = {dotted(meta.source_address), meta.source_port, dotted(meta.destination_address),
                  meta.destination_port};
    slot.realtimeNs = meta.receive_realtime_ns;
    if (!queue_.try_enqueue(slot)) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
    }
}

RecorderCounts Recorder::counts() const {
    return {taken_.load(), dropped_.load(), written_.load()};
}

void Recorder::write() {
    Slot slot;
    try {
        for (;;) {
            if (queue_.wait_dequeue_timed(slot, kWriterWait)) {
                writeSlot(slot);
            } else if (stopping_.load()) {
                break;
            }
        }
        while (queue_.try_dequeue(slot)) {
            writeSlot(slot);
        }
    } catch (const std::exception& e) {
        error_ = e.what();
    }
}

void Recorder::writeSlot(const Slot& slot) {
    const auto when = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::nanoseconds(slot.realtimeNs)));
    writer_.write(when, udpFrame(slot.route, identification_++, slot.bytes.data(), slot.length));
    written_.fetch_add(1, std::memory_order_relaxed);
}

RecorderCounts Recorder::finish() {
    if (!finished_) {
        finished_ = true;
        stopping_.store(true);
        thread_.join();
        if (error_.empty()) {
            try {
                writer_.close();
            } catch (const std::runtime_error& e) {
                error_ = e.what();
            }
        }
    }
    if (!error_.empty()) {
        throw std::runtime_error(error_);
    }
    return counts();
}

}  // namespace tarn::capture
