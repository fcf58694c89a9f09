#include "process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace tarn::testing {
namespace {

constexpr milliseconds kPollInterval{5};
constexpr unsigned kLoopbackHosts = 254;
constexpr unsigned kLoopbackSubnets = 256;

std::string temporaryFile(const char* what) {
    const char* directory = std::getenv("TMPDIR");
    std::string path =
        std::string(directory != nullptr ? directory : "/tmp") + "/tarn-" + what + "-XXXXXX";
    const int fd = mkstemp(path.data());
    if (fd >= 0) {
        close(fd);
    }
    return path;
}

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string dotted(unsigned a, unsigned b, unsigned c) {
    return "127." + std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c);
}

}  // namespace

std::string toolPath() {
    return TARN_TOOL_PATH;
}

ToolProcess::ToolProcess(const std::vector<std::string>& args, Output to,
                         const LineTest& closeAfter)
    : outPath_(temporaryFile("out")), errPath_(temporaryFile("err")), to_(to) {
    std::vector<std::string> words = {toolPath()};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    int pipeEnds[2] = {-1, -1};
    if (to == Output::closedPipe && pipe2(pipeEnds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "no pipe: " << std::strerror(errno);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    switch (to) {
        case Output::file:
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath_.c_str(),
                                             O_WRONLY | O_TRUNC, 0);
            break;
        case Output::closed:
            posix_spawn_file_actions_addclose(&actions, STDOUT_FILENO);
            break;
        case Output::full:
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/full", O_WRONLY, 0);
            break;
        case Output::closedPipe:
            posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
            break;
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath_.c_str(), O_WRONLY | O_TRUNC,
                                     0);
    const int error = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        pid_ = -1;
        ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(error);
    }
    if (to == Output::closedPipe) {
        close(pipeEnds[1]);
        readUntil(pipeEnds[0], closeAfter);
        close(pipeEnds[0]);
    }
}

void ToolProcess::readUntil(int fd, const LineTest& enough) {
    const auto deadline = std::chrono::steady_clock::now() + kToolTimeout;
    std::string pending;
    while (std::chrono::steady_clock::now() < deadline) {
        for (std::size_t end = pending.find('\n'); end != std::string::npos;
             end = pending.find('\n')) {
            const std::string line = pending.substr(0, end);
            lines_ += pending.substr(0, end + 1);
            pending.erase(0, end + 1);
            if (!enough || enough(line)) {
                return;
            }
        }
        pollfd readable{fd, POLLIN, 0};
        if (poll(&readable, 1, static_cast<int>(kPollInterval.count())) <= 0) {
            continue;
        }
        char bytes[256];
        const ssize_t got = read(fd, bytes, sizeof bytes);
        if (got <= 0) {
            return;
        }
        pending.append(bytes, static_cast<std::size_t>(got));
    }
}

ToolProcess::~ToolProcess() {
    if (pid_ > 0 && !finished()) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    std::remove(outPath_.c_str());
    std::remove(errPath_.c_str());
}

bool ToolProcess::finished() {
    if (pid_ <= 0) {
        return true;
    }
    if (status_ >= 0) {
        return true;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) {
        return false;
    }
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

bool ToolProcess::waitForOutput(const std::string& text, milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (output().find(text) != std::string::npos) {
            return true;
        }
        if (finished() || std::chrono::steady_clock::now() > deadline) {
            return output().find(text) != std::string::npos;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
}

Outcome ToolProcess::wait(milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!finished() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(kPollInterval);
    }
    Outcome outcome;
    if (!finished()) {
        ADD_FAILURE() << "the tool did not end within " << timeout.count() << " ms";
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    } else {
        outcome.status = status_;
    }
    outcome.out = output();
    outcome.err = readFile(errPath_);
    return outcome;
}

Outcome ToolProcess::stop(int signal, milliseconds timeout) {
    if (!finished()) {
        kill(pid_, signal);
    }
    return wait(timeout);
}

std::string ToolProcess::output() const {
    return to_ == Output::closedPipe ? lines_ : readFile(outPath_);
}

Outcome runTool(const std::vector<std::string>& args, milliseconds timeout, Output to,
                const LineTest& closeAfter) {
    ToolProcess process(args, to, closeAfter);
    return process.wait(timeout);
}

std::string processLoopbackAddress() {
    unsigned n = static_cast<unsigned>(getpid());
    const unsigned c = n % kLoopbackHosts + 1;
    n /= kLoopbackHosts;
    const unsigned b = n % kLoopbackSubnets;
    n /= kLoopbackSubnets;
    return dotted(n % kLoopbackHosts + 1, b, c);
}

std::string unservedLoopbackAddress() {
    const unsigned n = static_cast<unsigned>(getpid());
    return dotted(kLoopbackHosts + 1, n / kLoopbackHosts % kLoopbackSubnets,
                  n % kLoopbackHosts + 1);
}

uint16_t freeUdpPort() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    close(fd);
    return ntohs(local.sin_port);
}

long long numberAfter(const std::string& text, const std::string& label) {
    const std::size_t at = text.find(label);
    return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + label.size());
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

}  // namespace tarn::testing
