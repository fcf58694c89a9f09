// Result records of the plane angle entry point.
#ifndef TARN_ANGLE_ANGLE_RESULT_H
#define TARN_ANGLE_ANGLE_RESULT_H

#include "KESOApi.h"

constexpr int32_t kAngleOk = 0;
constexpr int32_t kAngleHistoryError = -98;
constexpr int32_t kAngleNoPlane = -99;
constexpr int32_t kAngleNotEnabled = -100;

// The record returned while the measurement is disabled.
KESOAngleResult angleNotEnabledResult();

// The record for a null frame or angle pointer; nothing is measured.
KESOAngleResult angleNullArgumentResult();

// The record for a status of AngleMeasure::getPlaneAngle.
KESOAngleResult angleResultForStatus(int status);

#endif  // TARN_ANGLE_ANGLE_RESULT_H
