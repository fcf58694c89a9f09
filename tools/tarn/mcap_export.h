// tarn export REC.pcap --mcap OUT.mcap: a recording converted into ROS 2 messages, offline.
#ifndef TARN_TOOLS_TARN_MCAP_EXPORT_H
#define TARN_TOOLS_TARN_MCAP_EXPORT_H

#include <string>

namespace tarn::cli {

// Decodes every frame and IMU sample of recording into the MCAP file output. Throws Failure.
int exportMcap(const std::string& recording, const std::string& output);

}  // namespace tarn::cli

#endif  // TARN_TOOLS_TARN_MCAP_EXPORT_H
