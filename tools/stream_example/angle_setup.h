// The plane angle measurement's configuration, read from the example's command line.
#ifndef TARN_TOOLS_ANGLE_SETUP_H
#define TARN_TOOLS_ANGLE_SETUP_H

#include "KESOApi.h"
#include "tools/common/command_line.h"

namespace tarn::tools {

// The measurement box and parameters, with defaults that suit the simulated wall.
KESOAngleMeasureParam readAngleParam(CommandLine& line);

// Usage lines of the options readAngleParam reads.
extern const char* const kAngleUsage;

}  // namespace tarn::tools

#endif  // TARN_TOOLS_ANGLE_SETUP_H
