// The MCAP container's records, as this component writes and reads them: the magic, one opcode byte
// and a 64-bit little-endian length before each record's fields; strings and byte arrays with a
// 32-bit length (a chunk's records with a 64-bit one), maps with a 32-bit byte length.
#ifndef TARN_MCAP_MCAP_FORMAT_H
#define TARN_MCAP_MCAP_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace tarn::mcap {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "MCAP records are written as the host's little-endian bytes");

inline constexpr uint8_t kMagic[8] = {0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'};

enum Opcode : uint8_t {
    kHeader = 0x01,
    kFooter = 0x02,
    kSchema = 0x03,
    kChannel = 0x04,
    kMessage = 0x05,
    kChunk = 0x06,
    kMessageIndex = 0x07,
    kChunkIndex = 0x08,
    kStatistics = 0x0B,
    kSummaryOffset = 0x0E,
    kDataEnd = 0x0F,
};

// The opcode and length before a record's fields.
inline constexpr std::size_t kRecordPrefix = 9;

// Appends records to a byte buffer: begin() writes the prefix, end() fills in the length.
class RecordBuffer {
  public:
    std::vector<uint8_t>& bytes() { return bytes_; }
    const std::vector<uint8_t>& bytes() const { return bytes_; }
    std::size_t size() const { return bytes_.size(); }
    void clear() { bytes_.clear(); }

    void begin(Opcode op) {
        u8(op);
        lengthAt_ = bytes_.size();
        u64(0);
    }
    void end() {
        const uint64_t length = bytes_.size() - lengthAt_ - sizeof(uint64_t);
        std::memcpy(bytes_.data() + lengthAt_, &length, sizeof length);
    }

    void u8(uint8_t v) { raw(&v, 1); }
    void u16(uint16_t v) { raw(&v, sizeof v); }
    void u32(uint32_t v) { raw(&v, sizeof v); }
    void u64(uint64_t v) { raw(&v, sizeof v); }
    void string(std::string_view s) {
        u32(static_cast<uint32_t>(s.size()));
        raw(s.data(), s.size());
    }
    void raw(const void* data, std::size_t n) {
        const auto* p = static_cast<const uint8_t*>(data);
        bytes_.insert(bytes_.end(), p, p + n);
    }

  private:
    std::vector<uint8_t> bytes_;
    std::size_t lengthAt_ = 0;
};

// Reads a record's fields in the same layout, bounded by the bytes it was given: a field that
// would run past them reads as zero or empty and clears ok() for good.
class RecordCursor {
  public:
    RecordCursor(const uint8_t* data, uint64_t size) : data_(data), left_(size) {}

    bool ok() const { return ok_; }
    uint64_t left() const { return left_; }
    const uint8_t* here() const { return data_; }

    uint8_t u8() { return number<uint8_t>(); }
    uint16_t u16() { return number<uint16_t>(); }
    uint32_t u32() { return number<uint32_t>(); }
    uint64_t u64() { return number<uint64_t>(); }
    std::string_view string() { return bytes(u32()); }
    // n bytes in place (empty and not ok when fewer are left).
    std::string_view bytes(uint64_t n) {
        if (!ok_ || n > left_) {
            ok_ = false;
            return {};
        }
        const std::string_view view(reinterpret_cast<const char*>(data_),
                                    static_cast<std::size_t>(n));
        data_ += n;
        left_ -= n;
        return view;
    }

  private:
    template <typename T>
    T number() {
        T value{};
        const std::string_view b = bytes(sizeof value);
        if (!b.empty()) {
            std::memcpy(&value, b.data(), sizeof value);
        }
        return value;
    }

    const uint8_t* data_;
    uint64_t left_;
    bool ok_ = true;
};

}  // namespace tarn::mcap

#endif  // TARN_MCAP_MCAP_FORMAT_H
