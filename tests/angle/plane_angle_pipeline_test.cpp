#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "angle/angle_measure.h"
#include "angle_test_support.h"

namespace {

using angle_test::addPlane;
using angle_test::angleOfSlope;
using angle_test::planeCloud;
using angle_test::planeParam;
using Windows = std::vector<std::pair<float, float>>;

uint32_t bitsOf(float value) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

constexpr uint32_t kQuietNaNBits = 0x7FC00000u;

// The angle a tracking step reports for the three exact slices of planeCloud.
float trackedAngle(float slope) {
    const float angle = angleOfSlope(slope);
    return (0.0f + angle + angle + angle) / 3.0f;
}

struct Snapshot {
    bool needInit;
    float meanAngle;
    float currentAngle;
    Windows windows;
    std::vector<float> angleHistory;

    explicit Snapshot(const AngleMeasure& m)
        : needInit(m.needInit),
          meanAngle(m.meanAngle),
          currentAngle(m.currentAngle),
          windows(m.windows),
          angleHistory(m.angleHistory) {}
    bool operator==(const Snapshot& o) const {
        return needInit == o.needInit && meanAngle == o.meanAngle &&
               currentAngle == o.currentAngle && windows == o.windows &&
               angleHistory == o.angleHistory;
    }
};

class GetPlaneAngle : public testing::Test {
  protected:
    // Puts the object into tracking with the given windows and last angle.
    void track(const Windows& windows, float lastAngle, float mean) {
        measure.needInit = false;
        measure.windows = windows;
        measure.angleHistory = {lastAngle};
        measure.meanAngle = mean;
    }

