#include "tools/tarn/output.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "tools/tarn/exit_status.h"

namespace tarn::cli {
namespace {

constexpr int kStandardDescriptors = 3;

// errno of the first failed write to standard output, 0 while none failed. Written by whichever
// thread flushes standard output (under its stdio lock), read and reset by finishOutput.
std::atomic<int> firstWriteError{0};

// Standard output's writes to descriptor 1. stdio takes a short count as a write error; by then
// errno may have changed, so the reason is kept here, where it is still true.
ssize_t writeOut(void* /*cookie*/, const char* bytes, size_t count) {
    size_t done = 0;
    while (done < count) {
        const ssize_t written = write(STDOUT_FILENO, bytes + done, count - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            int none = 0;
            firstWriteError.compare_exchange_strong(none, written < 0 ? errno : EIO);
            break;
        }
        done += static_cast<size_t>(written);
    }
    return static_cast<ssize_t>(done);
}

}  // namespace

bool prepareStandardStreams() {
    for (int fd = 0; fd < kStandardDescriptors; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // The lower descriptors are open by now, so this one is the lowest free.
            const int opened = open("/dev/null", O_RDONLY);
            if (opened != fd) {
                if (opened >= 0) {
                    close(opened);
                }
                return false;
            }
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    cookie_io_functions_t functions{};
    functions.write = writeOut;
    if (FILE* out = fopencookie(nullptr, "w", functions)) {
        std::fflush(stdout);
        stdout = out;  // without it, failures are still seen, only without their reason
    }
    // Status lines reach a pipe or a file as they are printed.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return true;
}

bool outputFailed() {
    return std::ferror(stdout) != 0;
}

int finishOutput(const std::string& name, int status) {
    std::fflush(stdout);
    if (!outputFailed()) {
        return status;
    }
    const int error = firstWriteError.exchange(0);
    std::clearerr(stdout);
    if (error != 0) {
        std::fprintf(stderr, "%s: cannot write standard output: %s\n", name.c_str(),
                     std::strerror(error));
    } else {
        std::fprintf(stderr, "%s: cannot write standard output\n", name.c_str());
    }
    // A command ended by its output before anything arrived fails for want of data; the lost
    // output is the cause.
    const bool cutShort = status == static_cast<int>(ExitStatus::noData);
    return status == 0 || cutShort ? static_cast<int>(ExitStatus::output) : status;
}

}  // namespace tarn::cli
