// tarn record into an MCAP file: the stream's decoded frames as ROS 2 messages.
#ifndef TARN_TOOLS_TARN_MCAP_RECORD_H
#define TARN_TOOLS_TARN_MCAP_RECORD_H

#include <string>

#include "tools/tarn/run_bounds.h"
#include "tools/tarn/stream_source.h"

namespace tarn::cli {

struct McapRecordOptions {
    std::string path;
    SourceOptions source;
    RunBounds bounds;
};

// Records until a bound or a stop request; returns the exit status. Throws Failure.
int recordMcap(const McapRecordOptions& options);

}  // namespace tarn::cli

#endif  // TARN_TOOLS_TARN_MCAP_RECORD_H
