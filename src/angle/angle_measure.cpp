#include "angle/angle_measure.h"

#include <iostream>

AngleMeasure::AngleMeasure(KESOAngleMeasureParam config) : param(config) {
    if (param.xLower >= param.xUpper) {
        std::cerr << "X Upper must be greater than X Lower" << std::endl;
    }
    if (param.yLower >= param.yUpper) {
        std::cerr << "Y Upper must be greater than Y Lower" << std::endl;
    }
    // Binning divides by the bin width; with 0 it finds no slice at all.
    if (param.binWidth == 0) {
        std::cerr << "Bin width must not be zero" << std::endl;
    }
}
