#include "angle/angle_result.h"

#include "angle/angle_measure.h"

KESOAngleResult tarn::angle::angleNotEnabledResult() {
    return KESOAngleResult{kAngleNotEnabled, "Do not init algotithm module"};
}

KESOAngleResult tarn::angle::angleNullArgumentResult() {
    return KESOAngleResult{kAngleNoPlane, "Frame or angle is null"};
}

KESOAngleResult tarn::angle::angleResultForStatus(int status) {
    switch (status) {
        case kPlaneMeasured:
            return KESOAngleResult{kAngleOk, "OK"};
        case kPlaneMapEmpty:
            return KESOAngleResult{kAngleNoPlane, "Hashmap is empty"};
        case kPlaneBinsTooSmall:
            return KESOAngleResult{kAngleNoPlane, "Hashmap is error"};
        case kPlaneHistoryDegenerate:
            return KESOAngleResult{kAngleHistoryError, "History data is error"};
        case kPlaneNothingToFit:
            return KESOAngleResult{kAngleNoPlane, "Angle data is error"};
        default:
            return KESOAngleResult{kAngleNoPlane, "Error return code"};
    }
}
