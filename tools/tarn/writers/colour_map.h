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

}  // namespace tarn::writers

#endif  // TARN_TOOLS_TARN_WRITERS_COLOUR_MAP_H
