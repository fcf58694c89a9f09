#include "angle/line_fit.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kDegreesPerHalfTurn = 180.0;

std::size_t randomIndexBelow(std::size_t count) {
    return static_cast<std::size_t>(std::rand()) % count;
}

// The inlier test measures from whole-number coordinates: y and x truncated toward zero, as
// std::trunc does. A float of magnitude 2^23 or more is a whole number already, and a NaN stays
// itself; below that the round trip through int32 truncates, and the sign is put back for the
// zeros of small negative values. Written without a branch, so that the loop runs several
// values at a time.
float truncated(float value) {
    constexpr float kWholeFrom = 8388608.0f;  // 2^23
    const bool small = std::fabs(value) < kWholeFrom;
    // Only a value that fits is converted: the conversion of any other is undefined.
    const float whole = static_cast<float>(static_cast<int32_t>(small ? value : 0.0f));
    return small ? std::copysign(whole, value) : value;
}

// The samples of one fit with their coordinates truncated, kept for the thread's next fit.
struct TruncatedSamples {
    std::vector<float> ys;
    std::vector<float> xs;
};

const TruncatedSamples& truncatedSamples(const float* ys, const float* xs, std::size_t count) {
    thread_local TruncatedSamples samples;
    samples.ys.resize(count);
    samples.xs.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        samples.ys[i] = truncated(ys[i]);
        samples.xs[i] = truncated(xs[i]);
    }
    return samples;
}

bool isInlierError(float error, double norm, float limit) {
    return static_cast<float>(static_cast<double>(error) / norm) < limit;
}

// A sample is an inlier when its error, divided by norm in double and rounded to float, is below
// limit. Both steps keep the order of their arguments, so this holds exactly for the errors below
// one threshold: the least non-negative float error that is no inlier, found by bisecting the
// float bit patterns from 0 to infinity (infinity divided by any norm is infinite or NaN, never
// an inlier; a NaN error is none either way). The per-sample test is then one comparison, the same
// for every sample, which the compiler runs several samples at a time.
float inlierErrorBound(double norm, float limit) {
    constexpr uint32_t kInfinityBits = 0x7F800000;
    const auto floatOfBits = [](uint32_t bits) {
        float value = 0.0f;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    };
    uint32_t low = 0;               // every pattern below low is an inlier error
    uint32_t high = kInfinityBits;  // high is none
    while (low < high) {
        const uint32_t middle = low + (high - low) / 2;
        if (isInlierError(floatOfBits(middle), norm, limit)) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return floatOfBits(low);
}

int64_t countInliers(const TruncatedSamples& samples, float slope, float offset, float limit) {
    const double norm = std::sqrt(static_cast<double>(slope * slope + 1.0f));
    const float bound = inlierErrorBound(norm, limit);
    const float* ys = samples.ys.data();
    const float* xs = samples.xs.data();
    const std::size_t count = samples.ys.size();
    // Counted in 32-bit blocks, which keep four counts to a register.
    constexpr std::size_t kBlock = 1u << 30;
    int64_t inliers = 0;
    for (std::size_t start = 0; start < count; start += kBlock) {
        const std::size_t end = count - start < kBlock ? count : start + kBlock;
        int32_t inBlock = 0;
        for (std::size_t i = start; i < end; ++i) {
            const float error = std::fabs(ys[i] * slope - xs[i] + offset);
            inBlock += error < bound ? 1 : 0;
        }
        inliers += inBlock;
    }
    return inliers;
}

float degreesOfSlope(float slope) {
    return static_cast<float>(static_cast<double>(-std::atan(slope)) * kDegreesPerHalfTurn / kPi);
}

}  // namespace

RansacSettings tarn::angle::ransacSettingsOf(const AngleMeasure& measure) {
    return RansacSettings{measure.ransacIterations, measure.ransacDistance,
                          measure.ransacMinInliers};
}

float tarn::angle::correlationQuality(const float* ys, const float* xs, std::size_t count) {
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

AngleFit tarn::angle::fitLine(const float* ys, const float* xs, std::size_t count,
                 const RansacSettings& settings) {
    // Every fit replays the sequence of the current second: fits within one second draw alike.
    std::srand(static_cast<unsigned int>(std::time(nullptr)));
    if (settings.iterations <= 0 || count <= 1) {
        return kFailedFit;
    }
    const float limit = static_cast<float>(settings.inlierDistance);
    const TruncatedSamples& samples = truncatedSamples(ys, xs, count);
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
        const int64_t inliers = countInliers(samples, slope, offset, limit);
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
