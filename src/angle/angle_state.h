// Process-wide state of the plane angle measurement. Defined in KESOApi.cpp.
#ifndef TARN_ANGLE_ANGLE_STATE_H
#define TARN_ANGLE_ANGLE_STATE_H

#include <mutex>

#include "angle/angle_measure.h"

// The measurement object; null while the measurement is disabled. Written by
// KESOEnableAngleMeasure and used by KESOGetPlaneAngle, on any application thread, always with
// angleMeasureMutex_ held.
extern AngleMeasure* pAngleMeasure_;
// Guards pAngleMeasure_ and the object it points to, for whole calls.
extern std::mutex angleMeasureMutex_;

#endif  // TARN_ANGLE_ANGLE_STATE_H
