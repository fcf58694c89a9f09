// Rotates arbitrary points by arbitrary angles and offsets (NaN, infinities and huge values
// included) and checks that the rotation keeps every point's distance from the origin wherever
// that is computable.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "KESOApi.h"
#include "geometry/rotation.h"

namespace {

constexpr std::size_t kMaxPoints = 256;
// Within this magnitude single-precision products and sums of coordinates stay far from
// overflow, so the length check applies.
constexpr float kModerate = 1e15f;
// A length is kept within a few single-precision roundings of the nine-term matrix product.
constexpr double kRelativeError = 1e-5;

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

template <typename T>
T take(const uint8_t*& data, std::size_t& size) {
    T value{};
    const std::size_t n = size < sizeof(T) ? size : sizeof(T);
    std::memcpy(&value, data, n);
    data += n;
    size -= n;
    return value;
}

bool moderate(float value) {
    return std::isfinite(value) && std::fabs(value) < kModerate;
}

double length(double x, double y, double z) {
    return std::sqrt(x * x + y * y + z * z);
}

void checkLengthKept(const PointXYZ& before, const PointXYZ& after, const KESORotateInfo& info) {
    const bool computable = std::isfinite(info.angleX) && std::isfinite(info.angleY) &&
                            std::isfinite(info.angleZ) && moderate(before.x) &&
                            moderate(before.y) && moderate(before.z);
    if (!computable) {
        return;
    }
    // The offsets are added last; taking them off again costs one rounding each.
    const double was = length(before.x, before.y, before.z);
    const double is = length(static_cast<double>(after.x) - info.offsetX,
                             static_cast<double>(after.y) - info.offsetY,
                             static_cast<double>(after.z) - info.offsetZ);
    const double scale =
        was + std::fabs(info.offsetX) + std::fabs(info.offsetY) + std::fabs(info.offsetZ);
    if (!std::isfinite(scale)) {
        return;
    }
    check(std::fabs(is - was) <= kRelativeError * scale + 1e-30);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const KESORotateInfo info = take<KESORotateInfo>(data, size);
    PointcloudData cloud;
    while (size >= sizeof(PointXYZ) && cloud.points.size() < kMaxPoints) {
        cloud.points.push_back(take<PointXYZ>(data, size));
    }
    PointcloudData turned = cloud;
    rotatePointcloudData(turned, info);
    check(turned.points.size() == cloud.points.size());
    for (std::size_t i = 0; i < cloud.points.size(); ++i) {
        checkLengthKept(cloud.points[i], turned.points[i], info);
    }
    return 0;
}
