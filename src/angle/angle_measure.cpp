#include "angle/angle_measure.h"

#include "api/log.h"

namespace {

void warn(const char* text) {
    tarn::log::line(nullptr, tarn::log::Destination::kStandardError, text);
}

}  // namespace

AngleMeasure::AngleMeasure(KESOAngleMeasureParam config) : param(config) {
    if (param.xLower >= param.xUpper) {
        warn("X Upper must be greater than X Lower");
    }
    if (param.yLower >= param.yUpper) {
        warn("Y Upper must be greater than Y Lower");
    }
    // Binning divides by the bin width; with 0 it finds no slice at all.
    if (param.binWidth == 0) {
        warn("Bin width must not be zero");
    }
}
