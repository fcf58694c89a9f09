// Cutting the samples of a y window out of a slice.
#ifndef TARN_ANGLE_WINDOW_CUT_H
#define TARN_ANGLE_WINDOW_CUT_H

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "angle/angle_measure.h"

// Index of an element of the ascending values equal to target if the binary search meets one,
// otherwise of the element nearest to target (on a tie, the one probed first); 0 when empty.
namespace tarn::angle {
std::size_t nearestIndex(const std::vector<float>& values, float target);
}  // namespace tarn::angle
using tarn::angle::nearestIndex;

// The samples of a window: from index begin, count samples. The sample nearest to the upper
// bound is not part of it, so count may be 0 or negative.
struct WindowSpan {
    std::size_t begin;
    int32_t count;
};

namespace tarn::angle {
WindowSpan cutWindow(const XZPoint& bin, std::pair<float, float> window);
}  // namespace tarn::angle
using tarn::angle::cutWindow;

#endif  // TARN_ANGLE_WINDOW_CUT_H
