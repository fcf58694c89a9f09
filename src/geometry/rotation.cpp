#include "geometry/rotation.h"

#include <math.h>

#include <cstddef>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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

RotationMatrix tarn::geometry::rotationMatrixOf(const KESORotateInfo& info) {
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

#ifdef __SSE2__

void tarn::geometry::rotateGrid(KESOPointData (*grid)[KESO_COLUMNS], const KESORotateInfo& info) {
    static_assert(offsetof(KESOPointData, y) == offsetof(KESOPointData, x) + sizeof(float) &&
                      offsetof(KESOPointData, z) == offsetof(KESOPointData, y) + sizeof(float) &&
                      offsetof(KESOPointData, z) + 2 * sizeof(float) <= sizeof(KESOPointData),
                  "x, y and z are neighbours followed by another field of the cell");
    static_assert(KESO_COLUMNS % 4 == 0, "a row is a whole number of groups of four cells");
    const RotationMatrix m = rotationMatrixOf(info);
    // Four cells at a time: their x, y, z (and the field after z) are transposed into one register
    // per coordinate, each lane computes the formula with the same operations in the same order as
    // the scalar loop, and the results are transposed back. The fourth row of the transpose is the
    // start of the next field; it is stored back unchanged.
    const __m128 m00 = _mm_set1_ps(m[0][0]), m01 = _mm_set1_ps(m[0][1]), m02 = _mm_set1_ps(m[0][2]);
    const __m128 m10 = _mm_set1_ps(m[1][0]), m11 = _mm_set1_ps(m[1][1]), m12 = _mm_set1_ps(m[1][2]);
    const __m128 m20 = _mm_set1_ps(m[2][0]), m21 = _mm_set1_ps(m[2][1]), m22 = _mm_set1_ps(m[2][2]);
    const __m128 offsetX = _mm_set1_ps(info.offsetX);
    const __m128 offsetY = _mm_set1_ps(info.offsetY);
    const __m128 offsetZ = _mm_set1_ps(info.offsetZ);
    const auto turn = [](__m128 a, __m128 b, __m128 c, __m128 x, __m128 y, __m128 z,
                         __m128 offset) {
        return _mm_add_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(a, x), _mm_mul_ps(b, y)),
                                     _mm_mul_ps(c, z)),
                          offset);
    };
    for (int row = 0; row < KESO_ROWS; ++row) {
        for (KESOPointData* cells = grid[row]; cells != grid[row] + KESO_COLUMNS; cells += 4) {
            __m128 x = _mm_loadu_ps(&cells[0].x);
            __m128 y = _mm_loadu_ps(&cells[1].x);
            __m128 z = _mm_loadu_ps(&cells[2].x);
            __m128 kept = _mm_loadu_ps(&cells[3].x);
            _MM_TRANSPOSE4_PS(x, y, z, kept);
            __m128 turnedX = turn(m00, m01, m02, x, y, z, offsetX);
            __m128 turnedY = turn(m10, m11, m12, x, y, z, offsetY);
            __m128 turnedZ = turn(m20, m21, m22, x, y, z, offsetZ);
            _MM_TRANSPOSE4_PS(turnedX, turnedY, turnedZ, kept);
            _mm_storeu_ps(&cells[0].x, turnedX);
            _mm_storeu_ps(&cells[1].x, turnedY);
            _mm_storeu_ps(&cells[2].x, turnedZ);
            _mm_storeu_ps(&cells[3].x, kept);
        }
    }
}

#else

void tarn::geometry::rotateGrid(KESOPointData (*grid)[KESO_COLUMNS], const KESORotateInfo& info) {
    const RotationMatrix m = rotationMatrixOf(info);
    for (int row = 0; row < KESO_ROWS; ++row) {
        for (KESOPointData* cell = grid[row]; cell != grid[row] + KESO_COLUMNS; ++cell) {
            const float x = cell->x;
            const float y = cell->y;
            const float z = cell->z;
            cell->x = m[0][0] * x + m[0][1] * y + m[0][2] * z + info.offsetX;
            cell->y = m[1][0] * x + m[1][1] * y + m[1][2] * z + info.offsetY;
            cell->z = m[2][0] * x + m[2][1] * y + m[2][2] * z + info.offsetZ;
        }
    }
}

#endif
