// A file's bytes built in memory, little-endian whatever the host, and written in one go.
#ifndef TARN_TOOLS_TARN_WRITERS_BYTE_BUFFER_H
#define TARN_TOOLS_TARN_WRITERS_BYTE_BUFFER_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace tarn::writers {

class ByteBuffer {
  public:
    void reserve(std::size_t bytes) { bytes_.reserve(bytes); }
    void text(const std::string& text) { bytes_.insert(bytes_.end(), text.begin(), text.end()); }
    void append(const uint8_t* data, std::size_t size) {
        bytes_.insert(bytes_.end(), data, data + size);
    }
    void u8(uint8_t value) { bytes_.push_back(value); }
    void u16(uint16_t value) { little(value, sizeof value); }
    void u32(uint32_t value) { little(value, sizeof value); }
    void f32(float value) {
        uint32_t bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        u32(bits);
    }

    const std::vector<uint8_t>& bytes() const { return bytes_; }

    // Throws std::runtime_error naming the path and the reason when it cannot be written whole.
    void writeTo(const std::string& path) const;

  private:
    void little(uint32_t value, std::size_t width) {
        for (std::size_t i = 0; i < width; ++i) {
            bytes_.push_back(static_cast<uint8_t>(value >> (8 * i)));
        }
    }

    std::vector<uint8_t> bytes_;
};

}  // namespace tarn::writers

#endif  // TARN_TOOLS_TARN_WRITERS_BYTE_BUFFER_H
