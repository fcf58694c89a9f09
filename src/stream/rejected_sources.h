// The first few distinct sources whose datagrams a stream's source filter rejected, with how many
// came from each, so that a stream that hears only strangers can say whom it heard.
#ifndef TARN_STREAM_REJECTED_SOURCES_H
#define TARN_STREAM_REJECTED_SOURCES_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "tarn/tarn.h"

namespace tarn::stream {

class RejectedSources {
  public:
    static constexpr std::size_t kKept = TARN_REJECTED_SOURCES_KEPT;

    // Counts a rejected datagram from address:port (host byte order). A source beyond the first
    // kKept is not kept. Receiver thread only.
    void note(uint32_t address, uint16_t port) {
        const uint64_t key = keyOf(address, port);
        const std::size_t used = used_.load(std::memory_order_relaxed);
        for (std::size_t i = 0; i < used; ++i) {
            if (entries_[i].key.load(std::memory_order_relaxed) == key) {
                Entry& entry = entries_[i];
                entry.datagrams.store(entry.datagrams.load(std::memory_order_relaxed) + 1,
                                      std::memory_order_relaxed);
                return;
            }
        }
        if (used < kKept) {
            entries_[used].key.store(key, std::memory_order_relaxed);
            entries_[used].datagrams.store(1, std::memory_order_relaxed);
            used_.store(used + 1, std::memory_order_release);
        }
    }

    // Copies up to capacity of the kept sources in the order they were first seen; returns how
    // many were kept. Any thread; the counts may be a few datagrams behind.
    std::size_t copy(tarn_rejected_source* sources, std::size_t capacity) const {
        const std::size_t used = used_.load(std::memory_order_acquire);
        for (std::size_t i = 0; i < used && i < capacity; ++i) {
            const uint64_t key = entries_[i].key.load(std::memory_order_relaxed);
            sources[i] = tarn_rejected_source{};
            sources[i].address = static_cast<uint32_t>(key >> kPortBits);
            sources[i].port = static_cast<uint16_t>(key);
            sources[i].datagrams = entries_[i].datagrams.load(std::memory_order_relaxed);
        }
        return used;
    }

    // Forgets every source; only while no worker of the stream runs.
    void reset() {
        for (Entry& entry : entries_) {
            entry.key.store(0, std::memory_order_relaxed);
            entry.datagrams.store(0, std::memory_order_relaxed);
        }
        used_.store(0, std::memory_order_release);
    }

  private:
    static constexpr unsigned kPortBits = 16;
    static uint64_t keyOf(uint32_t address, uint16_t port) {
        return uint64_t{address} << kPortBits | port;
    }

    struct Entry {
        std::atomic<uint64_t> key{0};
        std::atomic<uint64_t> datagrams{0};
    };
    Entry entries_[kKept];
    std::atomic<std::size_t> used_{0};
};

}  // namespace tarn::stream

#endif  // TARN_STREAM_REJECTED_SOURCES_H
