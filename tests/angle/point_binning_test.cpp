#include "angle/point_binning.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <random>

#include "angle/angle_measure.h"
#include "angle_test_support.h"

namespace {

using angle_test::planeParam;

std::map<int, XZPoint> binned(const KESOAngleMeasureParam& param, std::vector<PointXYZ> points) {
    AngleMeasure measure(param);
    PointcloudData cloud{std::move(points)};
    return measure.createHashMap(cloud);
}

// The binning written out directly: every sample into its slice through an ordered map, each
// slice sorted by y with the same (unstable) sort.
std::map<int, XZPoint> referenceBins(const KESOAngleMeasureParam& param,
                                     const std::vector<PointXYZ>& points) {
    std::map<int, std::vector<std::pair<float, float>>> samplesByKey;
    for (const PointXYZ& point : points) {
        if (insideMeasurementBox(point, param)) {
            samplesByKey[binKeyOf(point.z, param.binWidth)].emplace_back(point.y, point.x);
        }
    }
    std::map<int, XZPoint> bins;
    for (auto& [key, samples] : samplesByKey) {
        std::sort(samples.begin(), samples.end(), AngleMeasure::compareByOrderFirst);
        for (const auto& [y, x] : samples) {
            bins[key].yValues.push_back(y);
            bins[key].xValues.push_back(x);
        }
        bins[key].pointCount = samples.size();
    }
    return bins;
}

// Many equal y values make the order of equal samples visible; the bin widths cover narrow and
// wide spreads of keys, and negative widths.
TEST(CreateHashMap, MatchesTheDirectBinningExactly) {
    std::mt19937 random(42);
    std::uniform_int_distribution<int> coarse(-40, 40);
    std::uniform_real_distribution<float> fine(-3000.0f, 3000.0f);
    KESOAngleMeasureParam param = planeParam();
    param.xLower = param.yLower = param.zLower = -2000;
    param.xUpper = param.yUpper = param.zUpper = 2000;
    param.yLower = -200000;  // bounds z: widths 1 and 3 spread too far for a table of keys
    param.yUpper = 200000;
    for (const int32_t width : {1, 3, 50, -7, 100000}) {
        std::vector<PointXYZ> points;
        for (int i = 0; i < 5000; ++i) {
            points.push_back({fine(random), static_cast<float>(coarse(random)),
                              i % 2 ? fine(random) * 50.0f : 1e9f});
        }
        param.binWidth = width;
        const std::map<int, XZPoint> actual = binned(param, points);
        const std::map<int, XZPoint> expected = referenceBins(param, points);
        ASSERT_EQ(actual.size(), expected.size()) << width;
        for (auto a = actual.begin(), e = expected.begin(); a != actual.end(); ++a, ++e) {
            ASSERT_EQ(a->first, e->first) << width;
            ASSERT_EQ(a->second.yValues, e->second.yValues) << width << " key " << a->first;
            ASSERT_EQ(a->second.xValues, e->second.xValues) << width << " key " << a->first;
            ASSERT_EQ(a->second.pointCount, e->second.pointCount);
        }
    }
}

TEST(CreateHashMap, KeepsOnlyPointsStrictlyInsideTheBox) {
    KESOAngleMeasureParam param = planeParam();
    param.xLower = -10;  // bounds y
    param.xUpper = 10;
    param.yLower = -20;  // bounds z
    param.yUpper = 20;
    param.zLower = 100;  // bounds x
    param.zUpper = 200;
    const std::map<int, XZPoint> bins = binned(param, {
                                                          {150, 0, 0},      // inside
                                                          {150, 10, 0},     // y on the upper bound
                                                          {150, -10, 0},    // y on the lower bound
                                                          {150, 0, 20},     // z on the upper bound
                                                          {150, 0, -20},    // z on the lower bound
                                                          {200, 0, 0},      // x on the upper bound
                                                          {100, 0, 0},      // x on the lower bound
                                                          {150, 9.99f, 0},  // inside
                                                      });
    ASSERT_EQ(bins.size(), 1u);
    const XZPoint& bin = bins.at(0);
    EXPECT_EQ(bin.pointCount, 2u);
    EXPECT_EQ(bin.yValues, (std::vector<float>{0.0f, 9.99f}));
}

TEST(CreateHashMap, KeysTruncateTowardZeroAroundZero) {
    const std::map<int, XZPoint> bins = binned(planeParam(), {{1000, 0, 9.9f},
                                                              {1000, 1, -9.9f},
                                                              {1000, 2, 10.0f},
                                                              {1000, 3, -10.0f},
                                                              {1000, 4, 19.99f},
                                                              {1000, 5, -19.99f},
                                                              {1000, 6, -20.0f}});
    ASSERT_EQ(bins.size(), 4u);
    EXPECT_EQ(bins.at(0).pointCount, 2u);   // 9.9 and -9.9: bin 0 spans (-10, 10)
    EXPECT_EQ(bins.at(1).pointCount, 2u);   // 10 and 19.99
    EXPECT_EQ(bins.at(-1).pointCount, 2u);  // -10 and -19.99
    EXPECT_EQ(bins.at(-2).pointCount, 1u);  // -20

    // A negative width negates the keys.
    KESOAngleMeasureParam negative = planeParam();
    negative.binWidth = -10;
    const std::map<int, XZPoint> mirrored = binned(negative, {{1000, 0, 25.0f}, {1000, 0, -25.0f}});
    EXPECT_EQ(mirrored.count(-2), 1u);
    EXPECT_EQ(mirrored.count(2), 1u);
}

TEST(CreateHashMap, DropsPointsWithNaNOrInfinity) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    KESOAngleMeasureParam wide = planeParam();
    wide.xLower = wide.yLower = wide.zLower = INT_MIN;
    wide.xUpper = wide.yUpper = wide.zUpper = INT_MAX;
    const std::map<int, XZPoint> bins = binned(wide, {{nan, 0, 0},
                                                      {1000, nan, 0},
                                                      {1000, 0, nan},
                                                      {inf, 0, 0},
                                                      {1000, -inf, 0},
                                                      {1000, 0, inf},
                                                      {1000, 0, 0}});
    ASSERT_EQ(bins.size(), 1u);
    EXPECT_EQ(bins.at(0).pointCount, 1u);
}

