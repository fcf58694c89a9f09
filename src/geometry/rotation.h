// Rotation and translation of a point cloud.
#ifndef TARN_GEOMETRY_ROTATION_H
#define TARN_GEOMETRY_ROTATION_H

#include <array>

#include "KESOApi.h"
#include "geometry/point_cloud.h"

using RotationMatrix = std::array<std::array<float, 3>, 3>;

// The single-precision matrix that turns a point about x by -angleX, then about y by angleY,
// then about z by angleZ.
namespace tarn::geometry {
RotationMatrix rotationMatrixOf(const KESORotateInfo& info);
}  // namespace tarn::geometry
using tarn::geometry::rotationMatrixOf;

// Rotates every point of cloud by rotationMatrixOf(info), then adds the offsets.
void rotatePointcloudData(PointcloudData& cloud, KESORotateInfo info);

// Turns and moves the x, y, z of every cell of grid in place, each exactly as
// rotatePointcloudData turns that point; every other field keeps its bytes.
namespace tarn::geometry {
void rotateGrid(KESOPointData (*grid)[KESO_COLUMNS], const KESORotateInfo& info);
}  // namespace tarn::geometry
using tarn::geometry::rotateGrid;

#endif  // TARN_GEOMETRY_ROTATION_H
