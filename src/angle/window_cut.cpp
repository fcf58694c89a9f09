#include "angle/window_cut.h"

#include <cmath>

std::size_t tarn::angle::nearestIndex(const std::vector<float>& values, float target) {
    if (values.empty()) {
        return 0;
    }
    std::ptrdiff_t low = 0;
    std::ptrdiff_t high = static_cast<std::ptrdiff_t>(values.size()) - 1;
    std::ptrdiff_t best = -1;
    while (low <= high) {
        const std::ptrdiff_t mid = (low + high) / 2;
        const float value = values[static_cast<std::size_t>(mid)];
        if (value == target) {
            return static_cast<std::size_t>(mid);
        }
        if (best < 0 || std::fabs(values[static_cast<std::size_t>(best)] - target) >
                            std::fabs(value - target)) {
            best = mid;
        }
        // A NaN target moves down, like any target not above the probe.
        if (target > value) {
            low = mid + 1;
        } else {
            high = mid - 1;
        }
    }
    return static_cast<std::size_t>(best);
}

WindowSpan tarn::angle::cutWindow(const XZPoint& bin, std::pair<float, float> window) {
    const std::size_t begin = nearestIndex(bin.yValues, window.first);
    const std::size_t end = nearestIndex(bin.yValues, window.second);
    return WindowSpan{begin, static_cast<int32_t>(end) - static_cast<int32_t>(begin)};
}
