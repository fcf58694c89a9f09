// The plane angle measurement object and the binned cloud it works on.
#ifndef TARN_ANGLE_ANGLE_MEASURE_H
#define TARN_ANGLE_ANGLE_MEASURE_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "KESOApi.h"
#include "geometry/point_cloud.h"

// The value every stage gives when it has no angle; real angles lie between -90 and 90.
constexpr float kNoAngle = 404.0f;

// Statuses of AngleMeasure::getPlaneAngle.
constexpr int kPlaneMeasured = 0;
constexpr int kPlaneMapEmpty = 1;
constexpr int kPlaneBinsTooSmall = 2;
constexpr int kPlaneHistoryDegenerate = 3;
constexpr int kPlaneNothingToFit = 4;

// One slice of the cloud along z: its points as (y, x) samples, ascending in y.
struct XZPoint {
    std::vector<float> yValues;
    std::vector<float> xValues;  // xValues[i] belongs to the point of yValues[i]
    std::size_t pointCount = 0;
};

class AngleMeasure {
  public:
    // Copies param and warns on standard error about reversed ranges and a zero bin width.
    explicit AngleMeasure(KESOAngleMeasureParam config);

    // Bins the points inside the measurement box by z into slices keyed by z / binWidth.
    std::map<int, XZPoint> createHashMap(PointcloudData& data);

    // Fits every slice inside every window and returns (mean accepted angle, median quality),
    // or (404, 404) when no fit is accepted.
    std::pair<float, float> processAngleCal(std::map<int, XZPoint> map,
                                            std::vector<std::pair<float, float>> searchWindows,
                                            float refAngle);

    // processAngleCal without copying the map and the windows.
    std::pair<float, float> angleInWindows(
        const std::map<int, XZPoint>& map,
        const std::vector<std::pair<float, float>>& searchWindows, float refAngle) const;

    // Measures one frame: (angle, status), with status one of the kPlane* values above.
    std::pair<float, int> getPlaneAngle(PointcloudData& cloud);

    static bool compareByOrderFirst(std::pair<float, float> a, std::pair<float, float> b);
    static bool compareByOrderSecond(std::pair<float, float> a, std::pair<float, float> b);

    KESOAngleMeasureParam param;
    int32_t ransacIterations = 10;
    int32_t ransacDistance = 5;
    int32_t ransacMinInliers = 0;
    uint8_t historySize = 5;
    bool needInit = true;
    float meanAngle = 0.0f;
    float currentAngle = 0.0f;
    std::vector<std::pair<float, float>> windows;  // (low y, high y) search intervals
    std::vector<float> angleHistory;               // latest current angles, oldest first
};

#endif  // TARN_ANGLE_ANGLE_MEASURE_H
