// CRC-8 of the control frames: polynomial x^8 + x^5 + x^4 + 1, most significant bit first, no
// reflection, no final XOR. Frames are a few dozen bytes, so the bitwise form is enough.
#include "KESOApi.h"

namespace {

constexpr unsigned char kCrc8Polynomial = 0x31;
constexpr unsigned char kCrc8TopBit = 0x80;
constexpr int kBitsPerByte = 8;

}  // namespace

unsigned char KESOCrc8(const unsigned char* data, uint32_t len, unsigned char init) {
    unsigned char crc = init;
    // Bytes that are not there contribute nothing, as with a count of 0.
    if (data == nullptr) {
        return crc;
    }
    for (uint32_t i = 0; i < len; ++i) {
        crc = static_cast<unsigned char>(crc ^ data[i]);
        for (int bit = 0; bit < kBitsPerByte; ++bit) {
            const bool carry = (crc & kCrc8TopBit) != 0;
            crc = static_cast<unsigned char>(crc << 1);
            if (carry) {
                crc = static_cast<unsigned char>(crc ^ kCrc8Polynomial);
            }
        }
    }
    return crc;
}
