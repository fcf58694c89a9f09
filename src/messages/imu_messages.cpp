#include "imu_messages.h"

#include <cmath>
#include <cstring>

namespace tarn::messages {
namespace {

constexpr std::size_t kSampleBytes = sizeof(tarn_imu_sample::sample);
constexpr std::size_t kCovarianceTerms = 9;

std::size_t sizeOfType(uint32_t type) {
    switch (type) {
        case TARN_IMU_INT16:
        case TARN_IMU_UINT16:
            return 2;
        case TARN_IMU_INT32:
        case TARN_IMU_UINT32:
        case TARN_IMU_FLOAT32:
            return 4;
        default:
            return 0;
    }
}

bool validValue(const tarn_imu_value& value) {
    const std::size_t size = sizeOfType(value.type);
    return size != 0 && value.offset <= kSampleBytes - size && std::isfinite(value.scale) &&
           value.scale != 0.0;
}

double readValue(const uint8_t* sample, const tarn_imu_value& value, bool bigEndian) {
    const std::size_t size = sizeOfType(value.type);
    uint32_t bits = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const std::size_t byte = bigEndian ? i : size - 1 - i;
        bits = (bits << 8) | sample[value.offset + byte];
    }
    double raw = 0.0;
    switch (value.type) {
        case TARN_IMU_INT16:
            raw = static_cast<int16_t>(bits);
            break;
        case TARN_IMU_UINT16:
        case TARN_IMU_UINT32:
            raw = bits;
            break;
        case TARN_IMU_INT32:
            raw = static_cast<int32_t>(bits);
            break;
        default: {
            float f;
            std::memcpy(&f, &bits, sizeof f);
            raw = f;
        }
    }
    return raw * value.scale;
}

void writeCovariance(CdrWriter& w, double first) {
    w.f64(first);
    for (std::size_t i = 1; i < kCovarianceTerms; ++i) {
        w.f64(0.0);
    }
}

void writeVector(CdrWriter& w, const uint8_t* sample, const tarn_imu_value (&values)[3],
                 bool bigEndian) {
    for (const tarn_imu_value& value : values) {
        w.f64(readValue(sample, value, bigEndian));
    }
}

}  // namespace

bool validImuLayout(const tarn_imu_layout& layout) {
    for (int i = 0; i < 3; ++i) {
        if (!validValue(layout.angular_velocity[i]) || !validValue(layout.linear_acceleration[i])) {
            return false;
        }
    }
    return true;
}

void writeImuRaw(CdrWriter& w, const Header& header, const tarn_imu_sample& sample) {
    uint64_t timestamp;
    std::memcpy(&timestamp, &sample.timestamp, sizeof timestamp);  // the record is byte-packed
    writeHeader(w, header);
    w.u8(sample.sample_flag);
    w.u64(timestamp);
    w.raw(sample.sample, sizeof sample.sample);
}

void writeImu(CdrWriter& w, const Header& header, const tarn_imu_sample& sample,
              const tarn_imu_layout& layout) {
    const bool bigEndian = layout.big_endian != 0;
    writeHeader(w, header);
    // No orientation: the identity quaternion, and -1 in its covariance's first term says so.
    w.f64(0.0);
    w.f64(0.0);
    w.f64(0.0);
    w.f64(1.0);
    writeCovariance(w, -1.0);
    writeVector(w, sample.sample, layout.angular_velocity, bigEndian);
    writeCovariance(w, 0.0);
    writeVector(w, sample.sample, layout.linear_acceleration, bigEndian);
    writeCovariance(w, 0.0);
}

}  // namespace tarn::messages
