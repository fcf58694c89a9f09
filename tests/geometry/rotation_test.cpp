#include "geometry/rotation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

constexpr float kNear = 1e-6f;

PointXYZ turned(PointXYZ point, const KESORotateInfo& info) {
    PointcloudData cloud{{point}};
    rotatePointcloudData(cloud, info);
    return cloud.points[0];
}

void expectNear(const PointXYZ& actual, float x, float y, float z) {
    EXPECT_NEAR(actual.x, x, kNear);
    EXPECT_NEAR(actual.y, y, kNear);
    EXPECT_NEAR(actual.z, z, kNear);
}

TEST(RotatePointcloudData, ZeroInfoKeepsFiniteCoordinates) {
    const PointXYZ point{1234.5f, -0.125f, 3e7f};
    const PointXYZ result = turned(point, KESORotateInfo{});
    EXPECT_EQ(result.x, point.x);
    EXPECT_EQ(result.y, point.y);
    EXPECT_EQ(result.z, point.z);
}

TEST(RotatePointcloudData, OffsetsTranslateAfterTheTurn) {
    const PointXYZ moved = turned(PointXYZ{1.0f, 2.0f, 3.0f}, KESORotateInfo{0, 0, 0, 10.0f, 0, 0});
    EXPECT_EQ(moved.x, 11.0f);
    EXPECT_EQ(moved.y, 2.0f);
    EXPECT_EQ(moved.z, 3.0f);
    // Translation comes last: (1, 0, 0) turned by 90 degrees about z, then moved.
    expectNear(turned(PointXYZ{1, 0, 0}, KESORotateInfo{0, 0, 90.0f, 5.0f, 6.0f, 7.0f}), 5.0f, 7.0f,
               7.0f);
}

TEST(RotatePointcloudData, TurnsAboutZAndYAreRightHanded) {
    const KESORotateInfo aboutZ{0, 0, 90.0f, 0, 0, 0};
    expectNear(turned(PointXYZ{1, 0, 0}, aboutZ), 0, 1, 0);
    expectNear(turned(PointXYZ{0, 1, 0}, aboutZ), -1, 0, 0);
    expectNear(turned(PointXYZ{0, 0, 1}, KESORotateInfo{0, 90.0f, 0, 0, 0, 0}), 1, 0, 0);
}

TEST(RotatePointcloudData, TurnAboutXHasTheOppositeSense) {
    expectNear(turned(PointXYZ{0, 1, 0}, KESORotateInfo{90.0f, 0, 0, 0, 0, 0}), 0, 0, -1);
}

TEST(RotatePointcloudData, TurnsApplyXThenYThenZ) {
    const KESORotateInfo xThenZ{90.0f, 0, 90.0f, 0, 0, 0};
    expectNear(turned(PointXYZ{0, 1, 0}, xThenZ), 0, 0, -1);
    expectNear(turned(PointXYZ{1, 0, 0}, xThenZ), 0, 1, 0);
    // Y before Z: (0, 0, 1) goes to (1, 0, 0) about y, then to (0, 1, 0) about z.
    expectNear(turned(PointXYZ{0, 0, 1}, KESORotateInfo{0, 90.0f, 90.0f, 0, 0, 0}), 0, 1, 0);
}

