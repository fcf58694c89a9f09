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
    const RotationMatrix m = rotationMatrixOf(info);
    // One cell at a time, its x, y, z in the low lanes of one register: the lanes compute the
    // three rows of the formula with the same operations in the same order as the scalar loop.
    const __m128 column0 = _mm_setr_ps(m[0][0], m[1][0], m[2][0], 0.0f);
    const __m128 column1 = _mm_setr_ps(m[0][1], m[1][1], m[2][1], 0.0f);
    const __m128 column2 = _mm_setr_ps(m[0][2], m[1][2], m[2][2], 0.0f);
    const __m128 offset = _mm_setr_ps(info.offsetX, info.offsetY, info.offsetZ, 0.0f);
    for (int row = 0; row < KESO_ROWS; ++row) {
        for (KESOPointData* cell = grid[row]; cell != grid[row] + KESO_COLUMNS; ++cell) {
            // The fourth lane is the start of the next field; it is stored back unchanged.
            float* xyz = &cell->x;
            const __m128 point = _mm_loadu_ps(xyz);
            const __m128 x = _mm_shuffle_ps(point, point, _MM_SHUFFLE(0, 0, 0, 0));
            const __m128 y = _mm_shuffle_ps(point, point, _MM_SHUFFLE(1, 1, 1, 1));
            const __m128 z = _mm_shuffle_ps(point, point, _MM_SHUFFLE(2, 2, 2, 2));
            const __m128 turned =
                _mm_add_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(column0, x), _mm_mul_ps(column1, y)),
                                      _mm_mul_ps(column2, z)),
                           offset);
            // (turned z, turned z, kept lane, kept lane), then (x, y) beside it.
            const __m128 high = _mm_shuffle_ps(turned, point, _MM_SHUFFLE(3, 3, 2, 2));
            _mm_storeu_ps(xyz, _mm_shuffle_ps(turned, high, _MM_SHUFFLE(2, 0, 1, 0)));
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
