// Rotates arbitrary points by arbitrary angles and offsets (NaN, infinities and huge values
// included) and checks every point, wherever that is computable, against a reference in double
// precision built from the documented turns one after the other: about x by minus angleX, then
// about y by angleY, then about z by angleZ, then the offsets. So a wrong axis order or sense
// fails as well as a length that is not kept.
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
// overflow, so the reference applies.
constexpr float kModerate = 1e15f;

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

// Within a few single-precision roundings of the sines and cosines, the nine-term matrix and the
// products with each point, relative to the sizes of what is added up.
constexpr double kRelativeError = 4e-6;
constexpr double kAbsoluteError = 1e-35;  // subnormal inputs lose their relative precision

struct Vector {
    double x, y, z;
};

// The usual right-handed turn by `degrees` about one axis, in double precision.
Vector turnX(const Vector& p, double degrees) {
    const double a = degrees * 3.141592653589793 / 180.0;
    return {p.x, std::cos(a) * p.y - std::sin(a) * p.z, std::sin(a) * p.y + std::cos(a) * p.z};
}
Vector turnY(const Vector& p, double degrees) {
    const double a = degrees * 3.141592653589793 / 180.0;
    return {std::cos(a) * p.x + std::sin(a) * p.z, p.y, -std::sin(a) * p.x + std::cos(a) * p.z};
}
Vector turnZ(const Vector& p, double degrees) {
    const double a = degrees * 3.141592653589793 / 180.0;
    return {std::cos(a) * p.x - std::sin(a) * p.y, std::sin(a) * p.x + std::cos(a) * p.y, p.z};
}

void checkAgainstReference(const PointXYZ& before, const PointXYZ& after,
                           const KESORotateInfo& info) {
    const bool computable = std::isfinite(info.angleX) && std::isfinite(info.angleY) &&
                            std::isfinite(info.angleZ) && moderate(before.x) &&
                            moderate(before.y) && moderate(before.z) && moderate(info.offsetX) &&
                            moderate(info.offsetY) && moderate(info.offsetZ);
    if (!computable) {
        return;
    }
    const Vector turned = turnZ(turnY(turnX({before.x, before.y, before.z}, -info.angleX),
                                      info.angleY),
                                info.angleZ);
    const double size = std::fabs(before.x) + std::fabs(before.y) + std::fabs(before.z);
    const auto near = [&](float got, double turnedAxis, float offset) {
        const double expected = turnedAxis + offset;
        return std::fabs(got - expected) <=
               kRelativeError * (size + std::fabs(offset)) + kAbsoluteError;
    };
    check(near(after.x, turned.x, info.offsetX));
    check(near(after.y, turned.y, info.offsetY));
    check(near(after.z, turned.z, info.offsetZ));
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
        checkAgainstReference(cloud.points[i], turned.points[i], info);
    }
    return 0;
}
