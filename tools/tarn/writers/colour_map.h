// The colour map of the frame pictures (the tool's and the Python module's): from dark violet (0)
// through blue and green to yellow (1), evenly rising in brightness and readable in grey print.
// Bright means near or strong: depth maps its nearest cell to 1, intensity 255 to 1.
#ifndef TARN_TOOLS_TARN_WRITERS_COLOUR_MAP_H
#define TARN_TOOLS_TARN_WRITERS_COLOUR_MAP_H

#include <array>
#include <cstdint>

namespace tarn::writers {

using Rgb = std::array<uint8_t, 3>;

constexpr Rgb kNoData = {0, 0, 0};

// The colour at t, clamped to 0 to 1.
Rgb colourAt(double t);

// std::lround(value) for 0 <= value < 2^31 (halves away from zero), without the library call: a
// frame's pictures round about 200,000 values. value minus its whole part is exact.
inline uint32_t roundNonNegative(double value) {
    const auto whole = static_cast<uint32_t>(value);
    return whole + (value - whole >= 0.5 ? 1 : 0);
}

}  // namespace tarn::writers

#endif  // TARN_TOOLS_TARN_WRITERS_COLOUR_MAP_H
