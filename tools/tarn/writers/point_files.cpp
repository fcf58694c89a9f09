// PLY, PCD and CSV files of a frame grid.
#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "tools/tarn/writers/byte_buffer.h"
#include "tools/tarn/writers/frame_files.h"

namespace tarn::writers {
namespace {

// PLY and PCD hold the same record, field by field in the same type.
constexpr std::size_t kPointBytes = 24;
// Enough significant digits to read every float back exactly.
constexpr int kFloatDigits = 9;
// The longest texts: "-1.23456789e-38", 18446744073709551615.
constexpr std::size_t kFloatTextBytes = 16;
constexpr std::size_t kIntegerTextBytes = 20;
// row,column,x,y,z,distance,intensity,timestamp,tag and the line's end.
constexpr std::size_t kCsvLineBytes = 2 * 5 + 4 * kFloatTextBytes + 3 * kIntegerTextBytes + 9;

// The grid's records, row-major, filled in place at the end of out.
void putPoints(ByteBuffer& out, GridView grid) {
    uint8_t* at = out.extend(kCells * kPointBytes);
    for (int row = 0; row < KESO_ROWS; ++row) {
        for (int column = 0; column < KESO_COLUMNS; ++column) {
            const KESOPointData& cell = grid[row][column];
            storeLittleFloat(at, cell.x);
            storeLittleFloat(at + 4, cell.y);
            storeLittleFloat(at + 8, cell.z);
            storeLittleFloat(at + 12, static_cast<float>(cell.intensity));
            storeLittleFloat(at + 16, cell.distance);
            storeLittle16(at + 20, cell.row);
            storeLittle16(at + 22, cell.column);
            at += kPointBytes;
        }
    }
}

// The text "%.*g" prints with the fewest digits that read back as exactly value, at out; returns
// the end. (What the writer printed before it was made fast: kept byte for byte.)
char* putFloatByTrial(char* out, float value) {
    char* last = out;
    for (int digits = 1; digits <= kFloatDigits; ++digits) {
        last = std::to_chars(out, out + kFloatTextBytes, value, std::chars_format::general, digits)
                   .ptr;
        float back = 0.0F;
        std::from_chars(out, last, back);
        if (back == value) {
            break;
        }
    }
    return last;
}

// The same text, from to_chars's shortest scientific form: its digits are the fewest that read
// back, and the nearest decimal of that many digits, so "%.*g" with that many prints them, in
// fixed form for exponents from -4 to below the digit count and as they are otherwise. That holds
// where the float's neighbours lie at equal distances on both sides; a power of two (other than
// the smallest normal) has its lower neighbour nearer, and there the digits are tried instead.
char* putFloat(char* out, float value) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    const uint32_t fraction = bits & 0x7FFFFFU;
    const uint32_t exponentBits = (bits >> 23) & 0xFFU;
    if (exponentBits == 0xFFU || (fraction == 0 && exponentBits > 1)) {
        return putFloatByTrial(out, value);  // infinity, NaN, or a power of two
    }
    char text[kFloatTextBytes];
    const char* end =
        std::to_chars(text, text + sizeof text, value, std::chars_format::scientific).ptr;
    const char* digits = text + (text[0] == '-');
    const char* const mark = std::find(digits, end, 'e');
    int exponent = 0;
    std::from_chars(mark + 1 + (mark[1] == '+'), end, exponent);
    char significant[kFloatDigits + 1];
    int count = 0;
    for (const char* c = digits; c != mark; ++c) {
        if (*c != '.') {
            significant[count++] = *c;
        }
    }
    if (exponent < -4 || exponent >= count) {
        return std::copy(static_cast<const char*>(text), end, out);
    }
    char* at = std::copy(static_cast<const char*>(text), digits, out);  // the sign
    if (exponent < 0) {
        *at++ = '0';
        *at++ = '.';
        at = std::fill_n(at, -exponent - 1, '0');
        return std::copy(significant, significant + count, at);
    }
    at = std::copy(significant, significant + exponent + 1, at);
    if (count > exponent + 1) {
        *at++ = '.';
        at = std::copy(significant + exponent + 1, significant + count, at);
    }
    return at;
}

// The texts of the floats a frame repeats: its coordinates come from a few thousand raw values
// and its distances from whole numbers. A direct-mapped table keyed by the float's bits, one per
// writing thread, so most of a frame's 216,000 numbers are a copy of 16 bytes instead of their
// conversion. Every slot starts as 0.0's text ("0"), so no slot is empty.
class FloatTexts {
  public:
    FloatTexts() {
        for (Slot& slot : slots_) {
            slot.text[0] = '0';
            slot.length = 1;
        }
    }
    // putFloat's text at out (which has room for kFloatTextBytes); returns the end.
    char* put(char* out, float value) {
        uint32_t bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        Slot& slot = slots_[(bits * kHashMultiplier) >> (32 - kSlotBits)];
        if (slot.bits != bits) {
            slot.bits = bits;
            slot.length = static_cast<uint8_t>(putFloat(slot.text, value) - slot.text);
        }
        std::memcpy(out, slot.text, kFloatTextBytes);
        return out + slot.length;
    }

