// The tarn command's command lines: every subcommand registers its options on a CLI::App with the
// tools' option table helpers (tools/common/option_table.h); the groups several subcommands share
// are registered by one function each (addSourceOptions, addRunBounds, addSimOptions).
#ifndef TARN_TOOLS_TARN_OPTIONS_H
#define TARN_TOOLS_TARN_OPTIONS_H

#include "tools/common/option_table.h"
#include "tools/tarn/address.h"

namespace tarn::cli {

using tools::describeCommand;
using tools::numberIn;
using tools::parseCommandLine;
using tools::parseInteger;
using tools::UsageError;
using tools::wholeNumberIn;

}  // namespace tarn::cli

#endif  // TARN_TOOLS_TARN_OPTIONS_H
