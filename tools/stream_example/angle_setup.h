// The plane angle measurement's configuration, read from the example's command line.
#ifndef TARN_TOOLS_ANGLE_SETUP_H
#define TARN_TOOLS_ANGLE_SETUP_H

#include "KESOApi.h"
#include "tools/common/option_table.h"

namespace tarn::tools {

// The measurement box and parameters with defaults that suit the simulated wall.
KESOAngleMeasureParam defaultAngleParam();

// Registers the options that change them, in a group of their own.
void addAngleOptions(CLI::App& app, KESOAngleMeasureParam& param);

}  // namespace tarn::tools

#endif  // TARN_TOOLS_ANGLE_SETUP_H
