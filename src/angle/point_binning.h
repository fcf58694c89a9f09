// The measurement box and the slice key of the binning.
#ifndef TARN_ANGLE_POINT_BINNING_H
#define TARN_ANGLE_POINT_BINNING_H

#include <cstdint>

#include "KESOApi.h"
#include "geometry/point_cloud.h"

// True when the point lies strictly inside the box of param (its X range bounds y, its Y range
// bounds z, its Z range bounds x). A NaN coordinate is never inside.
// Inline, like binKeyOf: binning asks once for every point of the cloud.
inline bool insideMeasurementBox(const PointXYZ& point, const KESOAngleMeasureParam& param) {
    return static_cast<float>(param.yLower) < point.z &&
           point.z < static_cast<float>(param.yUpper) &&
           static_cast<float>(param.zLower) < point.x &&
           point.x < static_cast<float>(param.zUpper) &&
           static_cast<float>(param.xLower) < point.y && point.y < static_cast<float>(param.xUpper);
}

// The slice of a z inside the box: z truncated toward zero, divided by binWidth (not 0).
inline int32_t binKeyOf(float z, int32_t binWidth) {
    // A z inside the box lies strictly between the floats of two int32 bounds, so between
    // -2147483520 and 2147483520: the truncation cannot overflow, and the quotient cannot be
    // INT32_MIN / -1.
    return static_cast<int32_t>(z) / binWidth;
}

#endif  // TARN_ANGLE_POINT_BINNING_H
