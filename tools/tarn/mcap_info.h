// tarn info FILE.mcap: the topics, messages per topic, rates and time span of an MCAP file.
#ifndef TARN_TOOLS_TARN_MCAP_INFO_H
#define TARN_TOOLS_TARN_MCAP_INFO_H

#include <string>

namespace tarn::cli {

// True when path starts with the MCAP magic.
bool isMcapFile(const std::string& path);

// Prints the file's block. Throws Failure.
void printMcapInfo(const std::string& path);

}  // namespace tarn::cli

#endif  // TARN_TOOLS_TARN_MCAP_INFO_H
