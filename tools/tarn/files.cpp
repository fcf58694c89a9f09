#include "tools/tarn/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/tarn/exit_status.h"

namespace tarn::cli {
namespace {

constexpr mode_t kFolderMode = 0777;  // narrowed by the umask

[[noreturn]] void fail(const std::string& doing, const std::string& path, const char* reason) {
    throw Failure(ExitStatus::file, doing + " " + path + ": " + reason);
}

// Creates path, each missing parent first. An existing entry is left for the caller to check.
void makeFolders(const std::string& path) {
    std::size_t end = path.find_first_not_of('/');
    while (end != std::string::npos) {
        end = path.find('/', end);
        const std::string prefix = path.substr(0, end);
        if (mkdir(prefix.c_str(), kFolderMode) != 0 && errno != EEXIST) {
            fail("cannot create", path, std::strerror(errno));
        }
        end = path.find_first_not_of('/', end);
    }
}

}  // namespace

void requireWritableDirectory(const std::string& directory) {
    makeFolders(directory);
    struct stat status {};
    if (stat(directory.c_str(), &status) != 0) {
        fail("cannot write into", directory, std::strerror(errno));
    }
    if (!S_ISDIR(status.st_mode)) {
        fail("cannot write into", directory, "not a directory");
    }
    if (access(directory.c_str(), W_OK | X_OK) != 0) {
        fail("cannot write into", directory, std::strerror(errno));
    }
}

}  // namespace tarn::cli
