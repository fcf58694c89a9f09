#include "sim/scene.h"

#include <gtest/gtest.h>

#include <cmath>

namespace tarn::sim {
namespace {

TEST(Scene, WallFallsByTanTiltPerUnitOfY) {
    for (const float tilt : {-30.0f, 0.0f, 12.0f, 40.0f}) {
        SceneConfig config;
        config.tiltDegrees = tilt;
        config.noiseRaw = 0.0f;
        const Scene scene(config);
        const int row = 75;
        const RawPoint left = scene.point(row, 20, 0);
        const RawPoint right = scene.point(row, 340, 0);
        const float dy = Scene::decode(right.y) - Scene::decode(left.y);
        const float dx = Scene::decode(right.x) - Scene::decode(left.x);
        ASSERT_GT(dy, 0.0f);
        const double expected = -std::tan(tilt * 3.14159265358979 / 180.0);
        // Raw values are rounded to 0.2 units, over a span of 1600 units.
        EXPECT_NEAR(dx / dy, expected, 0.001) << "tilt " << tilt;
        EXPECT_EQ(left.z, right.z);
    }
}

TEST(Scene, NoiseDiffersBetweenFramesButRepeatsForTheSameFrame) {
    const Scene scene(SceneConfig{});
    int differing = 0;
    for (int column = 0; column < kColumns; ++column) {
        EXPECT_EQ(scene.point(10, column, 4).x, scene.point(10, column, 4).x);
        differing += scene.point(10, column, 4).x != scene.point(10, column, 5).x ? 1 : 0;
    }
    EXPECT_GT(differing, kColumns / 4);
}

}  // namespace
}  // namespace tarn::sim
