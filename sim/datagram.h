// The measurement datagrams the simulated sensor sends: point datagrams (a 45-byte little-endian
// header followed by pixels) and IMU datagrams (one 40-byte inertial record at offset 6).
//
// Point datagram header:
//   0  u16 magic 0xA55A (bytes 5A A5)    3  u8 dataType (1 point, 4 IMU)   6  u8 version_minor
//   11 u8 tag    12 u16 firstColumn      14 u16 firstRow                   18 u8 pixelType
//   20 u8 frameFlag (0 first, 1 middle, 2 last)                            37 u64 timestamp
//   45 pixels; every other header byte is sent as zero.
// Pixel layouts (little-endian):
//   pixelType 0, 4 bytes:  u16 distance, u8 intensity, 1 spare
//   pixelType 1, 8 bytes:  i16 x, i16 y, i16 z, u8 intensity, 1 spare
//   pixelType 2, 10 bytes: u16 distance, i16 x, i16 y, i16 z, u8 intensity, 1 spare
// IMU datagram (46 bytes): magic and dataType as above, then the record from offset 6:
//   6 two zero bytes, 8 u8 sampleFlag, 9 three zero bytes, 12 u64 timestamp (nanoseconds; the
//   library delivers it divided by 1,000,000), 20 the 26 sample bytes (see ImuSample).
#ifndef TARN_SIM_DATAGRAM_H
#define TARN_SIM_DATAGRAM_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/scene.h"

namespace tarn::sim {

using Datagram = std::vector<uint8_t>;

constexpr std::size_t kMaxDatagramBytes = 1472;
constexpr std::size_t kPointHeaderBytes = 45;
constexpr std::size_t kImuDatagramBytes = 46;
constexpr std::size_t kImuSampleBytes = 26;

constexpr uint16_t kMagic = 0xA55A;
constexpr uint8_t kDataTypePoint = 1;
constexpr uint8_t kDataTypeImu = 4;

constexpr uint8_t kPixelType4Bytes = 0;
constexpr uint8_t kPixelType8Bytes = 1;
constexpr uint8_t kPixelType10Bytes = 2;

constexpr uint8_t kFrameFlagFirst = 0;
constexpr uint8_t kFrameFlagMiddle = 1;
constexpr uint8_t kFrameFlagLast = 2;

// Byte offsets of the header fields, for tests and for corrupting single fields on purpose.
constexpr std::size_t kOffsetMagic = 0;
constexpr std::size_t kOffsetDataType = 3;
constexpr std::size_t kOffsetVersionMinor = 6;
constexpr std::size_t kOffsetTag = 11;
constexpr std::size_t kOffsetFirstColumn = 12;
constexpr std::size_t kOffsetFirstRow = 14;
constexpr std::size_t kOffsetPixelType = 18;
constexpr std::size_t kOffsetFrameFlag = 20;
constexpr std::size_t kOffsetTimestamp = 37;
constexpr std::size_t kOffsetImuSampleFlag = 8;
constexpr std::size_t kOffsetImuTimestamp = 12;
constexpr std::size_t kOffsetImuSample = 20;

// Every field of a point datagram header. The defaults form a valid first datagram; any field
// may be set to a value the library rejects.
struct PointHeader {
    uint16_t magic = kMagic;
    uint8_t dataType = kDataTypePoint;
    uint8_t versionMinor = 0;
    uint8_t tag = 0;
    uint16_t firstColumn = 0;
    uint16_t firstRow = 0;
    uint8_t pixelType = kPixelType10Bytes;
    uint8_t frameFlag = kFrameFlagFirst;
    uint64_t timestamp = 0;
};

// Bytes per pixel of a pixel type (4, 8 or 10), or 0 for an unknown type.
std::size_t pixelBytes(uint8_t pixelType);

// The datagram for header and points, each point encoded in the layout of pixelLayout. The header
// carries header.pixelType whatever the layout, so a datagram can lie about its pixels on purpose.
// Throws std::invalid_argument for an unknown layout.
Datagram encodePointDatagram(const PointHeader& header, const std::vector<RawPoint>& points,
                             uint8_t pixelLayout);

// As above, with the layout named by header.pixelType.
Datagram encodePointDatagram(const PointHeader& header, const std::vector<RawPoint>& points);

// The simulated sensor's inertial sample, carried in the record's 26 sample bytes as six
// little-endian IEEE floats (accelerometer x, y, z in m/s^2, then gyroscope x, y, z in deg/s)
// followed by two zero bytes.
struct ImuSample {
    std::array<float, 3> accel{};
    std::array<float, 3> gyro{};
};

std::array<uint8_t, kImuSampleBytes> packImuSample(const ImuSample& sample);
// Reads a sample back from 26 sample bytes (for example KESOImuData::sample).
ImuSample unpackImuSample(const uint8_t* bytes);

// Every field of an IMU datagram the library reads, plus the sample bytes.
struct ImuFields {
    uint16_t magic = kMagic;
    uint8_t dataType = kDataTypeImu;
    uint8_t sampleFlag = 1;
    uint64_t timestamp = 0;
    std::array<uint8_t, kImuSampleBytes> sample{};
};

Datagram encodeImuDatagram(const ImuFields& fields);

}  // namespace tarn::sim

#endif  // TARN_SIM_DATAGRAM_H
