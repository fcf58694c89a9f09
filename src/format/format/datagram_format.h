// The measurement datagram: field offsets, accepted values and little-endian reads, shared by the
// library, the recordings and the tool. The byte table is docs/datagram.md.
#ifndef TARN_FORMAT_DATAGRAM_FORMAT_H
#define TARN_FORMAT_DATAGRAM_FORMAT_H

#include <cstddef>
#include <cstdint>

namespace tarn::format {

// Shared by point and IMU datagrams.
constexpr std::size_t kMagicOffset = 0;
constexpr uint16_t kMagic = 0xA55A;
constexpr std::size_t kDataTypeOffset = 3;
constexpr std::size_t kCommonHeaderBytes = 4;
constexpr uint8_t kPointDataType = 1;
constexpr uint8_t kImuDataType = 4;

// Point datagram header.
constexpr std::size_t kVersionMinorOffset = 6;
constexpr std::size_t kTagOffset = 11;
constexpr std::size_t kFirstColumnOffset = 12;
constexpr std::size_t kFirstRowOffset = 14;
constexpr std::size_t kPixelTypeOffset = 18;
constexpr std::size_t kFrameFlagOffset = 20;
constexpr std::size_t kTimestampOffset = 37;
constexpr std::size_t kPointHeaderBytes = 45;
constexpr uint8_t kSupportedVersionMinor = 0;

constexpr uint8_t kFirstDatagram = 0;
constexpr uint8_t kMiddleDatagram = 1;
constexpr uint8_t kLastDatagram = 2;

// Pixel types and their sizes in bytes.
constexpr uint8_t kDistancePixelType = 0;
constexpr uint8_t kXyzPixelType = 1;
constexpr uint8_t kDistanceXyzPixelType = 2;
constexpr int kDistancePixelBytes = 4;
constexpr int kXyzPixelBytes = 8;
constexpr int kDistanceXyzPixelBytes = 10;
constexpr int kSmallestPixelBytes = kDistancePixelBytes;

// Offsets inside a pixel, by pixel size.
constexpr std::size_t kDistancePixelDistance = 0;
constexpr std::size_t kDistancePixelIntensity = 2;
constexpr std::size_t kXyzPixelX = 0;
constexpr std::size_t kXyzPixelY = 2;
constexpr std::size_t kXyzPixelZ = 4;
constexpr std::size_t kXyzPixelIntensity = 6;
constexpr std::size_t kDistanceXyzPixelDistance = 0;
constexpr std::size_t kDistanceXyzPixelX = 2;
constexpr std::size_t kDistanceXyzPixelY = 4;
constexpr std::size_t kDistanceXyzPixelZ = 6;
constexpr std::size_t kDistanceXyzPixelIntensity = 8;

// A datagram's points fill a strip this many columns wide, row after row.
constexpr int kStripColumns = 4;

// IMU datagram: a 40-byte KESOImuData record starting at kImuRecordOffset.
constexpr std::size_t kImuRecordOffset = 6;
constexpr std::size_t kImuDatagramBytes = 46;
constexpr std::size_t kImuSampleFlagOffset = 8;
constexpr std::size_t kImuTimestampOffset = 12;
constexpr uint8_t kImuSampleValid = 1;
constexpr uint64_t kImuTimestampDivisor = 1000000;

inline uint16_t readU16Le(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

inline int16_t readI16Le(const uint8_t* bytes) {
    return static_cast<int16_t>(readU16Le(bytes));
}

inline uint64_t readU64Le(const uint8_t* bytes) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

// Size in bytes of the pixels of a pixel type, or 0 for a type the library does not know.
inline int pixelBytesOfType(uint8_t pixelType) {
    switch (pixelType) {
        case kDistancePixelType:
            return kDistancePixelBytes;
        case kXyzPixelType:
            return kXyzPixelBytes;
        case kDistanceXyzPixelType:
            return kDistanceXyzPixelBytes;
        default:
            return 0;
    }
}

// The header fields of a point datagram that the library reads.
struct PointHeader {
    uint8_t versionMinor;
    uint8_t tag;
    uint16_t firstColumn;
    uint16_t firstRow;
    uint8_t pixelType;
    uint8_t frameFlag;
    uint64_t timestamp;
};

// Reads the header of a point datagram of at least kPointHeaderBytes bytes.
inline PointHeader readPointHeader(const uint8_t* datagram) {
    PointHeader header{};
    header.versionMinor = datagram[kVersionMinorOffset];
    header.tag = datagram[kTagOffset];
    header.firstColumn = readU16Le(datagram + kFirstColumnOffset);
    header.firstRow = readU16Le(datagram + kFirstRowOffset);
    header.pixelType = datagram[kPixelTypeOffset];
    header.frameFlag = datagram[kFrameFlagOffset];
    header.timestamp = readU64Le(datagram + kTimestampOffset);
    return header;
}

// Number of whole pixels in a point datagram of the given length; 0 for a datagram shorter than
// its header.
inline std::size_t pixelCount(std::size_t datagramLength, int pixelBytes) {
    if (datagramLength < kPointHeaderBytes || pixelBytes <= 0) {
        return 0;
    }
    return (datagramLength - kPointHeaderBytes) / static_cast<std::size_t>(pixelBytes);
}

}  // namespace tarn::format

namespace tarn::stream {
using namespace tarn::format;  // the data path reads the format unqualified
}  // namespace tarn::stream

#endif  // TARN_FORMAT_DATAGRAM_FORMAT_H
