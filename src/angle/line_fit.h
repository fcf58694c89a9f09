// The random two-point line fit of (y, x) samples.
#ifndef TARN_ANGLE_LINE_FIT_H
#define TARN_ANGLE_LINE_FIT_H

#include <cstddef>
#include <cstdint>
#include <utility>

#include "angle/angle_measure.h"

// (angle in degrees, quality), or kFailedFit.
using AngleFit = std::pair<float, float>;
constexpr AngleFit kFailedFit{kNoAngle, kNoAngle};

struct RansacSettings {
    int32_t iterations;      // random two-point trials
    int32_t inlierDistance;  // a sample is an inlier when its distance is below this
    int32_t minInliers;      // least inlier count of a trial that counts
};

namespace tarn::angle {
RansacSettings ransacSettingsOf(const AngleMeasure& measure);
}  // namespace tarn::angle
using tarn::angle::ransacSettingsOf;

// Fits x = k * y + c to the count samples (ys[i], xs[i]) by random two-point trials and returns
// (-atan(k) in degrees, |correlation of y and x|) for the trial with the most inliers. Re-seeds
// rand() from the clock first. Fewer than two samples, no trials or no trial with an inlier
// give kFailedFit.
namespace tarn::angle {
AngleFit fitLine(const float* ys, const float* xs, std::size_t count,
                 const RansacSettings& settings);
}  // namespace tarn::angle
using tarn::angle::fitLine;

// The absolute Pearson correlation of the samples, in single precision.
namespace tarn::angle {
float correlationQuality(const float* ys, const float* xs, std::size_t count);
}  // namespace tarn::angle
using tarn::angle::correlationQuality;

#endif  // TARN_ANGLE_LINE_FIT_H
