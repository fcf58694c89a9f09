// Writes one CDR message as ROS 2 puts it on the wire and into bags: the encapsulation header
// 00 01 00 00 (plain CDR, little-endian), then each value aligned to its own size, counted from
// the end of that header. Strings are a 32-bit length that counts the closing NUL, the bytes and
// the NUL; sequences a 32-bit element count, then the elements; fixed arrays only their elements.
//
// The writer also measures: it counts every byte a message needs, writing only while they fit in
// the caller's buffer (none when the buffer is null), so one pass tells a too-small caller the
// size to retry with.
#ifndef TARN_MESSAGES_CDR_WRITER_H
#define TARN_MESSAGES_CDR_WRITER_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tarn::messages {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the CDR writer stores host values as little-endian bytes");

inline constexpr uint8_t kEncapsulation[4] = {0x00, 0x01, 0x00, 0x00};

class CdrWriter {
  public:
    CdrWriter(uint8_t* out, std::size_t capacity)
        : out_(out), capacity_(out == nullptr ? 0 : capacity) {
        raw(kEncapsulation, sizeof kEncapsulation);
    }

    void u8(uint8_t v) { put(&v, 1); }
    void boolean(bool v) { u8(v ? 1 : 0); }
    void u16(uint16_t v) { put(&v, sizeof v); }
    void u32(uint32_t v) { put(&v, sizeof v); }
    void i32(int32_t v) { put(&v, sizeof v); }
    void u64(uint64_t v) { put(&v, sizeof v); }
    void f64(double v) { put(&v, sizeof v); }
    void string(std::string_view s) {
        u32(static_cast<uint32_t>(s.size() + 1));
        raw(s.data(), s.size());
        u8(0);
    }
    // Bytes with no alignment of their own (uint8[] contents, fixed byte arrays).
    void raw(const void* data, std::size_t n) {
        if (fits(n)) {
            std::memcpy(out_ + size_, data, n);
        }
        size_ += n;
    }
    // The place of n bytes the caller fills itself, aligned to `alignment`; null when they do not
    // fit. Either way they are counted.
    uint8_t* reserve(std::size_t n, std::size_t alignment = 1) {
        align(alignment);
        uint8_t* at = fits(n) ? out_ + size_ : nullptr;
        size_ += n;
        return at;
    }

    // Bytes the message needs so far, the encapsulation header included.
    std::size_t size() const { return size_; }
    // True when every byte counted so far was written.
    bool complete() const { return size_ <= capacity_; }

  private:
    static constexpr std::size_t kOrigin = sizeof kEncapsulation;

    bool fits(std::size_t n) const { return size_ <= capacity_ && n <= capacity_ - size_; }
    void align(std::size_t alignment) {
        static constexpr uint8_t kZeros[8] = {};
        const std::size_t pad = (alignment - (size_ - kOrigin) % alignment) % alignment;
        raw(kZeros, pad);
    }
    void put(const void* v, std::size_t n) {
        align(n);
        raw(v, n);
    }

    uint8_t* out_;
    std::size_t capacity_;
    std::size_t size_ = 0;
};

}  // namespace tarn::messages

#endif  // TARN_MESSAGES_CDR_WRITER_H
