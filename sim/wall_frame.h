// Frames of the simulated wall as the library hands them to an application, built without the
// network, and measurement settings that take in the whole wall.
#ifndef TARN_SIM_WALL_FRAME_H
#define TARN_SIM_WALL_FRAME_H

#include <cstdint>

#include "KESOApi.h"
#include "sim/scene.h"

namespace tarn::sim {

// Writes frame frameIndex of scene into grid, every cell decoded as from 10-byte pixels.
void fillGrid(const Scene& scene, uint64_t frameIndex, KESOPointData (*grid)[KESO_COLUMNS]);

// A box around the wall (y within 1000, z within 400, x within 1000 of the wall's distance: 1000
// to 3000 for the default scene) in slices of 50 along z; holds the wall for tilts up to about 45
// degrees.
KESOAngleMeasureParam wallAngleParam(float wallDistance = SceneConfig{}.wallDistance);

}  // namespace tarn::sim

#endif  // TARN_SIM_WALL_FRAME_H
