// Result records of the plane angle entry point.
#ifndef TARN_ANGLE_ANGLE_RESULT_H
#define TARN_ANGLE_ANGLE_RESULT_H

#include "KESOApi.h"

constexpr int32_t kAngleOk = 0;
constexpr int32_t kAngleHistoryError = -98;
constexpr int32_t kAngleNoPlane = -99;
constexpr int32_t kAngleNotEnabled = -100;

// The record returned while the measurement is disabled.
namespace tarn::angle {
KESOAngleResult angleNotEnabledResult();
}  // namespace tarn::angle
using tarn::angle::angleNotEnabledResult;

// The record for a null frame or angle pointer; nothing is measured.
namespace tarn::angle {
KESOAngleResult angleNullArgumentResult();
}  // namespace tarn::angle
using tarn::angle::angleNullArgumentResult;

// The record for a status of AngleMeasure::getPlaneAngle.
namespace tarn::angle {
KESOAngleResult angleResultForStatus(int status);
}  // namespace tarn::angle
using tarn::angle::angleResultForStatus;

#endif  // TARN_ANGLE_ANGLE_RESULT_H
