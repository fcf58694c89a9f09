// Starts tarn_loopback_sender (from the directory of the running program) as a child process
// and talks to it over two pipes; the child is told to quit and reaped on destruction.
#ifndef TARN_BENCH_SENDER_PROCESS_H
#define TARN_BENCH_SENDER_PROCESS_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace tarn::bench {

// A loopback UDP port that was free a moment ago.
inline uint16_t freeLocalPort() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

class SenderProcess {
  public:
    explicit SenderProcess(uint16_t destinationPort) {
        // A sender that died must fail the run with a message, not end it silently on SIGPIPE.
        std::signal(SIGPIPE, SIG_IGN);
        int toChild[2];
        int fromChild[2];
        if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        const std::string program = siblingProgram("tarn_loopback_sender");
        const std::string port = std::to_string(destinationPort);
        child_ = fork();
        if (child_ == 0) {
            dup2(toChild[0], STDIN_FILENO);
            dup2(fromChild[1], STDOUT_FILENO);
            execl(program.c_str(), program.c_str(), port.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(toChild[0]);
        close(fromChild[1]);
        commands_ = fdopen(toChild[1], "w");
        replies_ = fdopen(fromChild[0], "r");
        unsigned source = 0;
        char line[kLineBytes];
        if (child_ < 0 || std::fgets(line, sizeof line, replies_) == nullptr ||
            std::sscanf(line, "port %u", &source) != 1) {
            throw std::runtime_error("cannot start " + program);
        }
        sourcePort_ = static_cast<uint16_t>(source);
    }

    ~SenderProcess() {
        std::fputs("quit\n", commands_);
        std::fclose(commands_);
        std::fclose(replies_);
        int status = 0;
        waitpid(child_, &status, 0);
    }

    SenderProcess(const SenderProcess&) = delete;
    SenderProcess& operator=(const SenderProcess&) = delete;

    uint16_t sourcePort() const { return sourcePort_; }

    // Sends a command line; the reply is read with reply().
    void command(const std::string& line) {
        std::fputs((line + "\n").c_str(), commands_);
        std::fflush(commands_);
    }

    // The numbers of the next "sent" line: one or two of them. False when the child is gone.
    bool reply(long long& first, long long& second) {
        char line[kLineBytes];
        if (std::fgets(line, sizeof line, replies_) == nullptr) {
            return false;
        }
        second = 0;
        return std::sscanf(line, "sent %lld %lld", &first, &second) >= 1;
    }

  private:
    static constexpr std::size_t kLineBytes = 128;

    static std::string siblingProgram(const char* name) {
        char self[PATH_MAX];
        const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
        std::string path = length > 0 ? std::string(self, static_cast<std::size_t>(length)) : "";
        return path.substr(0, path.find_last_of('/') + 1) + name;
    }

    pid_t child_ = -1;
    FILE* commands_ = nullptr;
    FILE* replies_ = nullptr;
    uint16_t sourcePort_ = 0;
};

}  // namespace tarn::bench

#endif  // TARN_BENCH_SENDER_PROCESS_H
