// Feeds arbitrary configurations, search state and points to the plane angle pipeline and checks
// that every call ends with a known status and keeps the object's invariants.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "angle/angle_measure.h"

namespace {

constexpr std::size_t kMaxPoints = 4096;
constexpr int kCallsPerInput = 4;

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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Reversed ranges and zero widths warn on every input; the warnings are not under test.
    std::cerr.setstate(std::ios::badbit);
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
        measure.angleHistory.push_back(take<float>(data, size));
        measure.meanAngle = take<float>(data, size);
    }
    PointcloudData cloud;
    while (size >= sizeof(PointXYZ) && cloud.points.size() < kMaxPoints) {
        cloud.points.push_back(take<PointXYZ>(data, size));
    }
    for (int call = 0; call < kCallsPerInput; ++call) {
        const std::pair<float, int> result = measure.getPlaneAngle(cloud);
        check(result.second >= kPlaneMeasured && result.second <= kPlaneNothingToFit);
        check(measure.windows.size() <= 2);
        check(measure.angleHistory.size() <= measure.historySize);
    }
    return 0;
}
