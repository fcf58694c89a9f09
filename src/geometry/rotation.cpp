#include "geometry/rotation.h"

#include <math.h>

#include <cstddef>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kDegreesPerHalfTurn = 180.0;

struct SinCos {
    float sine;
    float cosine;
};

// Sine and cosine are taken in double and only then rounded to float.
SinCos sinCosOfDegrees(float degrees) {
    const double radians = static_cast<double>(degrees) * kPi / kDegreesPerHalfTurn;
    double sine = 0.0;
    double cosine = 0.0;
    ::sincos(radians, &sine, &cosine);
    return SinCos{static_cast<float>(sine), static_cast<float>(cosine)};
}

RotationMatrix multiply(const RotationMatrix& a, const RotationMatrix& b) {
    RotationMatrix product{};
    for (std::size_t i = 0; i < 3; ++i) {
        for (std::size_t j = 0; j < 3; ++j) {
            product[i][j] = a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j];
        }
    }
    return product;
}

}  // namespace

RotationMatrix rotationMatrixOf(const KESORotateInfo& info) {
    const SinCos x = sinCosOfDegrees(info.angleX);
    const SinCos y = sinCosOfDegrees(info.angleY);
    const SinCos z = sinCosOfDegrees(info.angleZ);
    const RotationMatrix rz{
        {{z.cosine, -z.sine, 0.0f}, {z.sine, z.cosine, 0.0f}, {0.0f, 0.0f, 1.0f}}};
    const RotationMatrix ry{
        {{y.cosine, 0.0f, y.sine}, {0.0f, 1.0f, 0.0f}, {-y.sine, 0.0f, y.cosine}}};
    // The x turn is the transpose of the right-handed one: it turns by -angleX.
    const RotationMatrix rx{
        {{1.0f, 0.0f, 0.0f}, {0.0f, x.cosine, x.sine}, {0.0f, -x.sine, x.cosine}}};
    return multiply(multiply(rz, ry), rx);
}

void rotatePointcloudData(PointcloudData& cloud, KESORotateInfo info) {
    const RotationMatrix m = rotationMatrixOf(info);
    // Plain locals and a raw pointer keep the loop free of aliasing so the compiler can handle
    // several points per instruction; the sources build with -ffp-contract=off, so every point
    // gets exactly the single-precision result of the formula.
    const float m00 = m[0][0], m01 = m[0][1], m02 = m[0][2];
    const float m10 = m[1][0], m11 = m[1][1], m12 = m[1][2];
    const float m20 = m[2][0], m21 = m[2][1], m22 = m[2][2];
    const float offsetX = info.offsetX, offsetY = info.offsetY, offsetZ = info.offsetZ;
    PointXYZ* points = cloud.points.data();
    const std::size_t count = cloud.points.size();
    for (std::size_t i = 0; i < count; ++i) {
        const float x = points[i].x;
        const float y = points[i].y;
        const float z = points[i].z;
        points[i].x = m00 * x + m01 * y + m02 * z + offsetX;
        points[i].y = m10 * x + m11 * y + m12 * z + offsetY;
        points[i].z = m20 * x + m21 * y + m22 * z + offsetZ;
    }
}
