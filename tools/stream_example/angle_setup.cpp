// How to pick the measurement's parameters for a scene.
//
// The measurement looks at the points inside a box and cuts them into slices along z (height);
// in each slice it fits the line x = k * y + c, x being the depth and y the sideways position,
// and reports -atan(k) in degrees: the plane's turn about the vertical axis.
//
// - Box: take the y range (xLower, xUpper) and z range (yLower, yUpper) that the plane covers
//   with some margin inside its edges, and an x range (zLower, zUpper) around the plane's depth
//   wide enough for the steepest tilt to expect but tight enough to leave out the floor, the
//   ceiling, other objects and the zero cells of pixels that carry no coordinates. The simulated
//   wall spans y -897 to 897 and z -372 to 372 at depth 2000; the default box keeps y within 800,
//   z within 300, and x between 500 and 4000, which holds the wall for tilts up to about 60
//   degrees.
// - binWidth: slice height in z. Each slice should hold several rows of the grid, so one fit rests
//   on many points; rows of the simulated wall lie 5 apart, so 50 puts 10 rows in a slice (20 in
//   slice 0, which spans both signs of z) and 13 slices in the box.
// - minFitPoints: the fewest points a slice or window needs before a line is fitted; high enough
//   that a fit cannot rest on a sliver at the box's edge. Full slices here hold about 3200 points;
//   50 keeps out only slivers.
// - windowStep: how far the tracking step shifts its search window along y to follow a plane that
//   moves sideways; a few columns' pitch (20, four columns) follows slow motion without jumping.
// - angleTolerance: how far a fit may lie from the last angle and still count. It must exceed the
//   frame-to-frame noise of the measured angle and the largest change of the true angle between
//   two frames; a tracking step whose fits are all rejected keeps the old mean. 5 degrees.
// - extendAngle and windowWidth: above extendAngle the measurement adds a window of windowWidth at
//   the data's far edge and takes what it fits there as a face at right angles to the plane. A
//   flat wall has no such face, so extendAngle stays above the tilts expected (60) unless the
//   scene has a perpendicular face to use.
// - resetAngle: a mean angle below it restarts the measurement with a fresh initial search at the
//   next frame. 0 switches that off. A level plane searched afresh every frame reports the median
//   over its slices, which on quantised coordinates is often exactly 0; five such frames in a row
//   trip the stale-data guard (-98).
#include "tools/stream_example/angle_setup.h"

#include <cstdint>
#include <limits>

namespace tarn::tools {
namespace {

constexpr long kIntMin = std::numeric_limits<int32_t>::min();
constexpr long kIntMax = std::numeric_limits<int32_t>::max();
constexpr double kNumberBound = 1e6;
constexpr const char* kGroup = "Plane angle measurement (defaults suit the simulated wall)";

void addInt(CLI::App& app, const char* name, int32_t& target, const char* help) {
    app.add_option(name, target, help)
        ->type_name("V")
        ->check(wholeNumberIn(kIntMin, kIntMax))
        ->group(kGroup);
}

void addFloat(CLI::App& app, const char* name, float& target, const char* help) {
    app.add_option(name, target, help)
        ->type_name("D")
        ->check(numberIn(-kNumberBound, kNumberBound))
        ->group(kGroup);
}

}  // namespace

KESOAngleMeasureParam defaultAngleParam() {
    KESOAngleMeasureParam p{};
    p.xLower = -800;
    p.xUpper = 800;
    p.yLower = -300;
    p.yUpper = 300;
    p.zLower = 500;
    p.zUpper = 4000;
    p.binWidth = 50;
    p.minFitPoints = 50;
    p.windowStep = 20;
    p.windowWidth = 200;
    p.angleTolerance = 5.0f;
    p.extendAngle = 60.0f;
    p.resetAngle = 0.0f;
    return p;
}

void addAngleOptions(CLI::App& app, KESOAngleMeasureParam& p) {
    addInt(app, "--y-min", p.xLower,
           "sideways range of the box (the measurement's X range) [-800]");
    addInt(app, "--y-max", p.xUpper, "its upper end [800]");
    addInt(app, "--z-min", p.yLower, "height range of the box (the measurement's Y range) [-300]");
    addInt(app, "--z-max", p.yUpper, "its upper end [300]");
    addInt(app, "--x-min", p.zLower, "depth range of the box (the measurement's Z range) [500]");
    addInt(app, "--x-max", p.zUpper, "its upper end [4000]");
    addInt(app, "--bin-width", p.binWidth, "slice height along z [50]");
    addInt(app, "--min-fit-points", p.minFitPoints, "fewest points to fit a line [50]");
    addInt(app, "--window-step", p.windowStep, "sideways shift of the tracking windows [20]");
    addInt(app, "--window-width", p.windowWidth, "width of the edge window [200]");
    addFloat(app, "--angle-tolerance", p.angleTolerance,
             "degrees a fit may differ from the last angle [5]");
    addFloat(app, "--extend-angle", p.extendAngle,
             "degrees above which an edge window is added [60]");
    addFloat(app, "--reset-angle", p.resetAngle,
             "degrees below which the measurement restarts [0]");
}

}  // namespace tarn::tools
