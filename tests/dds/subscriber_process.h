// The subscriber (dds_subscriber) in a process of its own: its lines are gathered on a thread,
// and the test waits for what it needs with a bounded wait.
#ifndef TARN_TESTS_DDS_SUBSCRIBER_PROCESS_H
#define TARN_TESTS_DDS_SUBSCRIBER_PROCESS_H

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tarn::dds::test {

class SubscriberProcess {
  public:
    explicit SubscriberProcess(const std::vector<std::string>& args) {
        int fds[2];
        if (pipe(fds) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        std::vector<char*> argv;
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = 0;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        reader_ = std::thread([this, fd = fds[0]] { read(fd); });
    }
    ~SubscriberProcess() { stop(); }

    bool started() const { return pid_ > 0; }

    // Waits until done(lines) holds, at most timeout; true when it does.
    bool waitFor(const std::function<bool(const std::vector<std::string>&)>& done,
                 std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return done(lines_) || ended_; }) &&
               done(lines_);
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    // Ends the process (SIGTERM) and waits for it and for its last lines.
    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
            pid_ = 0;
        }
        if (reader_.joinable()) {
            reader_.join();
        }
    }

  private:
    void read(int fd) {
        FILE* in = fdopen(fd, "r");
        char line[4096];
        while (in != nullptr && std::fgets(line, sizeof line, in) != nullptr) {
            std::string text(line);
            if (!text.empty() && text.back() == '\n') {
                text.pop_back();
            }
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(text);
            changed_.notify_all();
        }
        if (in != nullptr) {
            std::fclose(in);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
        changed_.notify_all();
    }

    pid_t pid_ = 0;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    bool ended_ = false;
};

}  // namespace tarn::dds::test

#endif  // TARN_TESTS_DDS_SUBSCRIBER_PROCESS_H
