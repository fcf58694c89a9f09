// A file's bytes built in memory, little-endian whatever the host, and written in one go.
#ifndef TARN_TOOLS_TARN_WRITERS_BYTE_BUFFER_H
#define TARN_TOOLS_TARN_WRITERS_BYTE_BUFFER_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace tarn::writers {

// value at out[0..3], least significant byte first (one store on a little-endian host).
inline void storeLittle32(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
    out[2] = static_cast<uint8_t>(value >> 16);
    out[3] = static_cast<uint8_t>(value >> 24);
}

inline void storeLittle16(uint8_t* out, uint16_t value) {
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
}

inline void storeLittleFloat(uint8_t* out, float value) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    storeLittle32(out, bits);
}

class ByteBuffer {
  public:
    void reserve(std::size_t bytes) { bytes_.reserve(bytes); }
    void text(const std::string& text) { bytes_.insert(bytes_.end(), text.begin(), text.end()); }
    void append(const uint8_t* data, std::size_t size) {
        bytes_.insert(bytes_.end(), data, data + size);
    }
    void u8(uint8_t value) { bytes_.push_back(value); }
    void u16(uint16_t value) { storeLittle16(extend(sizeof value), value); }
    void u32(uint32_t value) { storeLittle32(extend(sizeof value), value); }
    void f32(float value) { storeLittleFloat(extend(sizeof value), value); }
    // size more bytes at the end, to be filled through the pointer returned (valid until the next
    // change of the buffer).
    uint8_t* extend(std::size_t size) {
        const std::size_t at = bytes_.size();
        bytes_.resize(at + size);
        return bytes_.data() + at;
    }
    // Drops the bytes from size on.
    void truncate(std::size_t size) { bytes_.resize(size); }
    std::size_t size() const { return bytes_.size(); }

    const std::vector<uint8_t>& bytes() const { return bytes_; }

    // Throws std::runtime_error naming the path and the reason when it cannot be written whole.
    void writeTo(const std::string& path) const;

  private:
    std::vector<uint8_t> bytes_;
};

}  // namespace tarn::writers

#endif  // TARN_TOOLS_TARN_WRITERS_BYTE_BUFFER_H