    AngleMeasure measure{planeParam()};
};

TEST_F(GetPlaneAngle, EmptyOrSparseMapsLeaveTheObjectAlone) {
    track({{-100.0f, 100.0f}}, 12.0f, 11.0f);
    const Snapshot before(measure);

    PointcloudData outside{{{0.0f, 0.0f, 0.0f}, {1000.0f, 2000.0f, 0.0f}}};
    const std::pair<float, int> empty = measure.getPlaneAngle(outside);
    EXPECT_EQ(empty.second, kPlaneMapEmpty);
    EXPECT_EQ(bitsOf(empty.first), kQuietNaNBits);
    EXPECT_TRUE(Snapshot(measure) == before);

    PointcloudData single{
        {{1000.0f, 0.0f, 15.0f}, {1000.0f, 8.0f, 25.0f}, {1010.0f, 16.0f, 35.0f}}};
    const std::pair<float, int> sparse = measure.getPlaneAngle(single);
    EXPECT_EQ(sparse.second, kPlaneBinsTooSmall);
    EXPECT_EQ(bitsOf(sparse.first), kQuietNaNBits);
    EXPECT_TRUE(Snapshot(measure) == before);
}

TEST_F(GetPlaneAngle, NothingToFitLeavesTheSearchPending) {
    PointcloudData cloud = planeCloud(-0.5f);
    for (int minimum : {1000, -1}) {  // a negative minimum admits no slice either
        AngleMeasure fresh(planeParam());
        fresh.param.minFitPoints = minimum;
        const std::pair<float, int> result = fresh.getPlaneAngle(cloud);
        EXPECT_EQ(result.second, kPlaneNothingToFit);
        EXPECT_EQ(bitsOf(result.first), kQuietNaNBits);
        EXPECT_TRUE(fresh.needInit);
        EXPECT_TRUE(fresh.windows.empty());
        EXPECT_TRUE(fresh.angleHistory.empty());
        EXPECT_EQ(fresh.meanAngle, 0.0f);
        EXPECT_EQ(fresh.currentAngle, 0.0f);
    }

    measure.param.minFitPoints = 1000;
    ASSERT_EQ(measure.getPlaneAngle(cloud).second, kPlaneNothingToFit);
    // With neither windows nor history there is nothing to track: the search runs again.
    measure.param.minFitPoints = 5;
    const std::pair<float, int> retried = measure.getPlaneAngle(cloud);
    EXPECT_EQ(retried.second, kPlaneMeasured);
    EXPECT_EQ(retried.first, angleOfSlope(-0.5f));
    EXPECT_EQ(measure.windows, (Windows{{-200.0f, 200.0f}}));
}

TEST_F(GetPlaneAngle, InitialSearchTakesTheUpperMedianOfTheSlices) {
    PointcloudData odd;
    addPlane(odd.points, -0.5f, {15});
    addPlane(odd.points, -1.0f, {25});
    addPlane(odd.points, -0.25f, {35});
    const std::pair<float, int> three = measure.getPlaneAngle(odd);
    EXPECT_EQ(three.second, kPlaneMeasured);
    EXPECT_EQ(three.first, angleOfSlope(-0.5f));
    EXPECT_EQ(measure.currentAngle, angleOfSlope(-0.5f));
    EXPECT_EQ(measure.meanAngle, angleOfSlope(-0.5f));
    EXPECT_EQ(measure.angleHistory, std::vector<float>{angleOfSlope(-0.5f)});
    EXPECT_EQ(measure.windows, (Windows{{-200.0f, 200.0f}}));
    EXPECT_FALSE(measure.needInit);

    AngleMeasure even(planeParam());
    addPlane(odd.points, -0.75f, {45});
    EXPECT_EQ(even.getPlaneAngle(odd).first, angleOfSlope(-0.75f));
}

// Slices with one y only fit no line; half of the slices failing must not make 404 the median.
TEST_F(GetPlaneAngle, FailedSliceFitsStayOutOfTheMedian) {
    PointcloudData cloud;
    addPlane(cloud.points, -0.5f, {15, 25});
    for (float z : {45.0f, 55.0f, 65.0f}) {
        for (int i = 0; i < 10; ++i) {
            cloud.points.push_back(PointXYZ{1000.0f + static_cast<float>(i), 7.0f, z});
        }
    }
    const std::pair<float, int> result = measure.getPlaneAngle(cloud);
    EXPECT_EQ(result.second, kPlaneMeasured);
    EXPECT_EQ(result.first, angleOfSlope(-0.5f));
    EXPECT_EQ(measure.angleHistory, std::vector<float>{angleOfSlope(-0.5f)});
    EXPECT_FALSE(measure.needInit);
}

TEST_F(GetPlaneAngle, SteepPlanesGainAnEdgeWindowOnTheSideTheyFallTowards) {
    measure.param.extendAngle = 20.0f;
    PointcloudData rising = planeCloud(-0.5f);  // 26.6 degrees
    track({{-150.0f, 100.0f}}, 26.5f, 26.5f);
    ASSERT_EQ(measure.getPlaneAngle(rising).second, kPlaneMeasured);
    ASSERT_EQ(measure.windows.size(), 2u);
    EXPECT_EQ(measure.windows[1], std::make_pair(150.0f, 200.0f));
    // Never a third window.
    ASSERT_EQ(measure.getPlaneAngle(rising).second, kPlaneMeasured);
    EXPECT_EQ(measure.windows.size(), 2u);

    PointcloudData falling = planeCloud(0.5f);  // -26.6 degrees
    track({{-100.0f, 150.0f}}, -26.5f, -26.5f);
    ASSERT_EQ(measure.getPlaneAngle(falling).second, kPlaneMeasured);
    ASSERT_EQ(measure.windows.size(), 2u);
    EXPECT_EQ(measure.windows[1], std::make_pair(-200.0f, -150.0f));

    // An edge window that would overlap the first is not added.
    track({{-150.0f, 180.0f}}, 26.5f, 26.5f);
    ASSERT_EQ(measure.getPlaneAngle(rising).second, kPlaneMeasured);
    EXPECT_EQ(measure.windows.size(), 1u);
}

TEST_F(GetPlaneAngle, TheEdgeWindowGoesTenDegreesBelowExtendAngle) {
    PointcloudData rising = planeCloud(-0.5f);
    const float angle = trackedAngle(-0.5f);
    // The largest extendAngle that keeps the window (|angle| >= extendAngle - 10) and the next.
    float keep = angle + 10.0f;
    while (keep - 10.0f > angle) keep = std::nextafter(keep, 0.0f);
    float drop = std::nextafter(keep, 100.0f);
    while (!(angle < drop - 10.0f)) drop = std::nextafter(drop, 100.0f);
    const Windows two{{-200.0f, 200.0f}, {150.0f, 200.0f}};

    measure.param.extendAngle = keep;
    track(two, 26.5f, 26.5f);
    ASSERT_EQ(measure.getPlaneAngle(rising).second, kPlaneMeasured);
    ASSERT_EQ(measure.currentAngle, angle);
    EXPECT_EQ(measure.windows.size(), 2u);

    measure.param.extendAngle = drop;
    track(two, 26.5f, 26.5f);
    ASSERT_EQ(measure.getPlaneAngle(rising).second, kPlaneMeasured);
    ASSERT_EQ(measure.currentAngle, angle);
    EXPECT_EQ(measure.windows.size(), 1u);
}

TEST_F(GetPlaneAngle, FiveEqualAnglesMakeTheHistoryDegenerate) {
    PointcloudData cloud = planeCloud(-0.5f);
    for (int call = 1; call <= 5; ++call) {
        ASSERT_EQ(measure.getPlaneAngle(cloud).second, kPlaneMeasured) << call;
    }
    const float mean = measure.meanAngle;
    const std::pair<float, int> sixth = measure.getPlaneAngle(cloud);
    EXPECT_EQ(sixth.second, kPlaneHistoryDegenerate);
    EXPECT_EQ(bitsOf(sixth.first), kQuietNaNBits);
    EXPECT_EQ(measure.angleHistory.size(), 5u);
    EXPECT_EQ(measure.meanAngle, mean);
    EXPECT_FALSE(measure.needInit);

    // A different angle makes the history usable again; the oldest value has gone.
    PointcloudData steeper = planeCloud(-0.625f);
    const std::pair<float, int> recovered = measure.getPlaneAngle(steeper);
    EXPECT_EQ(recovered.second, kPlaneMeasured);
    ASSERT_EQ(measure.angleHistory.size(), 5u);
    EXPECT_EQ(measure.angleHistory.back(), trackedAngle(-0.625f));
    EXPECT_NEAR(recovered.first, (4.0f * trackedAngle(-0.5f) + trackedAngle(-0.625f)) / 5.0f,
                1e-4f);
}

TEST_F(GetPlaneAngle, ASmallMeanStartsTheNextCallAfresh) {
    measure.param.resetAngle = 30.0f;
    PointcloudData cloud = planeCloud(-0.5f);
    ASSERT_EQ(measure.getPlaneAngle(cloud).second, kPlaneMeasured);
    EXPECT_TRUE(measure.needInit);
    measure.windows = {{-50.0f, 50.0f}};
    ASSERT_EQ(measure.getPlaneAngle(cloud).second, kPlaneMeasured);
    // The search set the windows anew; the history was kept.
    EXPECT_EQ(measure.windows, (Windows{{-200.0f, 200.0f}}));
    EXPECT_EQ(measure.angleHistory.size(), 2u);
}

TEST_F(GetPlaneAngle, WhenEveryTrialFailsThePreviousMeanStandsIn) {
    measure.param.angleTolerance = 5.0f;
    PointcloudData cloud = planeCloud(-0.5f);  // 26.6 degrees, far from 50
    track({{-200.0f, 200.0f}}, 50.0f, 37.0f);
    const std::pair<float, int> result = measure.getPlaneAngle(cloud);
    EXPECT_EQ(result.second, kPlaneMeasured);
    EXPECT_EQ(measure.currentAngle, 37.0f);
    EXPECT_EQ(result.first, 43.5f);
    EXPECT_EQ(measure.windows, (Windows{{-200.0f, 200.0f}}));
    // The plane is lost to tracking: the next call finds it with the initial search.
    EXPECT_TRUE(measure.needInit);
    ASSERT_EQ(measure.getPlaneAngle(cloud).second, kPlaneMeasured);
    EXPECT_EQ(measure.currentAngle, angleOfSlope(-0.5f));
}

TEST_F(GetPlaneAngle, TrackingMovesTheWindowsDownFirstThenUp) {
    measure.param.windowStep = 150;
    PointcloudData cloud = planeCloud(-0.5f);
    track({{300.0f, 400.0f}}, 26.5f, 26.5f);  // beyond the data: the base trial fails
    ASSERT_EQ(measure.getPlaneAngle(cloud).second, kPlaneMeasured);
    EXPECT_EQ(measure.windows, (Windows{{150.0f, 250.0f}}));
    EXPECT_NEAR(measure.currentAngle, angleOfSlope(-0.5f), 1e-4f);

    track({{-400.0f, -300.0f}}, 26.5f, 26.5f);  // base and down trial fail, up finds the plane
    ASSERT_EQ(measure.getPlaneAngle(cloud).second, kPlaneMeasured);
    EXPECT_EQ(measure.windows, (Windows{{-250.0f, -150.0f}}));
    EXPECT_NEAR(measure.currentAngle, angleOfSlope(-0.5f), 1e-4f);
}

}  // namespace
