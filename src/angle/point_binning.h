// The measurement box and the slice key of the binning.
#ifndef TARN_ANGLE_POINT_BINNING_H
#define TARN_ANGLE_POINT_BINNING_H

#include <cstdint>

#include "KESOApi.h"
#include "geometry/point_cloud.h"

// True when the point lies strictly inside the box of param (its X range bounds y, its Y range
// bounds z, its Z range bounds x). A NaN coordinate is never inside.
namespace tarn::angle {
bool insideMeasurementBox(const PointXYZ& point, const KESOAngleMeasureParam& param);
}  // namespace tarn::angle
using tarn::angle::insideMeasurementBox;

// The slice of a z inside the box: z truncated toward zero, divided by binWidth (not 0).
namespace tarn::angle {
int32_t binKeyOf(float z, int32_t binWidth);
}  // namespace tarn::angle
using tarn::angle::binKeyOf;

#endif  // TARN_ANGLE_POINT_BINNING_H
