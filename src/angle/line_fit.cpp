#include "angle/line_fit.h"

#include <cmath>
#include <cstdlib>
#include <ctime>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kDegreesPerHalfTurn = 180.0;

std::size_t randomIndexBelow(std::size_t count) {
    return static_cast<std::size_t>(std::rand()) % count;
}

// The inlier test measures from whole-number coordinates: y and x truncated toward zero.
// std::trunc equals the round trip through int32 for every value that fits, and stays defined
// for those that do not (they are whole numbers already, or NaN, which is never an inlier).
float truncated(float value) {
    return std::trunc(value);
}

int64_t countInliers(const float* ys, const float* xs, std::size_t count, float slope, float offset,
                     float limit) {
    const double norm = std::sqrt(static_cast<double>(slope * slope + 1.0f));
    int64_t inliers = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const float error = std::fabs(truncated(ys[i]) * slope - truncated(xs[i]) + offset);
        const float distance = static_cast<float>(static_cast<double>(error) / norm);
        if (distance < limit) {
            ++inliers;
        }
    }
    return inliers;
}

float degreesOfSlope(float slope) {
    return static_cast<float>(static_cast<double>(-std::atan(slope)) * kDegreesPerHalfTurn / kPi);
}

}  // namespace

RansacSettings ransacSettingsOf(const AngleMeasure& measure) {
    return RansacSettings{measure.ransacIterations, measure.ransacDistance,
                          measure.ransacMinInliers};
}

float correlationQuality(const float* ys, const float* xs, std::size_t count) {
    const float n = static_cast<float>(count);
    float sumX = 0.0f;
    float sumY = 0.0f;
    for (std::size_t i = 0; i < count; ++i) {
        sumX += xs[i];
        sumY += ys[i];
    }
    const float meanX = sumX / n;
    const float meanY = sumY / n;
    float sxy = 0.0f;
    float syy = 0.0f;
    float sxx = 0.0f;
    for (std::size_t i = 0; i < count; ++i) {
        const float dx = xs[i] - meanX;
        const float dy = ys[i] - meanY;
        sxy += dx * dy;
        syy += dy * dy;
        sxx += dx * dx;
    }
    return std::fabs(sxy / (std::sqrt(syy) * std::sqrt(sxx)));
}

AngleFit fitLine(const float* ys, const float* xs, std::size_t count,
                 const RansacSettings& settings) {
    // Every fit replays the sequence of the current second: fits within one second draw alike.
    std::srand(static_cast<unsigned int>(std::time(nullptr)));
    if (settings.iterations <= 0 || count <= 1) {
        return kFailedFit;
    }
    const float limit = static_cast<float>(settings.inlierDistance);
    int64_t bestInliers = 0;
    float bestSlope = 0.0f;
    for (int32_t trial = 0; trial < settings.iterations; ++trial) {
        const std::size_t a = randomIndexBelow(count);
        std::size_t b = randomIndexBelow(count);
        while (b == a) {
            b = randomIndexBelow(count);
        }
        const float slope = (xs[b] - xs[a]) / (ys[b] - ys[a]);
        const float offset = xs[a] - ys[a] * slope;
        const int64_t inliers = countInliers(ys, xs, count, slope, offset, limit);
        // Ties keep the earlier trial.
        if (inliers > bestInliers && inliers >= settings.minInliers) {
            bestInliers = inliers;
            bestSlope = slope;
        }
    }
    if (bestInliers == 0) {
        return kFailedFit;
    }
    return AngleFit{degreesOfSlope(bestSlope), correlationQuality(ys, xs, count)};
}