// The matrix and every point follow the single-precision formulas exactly: sine and cosine in
// double rounded to float, products left to right, no fused or reordered operations.
TEST(RotatePointcloudData, MatchesTheSinglePrecisionFormulasBitForBit) {
    const KESORotateInfo info{33.3f, -71.7f, 123.4f, 0.5f, -1000.25f, 7.0f};
    const auto sinCos = [](float degrees, float& s, float& c) {
        const double radians = static_cast<double>(degrees) * 3.141592653589793 / 180.0;
        s = static_cast<float>(std::sin(radians));
        c = static_cast<float>(std::cos(radians));
    };
    float sx, cx, sy, cy, sz, cz;
    sinCos(info.angleX, sx, cx);
    sinCos(info.angleY, sy, cy);
    sinCos(info.angleZ, sz, cz);
    // Each product and sum in its own statement, so the reference itself is never fused.
    const auto sub = [](float a, float b) { return a - b; };
    const auto add = [](float a, float b) { return a + b; };
    const auto mul = [](float a, float b) { return a * b; };
    const float m[3][3] = {
        {mul(cy, cz), sub(-mul(mul(cz, sy), sx), mul(sz, cx)),
         sub(mul(mul(cz, sy), cx), mul(sz, sx))},
        {mul(cy, sz), sub(mul(cz, cx), mul(mul(sz, sy), sx)),
         add(mul(cz, sx), mul(mul(sz, sy), cx))},
        {-sy, -mul(cy, sx), mul(cy, cx)},
    };
    const RotationMatrix actual = rotationMatrixOf(info);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            EXPECT_EQ(actual[i][j], m[i][j]) << i << "," << j;
        }
    }

    PointcloudData cloud;
    for (int i = 0; i < 1001; ++i) {  // odd count: vector body and scalar remainder
        const float f = static_cast<float>(i);
        cloud.points.push_back(
            PointXYZ{2000.0f + f * 0.37f, f * 1.9f - 900.0f, 372.5f - f * 0.73f});
    }
    const std::vector<PointXYZ> before = cloud.points;
    rotatePointcloudData(cloud, info);
    ASSERT_EQ(cloud.points.size(), before.size());
    for (std::size_t i = 0; i < before.size(); ++i) {
        const PointXYZ& p = before[i];
        const float offsets[3] = {info.offsetX, info.offsetY, info.offsetZ};
        float expected[3];
        for (int row = 0; row < 3; ++row) {
            float sum = mul(m[row][0], p.x);
            sum = add(sum, mul(m[row][1], p.y));
            sum = add(sum, mul(m[row][2], p.z));
            expected[row] = add(sum, offsets[row]);
        }
        ASSERT_EQ(cloud.points[i].x, expected[0]) << i;
        ASSERT_EQ(cloud.points[i].y, expected[1]) << i;
        ASSERT_EQ(cloud.points[i].z, expected[2]) << i;
    }
}

TEST(RotatePointcloudData, EmptyCloudStaysEmpty) {
    PointcloudData cloud;
    rotatePointcloudData(cloud, KESORotateInfo{10, 20, 30, 1, 2, 3});
    EXPECT_TRUE(cloud.points.empty());
}

// The grid is turned in place exactly as the cloud formula turns each point, whatever the
// coordinates hold (NaN, infinities, huge and tiny values), and no other byte of a cell changes.
TEST(RotateGrid, MatchesTheCloudFormulaBitForBitAndKeepsEveryOtherByte) {
    std::mt19937 random(20261208);
    std::uniform_int_distribution<uint32_t> bits;
    std::uniform_real_distribution<float> angle(-400.0f, 400.0f);
    std::uniform_real_distribution<float> coordinate(-4000.0f, 4000.0f);
    auto grid = std::make_unique<KESOPointData[][KESO_COLUMNS]>(KESO_ROWS);
    auto* cells = reinterpret_cast<uint32_t*>(grid.get());
    for (std::size_t i = 0; i < sizeof(KESOPointData) * kGridPoints / sizeof(uint32_t); ++i) {
        cells[i] = bits(random);
    }
    // Most cells hold ordinary coordinates; the rest keep their random bit patterns.
    for (std::size_t cell = 0; cell < kGridPoints; ++cell) {
        if (cell % 8 != 0) {
            KESOPointData& point = grid[cell / KESO_COLUMNS][cell % KESO_COLUMNS];
            point.x = coordinate(random);
            point.y = coordinate(random);
            point.z = coordinate(random);
        }
    }
    const auto before = std::make_unique<KESOPointData[][KESO_COLUMNS]>(KESO_ROWS);
    std::memcpy(before.get(), grid.get(), sizeof(KESOPointData) * kGridPoints);
    const KESORotateInfo info{angle(random),      angle(random),      angle(random),
                              coordinate(random), coordinate(random), coordinate(random)};

    rotateGrid(grid.get(), info);

    const RotationMatrix m = rotationMatrixOf(info);
    const float offsets[3] = {info.offsetX, info.offsetY, info.offsetZ};
    for (std::size_t cell = 0; cell < kGridPoints; ++cell) {
        const KESOPointData& was = before[cell / KESO_COLUMNS][cell % KESO_COLUMNS];
        KESOPointData expected = was;
        float* turned = &expected.x;
        // One operation a statement, so the reference itself is never fused.
        for (int row = 0; row < 3; ++row) {
            const float px = m[row][0] * was.x;
            const float py = m[row][1] * was.y;
            const float pz = m[row][2] * was.z;
            const float sum = px + py;
            const float sum3 = sum + pz;
            turned[row] = sum3 + offsets[row];
        }
        ASSERT_EQ(std::memcmp(&grid[cell / KESO_COLUMNS][cell % KESO_COLUMNS], &expected,
                              sizeof expected),
                  0)
            << cell;
    }
}

}  // namespace
