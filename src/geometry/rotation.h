// Rotation and translation of a point cloud.
#ifndef TARN_GEOMETRY_ROTATION_H
#define TARN_GEOMETRY_ROTATION_H

#include <array>

#include "KESOApi.h"
#include "geometry/point_cloud.h"

using RotationMatrix = std::array<std::array<float, 3>, 3>;

// The single-precision matrix that turns a point about x by -angleX, then about y by angleY,
// then about z by angleZ.
RotationMatrix rotationMatrixOf(const KESORotateInfo& info);

// Rotates every point of cloud by rotationMatrixOf(info), then adds the offsets.
void rotatePointcloudData(PointcloudData& cloud, KESORotateInfo info);

#endif  // TARN_GEOMETRY_ROTATION_H
