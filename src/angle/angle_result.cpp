#include "angle/angle_result.h"

#include "angle/angle_measure.h"

KESOAngleResult angleNotEnabledResult() {
    return KESOAngleResult{kAngleNotEnabled, "Do not init algotithm module"};
}

KESOAngleResult angleNullArgumentResult() {
    return KESOAngleResult{kAngleNoPlane, "Frame or angle is null"};
}

KESOAngleResult angleResultForStatus(int status) {
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
