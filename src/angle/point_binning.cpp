#include "angle/point_binning.h"

#include <algorithm>
#include <vector>

#include "angle/angle_measure.h"

namespace {

// The tests themselves, here so that binning, which asks once for every point of the cloud, has
// them inline; the exported functions below may be interposed and are never inlined.
bool isInsideBox(const PointXYZ& point, const KESOAngleMeasureParam& param) {
    return static_cast<float>(param.yLower) < point.z &&
           point.z < static_cast<float>(param.yUpper) &&
           static_cast<float>(param.zLower) < point.x &&
           point.x < static_cast<float>(param.zUpper) &&
           static_cast<float>(param.xLower) < point.y && point.y < static_cast<float>(param.xUpper);
}

int32_t keyOf(float z, int32_t binWidth) {
    // A z inside the box lies strictly between the floats of two int32 bounds, so between
    // -2147483520 and 2147483520: the truncation cannot overflow, and the quotient cannot be
    // INT32_MIN / -1.
    return static_cast<int32_t>(z) / binWidth;
}

}  // namespace

bool tarn::angle::insideMeasurementBox(const PointXYZ& point, const KESOAngleMeasureParam& param) {
    return isInsideBox(point, param);
}

int32_t tarn::angle::binKeyOf(float z, int32_t binWidth) {
    return keyOf(z, binWidth);
}

bool AngleMeasure::compareByOrderFirst(std::pair<float, float> a, std::pair<float, float> b) {
    return a.first < b.first;
}

namespace {

using Sample = std::pair<float, float>;  // (y, x)

// At most this many slice keys between the lowest and the highest are counted in a table; a
// wider spread (a tiny bin width over a huge box) goes through an ordered map instead.
constexpr int64_t kMostDenseKeys = 1 << 16;

// Fills one slice from its samples in cloud order, sorted by y as compareByOrderFirst sorts them.
void fillBin(XZPoint& bin, Sample* begin, Sample* end) {
    // No NaN passes the box, so the comparison is a strict weak ordering.
    std::sort(begin, end, [](const Sample& a, const Sample& b) { return a.first < b.first; });
    const auto size = static_cast<std::size_t>(end - begin);
    bin.yValues.reserve(size);
    bin.xValues.reserve(size);
    for (const Sample* sample = begin; sample != end; ++sample) {
        bin.yValues.push_back(sample->first);
        bin.xValues.push_back(sample->second);
    }
    bin.pointCount = size;
}

}  // namespace

std::map<int, XZPoint> AngleMeasure::createHashMap(PointcloudData& data) {
    std::map<int, XZPoint> bins;
    if (param.binWidth == 0) {
        return bins;
    }
    // The samples of the box with their keys, in cloud order.
    std::vector<int32_t> keys;
    std::vector<Sample> samples;
    for (const PointXYZ& point : data.points) {
        if (isInsideBox(point, param)) {
            keys.push_back(keyOf(point.z, param.binWidth));
            samples.emplace_back(point.y, point.x);
        }
    }
    if (keys.empty()) {
        return bins;
    }
    const auto [lowest, highest] = std::minmax_element(keys.begin(), keys.end());
    const int64_t lowestKey = *lowest;
    const int64_t spread = int64_t{*highest} - lowestKey + 1;
    if (spread > kMostDenseKeys) {
        std::map<int, std::vector<Sample>> samplesByKey;
        for (std::size_t i = 0; i < keys.size(); ++i) {
            samplesByKey[keys[i]].push_back(samples[i]);
        }
        for (auto& [key, slice] : samplesByKey) {
            fillBin(bins[key], slice.data(), slice.data() + slice.size());
        }
        return bins;
    }
    // A counting sort by key keeps each slice's samples in cloud order, so each slice is sorted
    // from the same sequence as through the map.
    std::vector<std::size_t> starts(static_cast<std::size_t>(spread) + 1, 0);
    for (const int32_t key : keys) {
        ++starts[static_cast<std::size_t>(key - lowestKey) + 1];
    }
    for (std::size_t slot = 1; slot < starts.size(); ++slot) {
        starts[slot] += starts[slot - 1];
    }
    std::vector<Sample> sorted(samples.size());
    std::vector<std::size_t> next(starts.begin(), starts.end() - 1);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        sorted[next[static_cast<std::size_t>(keys[i] - lowestKey)]++] = samples[i];
    }
    for (std::size_t slot = 0; slot + 1 < starts.size(); ++slot) {
        if (starts[slot] != starts[slot + 1]) {
            const auto key = static_cast<int>(lowestKey + static_cast<int64_t>(slot));
            fillBin(bins.emplace_hint(bins.end(), key, XZPoint{})->second,
                    sorted.data() + starts[slot], sorted.data() + starts[slot + 1]);
        }
    }
    return bins;
}
