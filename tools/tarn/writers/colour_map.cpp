#include "tools/tarn/writers/colour_map.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace tarn::writers {
namespace {

// Nine evenly spaced anchors of the viridis map; colours between them are interpolated.
constexpr Rgb kAnchors[] = {{68, 1, 84},    {71, 44, 122},  {59, 81, 139},
                            {44, 113, 142}, {33, 144, 141}, {39, 173, 129},
                            {92, 200, 99},  {170, 220, 50}, {253, 231, 37}};
constexpr int kSteps = static_cast<int>(std::size(kAnchors)) - 1;

}  // namespace

Rgb colourAt(double t) {
    const double position = std::clamp(std::isfinite(t) ? t : 0.0, 0.0, 1.0) * kSteps;
    const int low = std::min(static_cast<int>(position), kSteps - 1);
    const double share = position - low;
    Rgb colour{};
    for (std::size_t i = 0; i < colour.size(); ++i) {
        const double a = kAnchors[low][i];
        const double b = kAnchors[low + 1][i];
        colour[i] = static_cast<uint8_t>(roundNonNegative(a + (b - a) * share));
    }
    return colour;
}

}  // namespace tarn::writers
