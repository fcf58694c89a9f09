#include "angle/point_binning.h"

#include <algorithm>
#include <vector>

#include "angle/angle_measure.h"

bool insideMeasurementBox(const PointXYZ& point, const KESOAngleMeasureParam& param) {
    return static_cast<float>(param.yLower) < point.z &&
           point.z < static_cast<float>(param.yUpper) &&
           static_cast<float>(param.zLower) < point.x &&
           point.x < static_cast<float>(param.zUpper) &&
           static_cast<float>(param.xLower) < point.y && point.y < static_cast<float>(param.xUpper);
}

int32_t binKeyOf(float z, int32_t binWidth) {
    // A z inside the box lies strictly between the floats of two int32 bounds, so between
    // -2147483520 and 2147483520: the truncation cannot overflow, and the quotient cannot be
    // INT32_MIN / -1.
    return static_cast<int32_t>(z) / binWidth;
}

bool AngleMeasure::compareByOrderFirst(std::pair<float, float> a, std::pair<float, float> b) {
    return a.first < b.first;
}

std::map<int, XZPoint> AngleMeasure::createHashMap(PointcloudData& data) {
    std::map<int, XZPoint> bins;
    if (param.binWidth == 0) {
        return bins;
    }
    std::map<int, std::vector<std::pair<float, float>>> samplesByKey;  // (y, x) per slice
    for (const PointXYZ& point : data.points) {
        if (insideMeasurementBox(point, param)) {
            samplesByKey[binKeyOf(point.z, param.binWidth)].emplace_back(point.y, point.x);
        }
    }
    for (auto& [key, samples] : samplesByKey) {
        // No NaN passes the box, so the comparison is a strict weak ordering.
        std::sort(samples.begin(), samples.end(), compareByOrderFirst);
        XZPoint& bin = bins[key];
        bin.yValues.reserve(samples.size());
        bin.xValues.reserve(samples.size());
        for (const auto& [y, x] : samples) {
            bin.yValues.push_back(y);
            bin.xValues.push_back(x);
        }
        bin.pointCount = bin.yValues.size();
    }
    return bins;
}