TEST(CreateHashMap, SortsEachSliceByYKeepingXBesideIt) {
    const std::map<int, XZPoint> bins = binned(
        planeParam(), {{1003, 30, 1}, {1001, -10, 2}, {1002, 5, 3}, {1004, 5, 4}, {1005, -40, 55}});
    ASSERT_EQ(bins.size(), 2u);
    const XZPoint& bin = bins.at(0);
    EXPECT_EQ(bin.yValues, (std::vector<float>{-10, 5, 5, 30}));
    ASSERT_EQ(bin.xValues.size(), 4u);
    EXPECT_EQ(bin.xValues[0], 1001);
    EXPECT_EQ(bin.xValues[3], 1003);
    // Equal y: both points kept, in either order.
    EXPECT_EQ(bin.xValues[1] + bin.xValues[2], 1002 + 1004);
    EXPECT_EQ(bin.pointCount, 4u);
    EXPECT_EQ(bins.at(5).pointCount, 1u);
}

TEST(CreateHashMap, ZeroWidthOrNoPointsGiveNoSlices) {
    KESOAngleMeasureParam zero = planeParam();
    zero.binWidth = 0;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(binned(zero, {{1000, 0, 0}, {1000, 1, 0}}).empty());
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(binned(planeParam(), {}).empty());
}

// The extreme z that can pass the widest box, with the widths that divide worst.
TEST(BinKeyOf, ExtremeZWithinTheWidestBoxStaysDefined) {
    KESOAngleMeasureParam wide = planeParam();
    wide.xLower = wide.yLower = wide.zLower = INT_MIN;
    wide.xUpper = wide.yUpper = wide.zUpper = INT_MAX;
    const float lowest = std::nextafter(static_cast<float>(INT_MIN), 0.0f);
    const float highest = std::nextafter(static_cast<float>(INT_MAX), 0.0f);
    ASSERT_TRUE(insideMeasurementBox(PointXYZ{0, 0, lowest}, wide));
    ASSERT_FALSE(insideMeasurementBox(PointXYZ{0, 0, static_cast<float>(INT_MIN)}, wide));
    EXPECT_EQ(binKeyOf(lowest, -1), 2147483520);
    EXPECT_EQ(binKeyOf(highest, -1), -2147483520);
    EXPECT_EQ(binKeyOf(lowest, INT_MIN), 0);
    EXPECT_EQ(binKeyOf(highest, 1), 2147483520);
}

}  // namespace
