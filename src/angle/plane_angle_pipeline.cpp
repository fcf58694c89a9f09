#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>

#include "angle/angle_measure.h"
#include "angle/line_fit.h"

namespace {

using BinMap = std::map<int, XZPoint>;
using Window = std::pair<float, float>;
using PlaneAngle = std::pair<float, int>;

// Slices with fewer points than this are dropped before any fit.
constexpr std::size_t kLeastBinPoints = 2;
// Degrees between adding the edge window (above extendAngle) and removing it.
constexpr float kEdgeWindowHysteresis = 10.0f;
// A current angle at least this steep is no plane angle: the next call starts afresh.
constexpr float kRightAngle = 90.0f;

PlaneAngle failed(int status) {
    return PlaneAngle{std::numeric_limits<float>::quiet_NaN(), status};
}

void removeSparseBins(BinMap& bins) {
    for (auto it = bins.begin(); it != bins.end();) {
        it = it->second.pointCount < kLeastBinPoints ? bins.erase(it) : std::next(it);
    }
}

// Every slice is non-empty and ascending in y, so its ends are its extremes.
float smallestY(const BinMap& bins) {
    float smallest = bins.begin()->second.yValues.front();
    for (const auto& [key, bin] : bins) {
        if (bin.yValues.front() < smallest) {
            smallest = bin.yValues.front();
        }
    }
    return smallest;
}

float largestY(const BinMap& bins) {
    float largest = bins.begin()->second.yValues.back();
    for (const auto& [key, bin] : bins) {
        if (bin.yValues.back() > largest) {
            largest = bin.yValues.back();
        }
    }
    return largest;
}

std::vector<Window> shifted(const std::vector<Window>& windows, float by) {
    std::vector<Window> moved;
    moved.reserve(windows.size());
    for (const Window& window : windows) {
        moved.emplace_back(window.first + by, window.second + by);
    }
    return moved;
}

bool enoughPointsToFit(const XZPoint& bin, int32_t minFitPoints) {
    // Compared as unsigned 64-bit values: a negative minimum admits no slice at all.
    return bin.pointCount >= static_cast<uint64_t>(static_cast<int64_t>(minFitPoints));
}

// Fits every slice over its whole extent and starts tracking from the median angle of the fits
// that found a line. False when no slice gave a line; the object is then left as it was, with
// the initial search still pending, so a failed fit never passes for a measurement.
bool runInitialSearch(AngleMeasure& measure, const BinMap& bins) {
    const RansacSettings settings = ransacSettingsOf(measure);
    std::vector<float> angles;
    for (const auto& [key, bin] : bins) {
        if (enoughPointsToFit(bin, measure.param.minFitPoints)) {
            const float angle =
                fitLine(bin.yValues.data(), bin.xValues.data(), bin.pointCount, settings).first;
            if (angle != kNoAngle) {
                angles.push_back(angle);
            }
        }
    }
    if (angles.empty()) {
        measure.needInit = true;
        return false;
    }
    measure.needInit = false;
    measure.windows.assign(1, Window{smallestY(bins), largestY(bins)});
    // A line's angle is finite, so the ordinary less-than is a valid order.
    std::sort(angles.begin(), angles.end());
    const float median = angles[angles.size() / 2];
    measure.currentAngle = median;
    measure.meanAngle = median;
    return true;
}

bool isAngle(float angle) {
    return angle != kNoAngle;
}

// Measures in the current windows and in the windows moved down and up by windowStep, and
// keeps the best. When all three fail the previous mean stands in for the current angle and the
// next call runs the initial search.
void runTrackingStep(AngleMeasure& measure, const BinMap& bins) {
    const float reference = measure.angleHistory.back();
    const float step = static_cast<float>(measure.param.windowStep);
    const auto [baseAngle, baseQuality] = measure.angleInWindows(bins, measure.windows, reference);
    measure.currentAngle = baseAngle;

    const std::vector<Window> down = shifted(measure.windows, -step);
    const auto [downAngle, downQuality] = measure.angleInWindows(bins, down, reference);
    if (isAngle(downAngle) && (downQuality > baseQuality || !isAngle(baseAngle))) {
        measure.windows = down;
        measure.currentAngle = downAngle;
        return;
    }
    const std::vector<Window> up = shifted(measure.windows, step);
    const auto [upAngle, upQuality] = measure.angleInWindows(bins, up, reference);
    if (isAngle(upAngle) && (upQuality > baseQuality || !isAngle(baseAngle))) {
        measure.windows = up;
        measure.currentAngle = upAngle;
    } else if (!isAngle(upAngle) && !isAngle(baseAngle)) {
        measure.currentAngle = measure.meanAngle;
        // The plane left the windows or turned further than angleTolerance: tracking cannot
        // find it again by itself, so the next call searches afresh.
        measure.needInit = true;
    }
}

// While the plane is steeper than extendAngle, keeps a second window of windowWidth at the
// edge of the data the plane falls towards; drops it again below extendAngle - 10.
void updateEdgeWindow(AngleMeasure& measure, const BinMap& bins) {
    const float angle = measure.currentAngle;
    const float extend = measure.param.extendAngle;
    const float width = static_cast<float>(measure.param.windowWidth);
    std::vector<Window>& windows = measure.windows;
    if (windows.size() == 1 && std::fabs(angle) > extend) {
        const Window first = windows.front();
        if (angle > 0.0f) {
            const float edge = largestY(bins);
            if (edge - width > first.second) {
                windows.emplace_back(edge - width, edge);
            }
        } else {
            const float edge = smallestY(bins);
            if (first.first > edge + width) {
                windows.emplace_back(edge, edge + width);
            }
        }
    } else if (windows.size() >= 2 && std::fabs(angle) < extend - kEdgeWindowHysteresis) {
        windows.pop_back();
    }
}

// Adds the current angle to the history and returns the history's mean.
PlaneAngle recordAngle(AngleMeasure& measure) {
    std::vector<float>& history = measure.angleHistory;
    history.push_back(measure.currentAngle);
    if (history.size() > measure.historySize) {
        history.erase(history.begin());
        // Identical values from frame to frame mean stale data, not a measurement.
        if (history.size() < 2 || std::min_element(history.begin(), history.end()) ==
                                      std::max_element(history.begin(), history.end())) {
            return failed(kPlaneHistoryDegenerate);
        }
    }
    const float sum = std::accumulate(history.begin(), history.end(), 0.0f);
    const float mean = sum / static_cast<float>(history.size());
    measure.meanAngle = mean;
    if (std::fabs(mean) < measure.param.resetAngle ||
        std::fabs(measure.currentAngle) >= kRightAngle) {
        measure.needInit = true;
    }
    return PlaneAngle{mean, kPlaneMeasured};
}

}  // namespace

std::pair<float, int> AngleMeasure::getPlaneAngle(PointcloudData& cloud) {
    BinMap bins = createHashMap(cloud);
    if (bins.empty()) {
        return failed(kPlaneMapEmpty);
    }
    removeSparseBins(bins);
    if (bins.empty()) {
        return failed(kPlaneBinsTooSmall);
    }
    // Tracking needs a reference angle and windows; a first search that found nothing to fit
    // left neither, so the search runs again.
    if (needInit || angleHistory.empty() || windows.empty()) {
        if (!runInitialSearch(*this, bins)) {
            return failed(kPlaneNothingToFit);
        }
    } else {
        runTrackingStep(*this, bins);
    }
    updateEdgeWindow(*this, bins);
    return recordAngle(*this);
}
