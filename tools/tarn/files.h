// The folders a subcommand writes into, prepared before anything is sent.
#ifndef TARN_TOOLS_TARN_FILES_H
#define TARN_TOOLS_TARN_FILES_H

#include <string>

namespace tarn::cli {

// Creates directory and its missing parents (as mkdir -p does, with the umask's permissions),
// then makes sure the tool may write into it; throws Failure (a file status) naming the folder
// and the reason otherwise.
void requireWritableDirectory(const std::string& directory);

}  // namespace tarn::cli

#endif  // TARN_TOOLS_TARN_FILES_H
