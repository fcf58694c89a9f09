#include "tools/tarn/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/tarn/exit_status.h"

namespace tarn::cli {

void requireWritableDirectory(const std::string& directory) {
    struct stat status {};
    if (stat(directory.c_str(), &status) != 0) {
        throw Failure(ExitStatus::file,
                      "cannot write into " + directory + ": " + std::strerror(errno));
    }
    if (!S_ISDIR(status.st_mode)) {
        throw Failure(ExitStatus::file, "cannot write into " + directory + ": not a directory");
    }
    if (access(directory.c_str(), W_OK | X_OK) != 0) {
        throw Failure(ExitStatus::file,
                      "cannot write into " + directory + ": " + std::strerror(errno));
    }
}

}  // namespace tarn::cli
