// A frame's datagrams back to back in one buffer, each behind its length, and the pool that
// recycles these buffers so that a running stream allocates nothing per frame.
#ifndef TARN_STREAM_DATAGRAM_RUN_H
#define TARN_STREAM_DATAGRAM_RUN_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace tarn::stream {

// Grows while the assembler fills it; once queued it is shared and read-only.
class DatagramRun {
  public:
    void append(const uint8_t* datagram, std::size_t length);
    void clear();
    std::size_t count() const { return count_; }
    // The datagrams' own bytes, without the lengths in between.
    std::size_t datagramBytes() const { return datagramBytes_; }
    // True when the run's first (last) datagram has exactly these bytes.
    bool firstIs(const uint8_t* datagram, std::size_t length) const;
    bool lastIs(const uint8_t* datagram, std::size_t length) const;

    // Calls visit(bytes, length) for each datagram in order; stops early when visit returns false.
    template <typename Visit>
    bool forEach(Visit visit) const {
        const uint8_t* at = buffer_.data();
        const uint8_t* const end = at + buffer_.size();
        while (at < end) {
            const std::size_t length = static_cast<std::size_t>(at[0] | (at[1] << 8));
            if (!visit(at + kLengthBytes, length)) {
                return false;
            }
            at += kLengthBytes + length;
        }
        return true;
    }

    // Calls visit(bytes, length) for each datagram from byte offset `from` on (0, or what an
    // earlier call returned) and returns the offset past the last one.
    template <typename Visit>
    std::size_t forEachFrom(std::size_t from, Visit visit) const {
        const uint8_t* const begin = buffer_.data();
        const uint8_t* at = begin + from;
        const uint8_t* const end = begin + buffer_.size();
        while (at < end) {
            const std::size_t length = static_cast<std::size_t>(at[0] | (at[1] << 8));
            visit(at + kLengthBytes, length);
            at += kLengthBytes + length;
        }
        return static_cast<std::size_t>(at - begin);
    }

  private:
    static constexpr std::size_t kLengthBytes = 2;
    bool equalAt(std::size_t offset, const uint8_t* datagram, std::size_t length) const;

    std::vector<uint8_t> buffer_;
    std::size_t lastOffset_ = 0;  // where the last datagram's length is
    std::size_t count_ = 0;
    std::size_t datagramBytes_ = 0;
};

using SharedRun = std::shared_ptr<const DatagramRun>;
using OwnedRun = std::shared_ptr<DatagramRun>;

// Hands out empty runs; a run comes back when its last holder lets go, keeping its buffer. Any
// thread.
class RunPool : public std::enable_shared_from_this<RunPool> {
  public:
    OwnedRun take();

  private:
    void giveBack(DatagramRun* run);

    // Runs kept for reuse; more than this many idle runs are freed instead.
    static constexpr std::size_t kKeptRuns = 8;
    std::mutex mutex_;
    std::vector<std::unique_ptr<DatagramRun>> idle_;
};

// A pool for the conversions from separate datagrams that the KESO queue functions and the tests
// make; it lives as long as the process.
RunPool& spareRunPool();

}  // namespace tarn::stream

#endif  // TARN_STREAM_DATAGRAM_RUN_H
