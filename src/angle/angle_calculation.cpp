#include <algorithm>
#include <cmath>

#include "angle/angle_measure.h"
#include "angle/line_fit.h"
#include "angle/window_cut.h"

namespace {

// A fit from the second window is taken as a face at right angles to the plane.
constexpr float kRightAngle = 90.0f;
constexpr std::size_t kPlaneWindow = 0;
constexpr std::size_t kFaceWindow = 1;

// A face's angle folded back by a right angle towards the sign of the reference, or the other
// way when that would leave -90 to 90 (a face near 90 degrees seen from a level reference).
float foldedFace(float angle, float refAngle) {
    const float towardsReference = refAngle < 0.0f ? angle - kRightAngle : angle + kRightAngle;
    if (std::fabs(towardsReference) <= kRightAngle) {
        return towardsReference;
    }
    return refAngle < 0.0f ? angle + kRightAngle : angle - kRightAngle;
}

// A failed fit is no angle at all: it is never accepted, whatever the reference and tolerance.
void acceptFit(const AngleFit& fit, std::size_t position, float refAngle, float tolerance,
               std::vector<AngleFit>& accepted) {
    if (fit.first == kNoAngle) {
        return;
    }
    const float deviation = std::fabs(fit.first - refAngle);
    if (position == kPlaneWindow) {
        if (tolerance > deviation) {
            accepted.push_back(fit);
        }
    } else if (position == kFaceWindow) {
        if (tolerance > std::fabs(deviation - kRightAngle)) {
            accepted.emplace_back(foldedFace(fit.first, refAngle), fit.second);
        }
    }
}

// (mean angle, median quality) of the accepted fits, or kFailedFit when there are none.
AngleFit aggregate(std::vector<AngleFit> accepted) {
    if (accepted.empty()) {
        return kFailedFit;
    }
    // NaN qualities go first and stay out of the sort: the comparator is a strict weak ordering
    // on numbers only.
    const auto numbers =
        std::stable_partition(accepted.begin(), accepted.end(),
                              [](const AngleFit& fit) { return std::isnan(fit.second); });
    std::sort(numbers, accepted.end(), AngleMeasure::compareByOrderSecond);
    float sum = 0.0f;
    for (const AngleFit& fit : accepted) {
        sum += fit.first;
    }
    const float mean = sum / static_cast<float>(accepted.size());
    return AngleFit{mean, accepted[accepted.size() / 2].second};
}

}  // namespace

bool AngleMeasure::compareByOrderSecond(std::pair<float, float> a, std::pair<float, float> b) {
    return a.second < b.second;
}

std::pair<float, float> AngleMeasure::processAngleCal(
    std::map<int, XZPoint> map, std::vector<std::pair<float, float>> searchWindows,
    float refAngle) {
    return angleInWindows(map, searchWindows, refAngle);
}

std::pair<float, float> AngleMeasure::angleInWindows(
    const std::map<int, XZPoint>& map, const std::vector<std::pair<float, float>>& searchWindows,
    float refAngle) const {
    const RansacSettings settings = ransacSettingsOf(*this);
    std::vector<AngleFit> accepted;
    for (const auto& [key, bin] : map) {
        for (std::size_t position = 0; position < searchWindows.size(); ++position) {
            const WindowSpan span = cutWindow(bin, searchWindows[position]);
            if (span.count < 0 || span.count < param.minFitPoints) {
                continue;
            }
            const AngleFit fit =
                fitLine(bin.yValues.data() + span.begin, bin.xValues.data() + span.begin,
                        static_cast<std::size_t>(span.count), settings);
            acceptFit(fit, position, refAngle, param.angleTolerance, accepted);
        }
    }
    return aggregate(std::move(accepted));
}
