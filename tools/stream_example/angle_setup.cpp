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

int32_t readInt(CommandLine& line, const char* name, long fallback) {
    return static_cast<int32_t>(line.integer(name, fallback, kIntMin, kIntMax));
}

float readFloat(CommandLine& line, const char* name, double fallback) {
    return static_cast<float>(line.number(name, fallback, -1e6, 1e6));
}

}  // namespace

const char* const kAngleUsage = R"(plane angle measurement (defaults suit the simulated wall):
  --y-min V --y-max V      sideways range of the box (the measurement's X range) [-800 800]
  --z-min V --z-max V      height range of the box (the measurement's Y range) [-300 300]
  --x-min V --x-max V      depth range of the box (the measurement's Z range) [500 4000]
  --bin-width V            slice height along z [50]
  --min-fit-points N       fewest points to fit a line [50]
  --window-step V          sideways shift of the tracking windows [20]
  --window-width V         width of the edge window [200]
  --angle-tolerance D      degrees a fit may differ from the last angle [5]
  --extend-angle D         degrees above which an edge window is added [60]
  --reset-angle D          degrees below which the measurement restarts [0]
)";

KESOAngleMeasureParam readAngleParam(CommandLine& line) {
    KESOAngleMeasureParam p{};
    p.xLower = readInt(line, "y-min", -800);
    p.xUpper = readInt(line, "y-max", 800);
    p.yLower = readInt(line, "z-min", -300);
    p.yUpper = readInt(line, "z-max", 300);
    p.zLower = readInt(line, "x-min", 500);
    p.zUpper = readInt(line, "x-max", 4000);
    p.binWidth = readInt(line, "bin-width", 50);
    p.minFitPoints = readInt(line, "min-fit-points", 50);
    p.windowStep = readInt(line, "window-step", 20);
    p.windowWidth = readInt(line, "window-width", 200);
    p.angleTolerance = readFloat(line, "angle-tolerance", 5.0);
    p.extendAngle = readFloat(line, "extend-angle", 60.0);
    p.resetAngle = readFloat(line, "reset-angle", 0.0);
    return p;
}

}  // namespace tarn::tools
