#include "angle/point_binning.h"

#include <algorithm>
#include <vector>

#include "angle/angle_measure.h"

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
        // The same order as compareByOrderFirst, in a form the sort can inline.
        std::sort(samples.begin(), samples.end(),
                  [](const std::pair<float, float>& a, const std::pair<float, float>& b) {
                      return a.first < b.first;
                  });
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
