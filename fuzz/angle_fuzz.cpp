// Feeds arbitrary configurations, search state and points to the plane angle pipeline and checks
// that every call ends with a known status, keeps the object's invariants, and reports a
// measurement only with a finite angle from -90 to 90.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "KESOApi.h"
#include "angle/angle_measure.h"
#include "tarn/tarn.h"

namespace {

constexpr std::size_t kMaxPoints = 4096;
constexpr int kCallsPerInput = 4;
constexpr float kRightAngle = 90.0f;

template <typename T>
T take(const uint8_t*& data, std::size_t& size) {
    T value{};
    const std::size_t n = size < sizeof(T) ? size : sizeof(T);
    std::memcpy(&value, data, n);
    data += n;
    size -= n;
    return value;
}

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool isPlaneAngle(float angle) {
    return std::isfinite(angle) && std::fabs(angle) <= kRightAngle;
}

// A fuzzed angle as a state the measurement can reach: a plane angle, anything else folded into
// that range.
float reachableAngle(float angle) {
    return isPlaneAngle(angle) ? angle : 0.0f;
}

void dropLine(tarn_stream*, const char*, void*) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Reversed ranges and zero widths warn on every input; the warnings are not under test.
    tarn_set_log_handler(dropLine, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    AngleMeasure measure(take<KESOAngleMeasureParam>(data, size));
    const uint8_t mode = take<uint8_t>(data, size);
    if (mode & 1) {  // start in tracking with fuzzed windows and reference
        measure.needInit = false;
        measure.windows.emplace_back(take<float>(data, size), take<float>(data, size));
        if (mode & 2) {
            measure.windows.emplace_back(take<float>(data, size), take<float>(data, size));
        }
        measure.angleHistory.push_back(reachableAngle(take<float>(data, size)));
        measure.meanAngle = reachableAngle(take<float>(data, size));
    }
    PointcloudData cloud;
    while (size >= sizeof(PointXYZ) && cloud.points.size() < kMaxPoints) {
        cloud.points.push_back(take<PointXYZ>(data, size));
    }
    for (int call = 0; call < kCallsPerInput; ++call) {
        const std::pair<float, int> result = measure.getPlaneAngle(cloud);
        check(result.second >= kPlaneMeasured && result.second <= kPlaneNothingToFit);
        check(result.second != kPlaneMeasured || isPlaneAngle(result.first));
        check(result.second == kPlaneMeasured || std::isnan(result.first));
        check(measure.windows.size() <= 2);
        check(measure.angleHistory.size() <= measure.historySize);
        for (const float angle : measure.angleHistory) {
            check(isPlaneAngle(angle));
        }
    }
    return 0;
}
