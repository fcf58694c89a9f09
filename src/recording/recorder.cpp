#include "recording/recorder.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace tarn::recording {
namespace {

constexpr auto kWriterWait = std::chrono::milliseconds(50);

Ipv4 dotted(uint32_t hostOrder) {
    return {static_cast<uint8_t>(hostOrder >> 24), static_cast<uint8_t>(hostOrder >> 16),
            static_cast<uint8_t>(hostOrder >> 8), static_cast<uint8_t>(hostOrder)};
}

}  // namespace

Recorder::Recorder(const std::string& path, std::size_t queueCapacity)
    : writer_(path), queue_(queueCapacity) {}

Recorder::~Recorder() {
    tarn_recording_writer_stats counts{};
    finish(counts);
}

void Recorder::start() {
    thread_ = std::thread(&Recorder::run, this);
}

void Recorder::take(const uint8_t* datagram, std::size_t length, const tarn_datagram_meta& meta) {
    taken_.fetch_add(1, std::memory_order_relaxed);
    if (failed_.load(std::memory_order_relaxed)) {
        refused_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    Slot slot;
    slot.length = static_cast<uint16_t>(std::min(length, slot.bytes.size()));
    std::memcpy(slot.bytes.data(), datagram, slot.length);
    slot.route = {dotted(meta.source_address), meta.source_port, dotted(meta.destination_address),
                  meta.destination_port};
    slot.realtimeNs = meta.receive_realtime_ns;
    if (!queue_.try_enqueue(slot)) {
        refused_.fetch_add(1, std::memory_order_relaxed);
    }
}

tarn_recording_writer_stats Recorder::counts() const {
    tarn_recording_writer_stats counts{};
    counts.taken = taken_.load();
    counts.dropped = refused_.load() + lost_.load();
    counts.written = written_.load();
    counts.bytes = bytes_.load();
    counts.failed = failed_.load() ? 1 : 0;
    return counts;
}

std::string Recorder::error() const {
    std::lock_guard<std::mutex> lock(errorMutex_);
    return error_;
}

void Recorder::setError(const std::string& error) {
    {
        std::lock_guard<std::mutex> lock(errorMutex_);
        if (error_.empty()) {
            error_ = error;
        }
    }
    failed_.store(true);
}

void Recorder::publish() {
    written_.store(writer_.records());
    bytes_.store(writer_.bytes());
}

void Recorder::run() {
    Slot slot;
    try {
        for (;;) {
            if (queue_.wait_dequeue_timed(slot, kWriterWait)) {
                writeSlot(slot);
            } else if (stopping_.load()) {
                break;
            } else {
                writer_.flush();  // a quiet moment: let the file catch up
                publish();
            }
        }
        while (queue_.try_dequeue(slot)) {
            writeSlot(slot);
        }
        writer_.close();
        publish();
    } catch (const WriteError& e) {
        // The datagrams buffered or queued at the error never reach the file.
        const uint64_t buffered = writer_.unwritten();
        publish();
        setError(e.what());
        uint64_t lost = 0;
        while (queue_.try_dequeue(slot)) {
            ++lost;
        }
        lost_.fetch_add(lost + buffered);
        // Datagrams taken until the stream stops are refused by take(); the last of them may
        // still have been queued.
        while (!stopping_.load()) {
            if (queue_.wait_dequeue_timed(slot, kWriterWait)) {
                lost_.fetch_add(1);
            }
        }
        while (queue_.try_dequeue(slot)) {
            lost_.fetch_add(1);
        }
    }
}

void Recorder::writeSlot(const Slot& slot) {
    const std::vector<uint8_t> frame =
        udpFrame(slot.route, identification_++, slot.bytes.data(), slot.length);
    writer_.write(slot.realtimeNs, frame.data(), frame.size());
    publish();
}

bool Recorder::finish(tarn_recording_writer_stats& counts) {
    if (!finished_) {
        finished_ = true;
        stopping_.store(true);
        if (thread_.joinable()) {
            thread_.join();
        } else {
            try {
                writer_.close();
            } catch (const WriteError& e) {
                setError(e.what());
            }
        }
    }
    counts = this->counts();
    return !failed_.load();
}

}  // namespace tarn::recording