  private:
    static constexpr int kSlotBits = 13;
    static constexpr uint32_t kHashMultiplier = 0x9E3779B1U;  // Fibonacci hashing
    struct Slot {
        uint32_t bits = 0;
        uint8_t length = 0;
        char text[kFloatTextBytes] = {};
    };
    Slot slots_[1U << kSlotBits];
};

template <typename Unsigned>
char* putUnsigned(char* out, Unsigned value) {
    return std::to_chars(out, out + kIntegerTextBytes, value).ptr;
}

}  // namespace

void writePly(const std::string& path, GridView grid) {
    ByteBuffer out;
    out.reserve(kCells * kPointBytes + 512);
    out.text(
        "ply\n"
        "format binary_little_endian 1.0\n"
        "comment tarn frame, " +
        std::to_string(KESO_ROWS) + " rows of " + std::to_string(KESO_COLUMNS) +
        " columns, row-major\n"
        "element vertex " +
        std::to_string(kCells) +
        "\n"
        "property float x\n"
        "property float y\n"
        "property float z\n"
        "property float intensity\n"
        "property float distance\n"
        "property uint16 row\n"
        "property uint16 column\n"
        "end_header\n");
    putPoints(out, grid);
    out.writeTo(path);
}

void writePcd(const std::string& path, GridView grid) {
    ByteBuffer out;
    out.reserve(kCells * kPointBytes + 512);
    out.text(
        "# .PCD v0.7 - Point Cloud Data file format\n"
        "VERSION 0.7\n"
        "FIELDS x y z intensity distance row column\n"
        "SIZE 4 4 4 4 4 2 2\n"
        "TYPE F F F F F U U\n"
        "COUNT 1 1 1 1 1 1 1\n"
        "WIDTH " +
        std::to_string(KESO_COLUMNS) +
        "\n"
        "HEIGHT " +
        std::to_string(KESO_ROWS) +
        "\n"
        "VIEWPOINT 0 0 0 1 0 0 0\n"
        "POINTS " +
        std::to_string(kCells) +
        "\n"
        "DATA binary\n");
    putPoints(out, grid);
    out.writeTo(path);
}

void writeCsv(const std::string& path, GridView grid) {
    static const std::string kHeader = "row,column,x,y,z,distance,intensity,timestamp,tag\n";
    // 200 KB a writing thread, kept for its next frames.
    thread_local const std::unique_ptr<FloatTexts> texts = std::make_unique<FloatTexts>();
    ByteBuffer out;
    char* const start =
        reinterpret_cast<char*>(out.extend(kHeader.size() + kCells * kCsvLineBytes));
    char* at = std::copy(kHeader.begin(), kHeader.end(), start);
    for (int row = 0; row < KESO_ROWS; ++row) {
        for (int column = 0; column < KESO_COLUMNS; ++column) {
            const KESOPointData& cell = grid[row][column];
            at = putUnsigned(at, cell.row);
            *at++ = ',';
            at = putUnsigned(at, cell.column);
            for (const float value : {cell.x, cell.y, cell.z, cell.distance}) {
                *at++ = ',';
                at = texts->put(at, value);
            }
            *at++ = ',';
            at = putUnsigned(at, cell.intensity);
            *at++ = ',';
            at = putUnsigned(at, cell.timestamp);
            *at++ = ',';
            at = putUnsigned(at, cell.tag);
            *at++ = '\n';
        }
    }
    out.truncate(static_cast<std::size_t>(at - start));
    out.writeTo(path);
}

}  // namespace tarn::writers
