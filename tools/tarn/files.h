// Checks on the files and folders a subcommand writes, made before anything is sent.
#ifndef TARN_TOOLS_TARN_FILES_H
#define TARN_TOOLS_TARN_FILES_H

#include <string>

namespace tarn::cli {

// Throws Failure (a file status) unless directory exists and the tool may write into it.
void requireWritableDirectory(const std::string& directory);

}  // namespace tarn::cli

#endif  // TARN_TOOLS_TARN_FILES_H
