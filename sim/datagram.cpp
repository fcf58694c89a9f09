#include "sim/datagram.h"

#include <cstring>
#include <stdexcept>

namespace tarn::sim {
namespace {

void putU16(Datagram& out, std::size_t offset, uint16_t value) {
    out[offset] = static_cast<uint8_t>(value & 0xff);
    out[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void putU64(Datagram& out, std::size_t offset, uint64_t value) {
    for (std::size_t i = 0; i < 8; ++i) {
        out[offset + i] = static_cast<uint8_t>((value >> (8 * i)) & 0xff);
    }
}

void appendU16(Datagram& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value & 0xff));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void appendI16(Datagram& out, int16_t value) {
    appendU16(out, static_cast<uint16_t>(value));
}

void appendPixel(Datagram& out, const RawPoint& point, uint8_t pixelLayout) {
    constexpr uint8_t kSpare = 0;
    if (pixelLayout != kPixelType8Bytes) {
        appendU16(out, point.distance);
    }
    if (pixelLayout != kPixelType4Bytes) {
        appendI16(out, point.x);
        appendI16(out, point.y);
        appendI16(out, point.z);
    }
    out.push_back(point.intensity);
    out.push_back(kSpare);
}

// Floats travel as their IEEE bit pattern, little-endian.
void putFloat(uint8_t* out, float value) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    for (std::size_t i = 0; i < 4; ++i) {
        out[i] = static_cast<uint8_t>((bits >> (8 * i)) & 0xff);
    }
}

float getFloat(const uint8_t* in) {
    uint32_t bits = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        bits |= static_cast<uint32_t>(in[i]) << (8 * i);
    }
    float value = 0.0f;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

}  // namespace

std::size_t pixelBytes(uint8_t pixelType) {
    switch (pixelType) {
        case kPixelType4Bytes:
            return 4;
        case kPixelType8Bytes:
            return 8;
        case kPixelType10Bytes:
            return 10;
        default:
            return 0;
    }
}

Datagram encodePointDatagram(const PointHeader& header, const std::vector<RawPoint>& points,
                             uint8_t pixelLayout) {
    const std::size_t size = pixelBytes(pixelLayout);
    if (size == 0) {
        throw std::invalid_argument("unknown pixel layout");
    }
    Datagram out(kPointHeaderBytes, 0);
    out.reserve(kPointHeaderBytes + points.size() * size);
    putU16(out, kOffsetMagic, header.magic);
    out[kOffsetDataType] = header.dataType;
    out[kOffsetVersionMinor] = header.versionMinor;
    out[kOffsetTag] = header.tag;
    putU16(out, kOffsetFirstColumn, header.firstColumn);
    putU16(out, kOffsetFirstRow, header.firstRow);
    out[kOffsetPixelType] = header.pixelType;
    out[kOffsetFrameFlag] = header.frameFlag;
    putU64(out, kOffsetTimestamp, header.timestamp);
    for (const RawPoint& point : points) {
        appendPixel(out, point, pixelLayout);
    }
    return out;
}

Datagram encodePointDatagram(const PointHeader& header, const std::vector<RawPoint>& points) {
    return encodePointDatagram(header, points, header.pixelType);
}

std::array<uint8_t, kImuSampleBytes> packImuSample(const ImuSample& sample) {
    std::array<uint8_t, kImuSampleBytes> bytes{};
    for (std::size_t i = 0; i < 3; ++i) {
        putFloat(&bytes[4 * i], sample.accel[i]);
        putFloat(&bytes[12 + 4 * i], sample.gyro[i]);
    }
    return bytes;
}

ImuSample unpackImuSample(const uint8_t* bytes) {
    ImuSample sample;
    for (std::size_t i = 0; i < 3; ++i) {
        sample.accel[i] = getFloat(bytes + 4 * i);
        sample.gyro[i] = getFloat(bytes + 12 + 4 * i);
    }
    return sample;
}

Datagram encodeImuDatagram(const ImuFields& fields) {
    Datagram out(kImuDatagramBytes, 0);
    putU16(out, kOffsetMagic, fields.magic);
    out[kOffsetDataType] = fields.dataType;
    out[kOffsetImuSampleFlag] = fields.sampleFlag;
    putU64(out, kOffsetImuTimestamp, fields.timestamp);
    std::memcpy(&out[kOffsetImuSample], fields.sample.data(), kImuSampleBytes);
    return out;
}

}  // namespace tarn::sim
