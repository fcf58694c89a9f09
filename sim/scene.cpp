#include "sim/scene.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tarn::sim {
namespace {

constexpr double kPi = 3.141592653589793;

// A small, fast hash so every (frame, cell) gets its own reproducible noise.
uint64_t mix(uint64_t value) {
    value ^= value >> 33;
    value *= 0xff51afd7ed558ccdULL;
    value ^= value >> 33;
    value *= 0xc4ceb9fe1a85ec53ULL;
    value ^= value >> 33;
    return value;
}

// Two uniform draws turned into one standard normal draw (Box-Muller).
double gaussian(uint64_t key) {
    const uint64_t a = mix(key);
    const uint64_t b = mix(a ^ 0x9e3779b97f4a7c15ULL);
    const double u1 = (static_cast<double>(a >> 11) + 1.0) / 9007199254740993.0;
    const double u2 = static_cast<double>(b >> 11) / 9007199254740992.0;
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * kPi * u2);
}

int16_t toRaw(double value) {
    const double raw = std::round(value * kRawPerUnit);
    const double lo = std::numeric_limits<int16_t>::min();
    const double hi = std::numeric_limits<int16_t>::max();
    return static_cast<int16_t>(std::clamp(raw, lo, hi));
}

}  // namespace

Scene::Scene(const SceneConfig& config)
    : config_(config), slope_(-static_cast<float>(std::tan(config.tiltDegrees * kPi / 180.0))) {}

RawPoint Scene::point(int row, int column, uint64_t frameIndex) const {
    const double y = (column - (kColumns - 1) / 2.0) * config_.columnPitch;
    const double z = ((kRows - 1) / 2.0 - row) * config_.rowPitch;
    const uint64_t key = (static_cast<uint64_t>(config_.seed) << 48) ^ (frameIndex << 20) ^
                         static_cast<uint64_t>(row * kColumns + column);
    const double noise = gaussian(key) * config_.noiseRaw / kRawPerUnit;
    const double x = config_.wallDistance + slope_ * y + noise;

    RawPoint p{};
    p.x = toRaw(x);
    p.y = toRaw(y);
    p.z = toRaw(z);
    const double range = std::sqrt(x * x + y * y + z * z);
    p.distance = static_cast<uint16_t>(std::clamp(std::round(range), 0.0, 65535.0));
    p.intensity = static_cast<uint8_t>(mix(key) & 0xff);
    return p;
}

float Scene::decode(int16_t raw) {
    return static_cast<float>(raw) / 10.0f * 2.0f;
}

}  // namespace tarn::sim
