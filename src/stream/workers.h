// Bookkeeping of a stream's long-lived workers (receiver, assembler, decoder), so that a new
// connection starts its workers only after every worker of the previous one has returned.
#ifndef TARN_STREAM_WORKERS_H
#define TARN_STREAM_WORKERS_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace tarn::stream {

// A worker that finds its queue empty sleeps at most this long before it looks at the stop flag
// again; stopping wakes it at once, so this only bounds the idle wake-ups.
constexpr int kIdleWakeMilliseconds = 1000;

// The receiver is the only worker that uses the socket; it is also counted on its own, so that
// the socket is closed only once it has returned.
enum class WorkerRole { kReceiver, kOther };

// The running workers of one stream. Any thread.
class WorkerSet {
  public:
    // Counts a worker that is about to be started. Called by the starting thread before it starts
    // the worker, so the count never misses a worker that has not run yet.
    void starting(WorkerRole role);
    // Uncounts a worker: at the end of its body, or when it could not be started.
    void returned(WorkerRole role);

    void waitForAll();
    // True when every worker returned within limit.
    bool waitForAllFor(std::chrono::milliseconds limit);
    // The receiver never waits for anything but its socket and its wake-up, so once the stream is
    // stopped this takes well under a millisecond.
    void waitForReceiver();
    int running();

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int workers_ = 0;
    int receivers_ = 0;
};

// True on any stream's worker thread, that is also inside a callback called by a worker.
bool onWorkerThread();

// Held by a worker body for its whole run: marks the thread as a worker thread and uncounts the
// worker when the body returns or throws.
class WorkerScope {
  public:
    WorkerScope(WorkerSet& set, WorkerRole role);
    ~WorkerScope();
    WorkerScope(const WorkerScope&) = delete;
    WorkerScope& operator=(const WorkerScope&) = delete;

  private:
    WorkerSet& set_;
    WorkerRole role_;
};

// Starts a detached thread running body; throws std::system_error when it cannot.
using WorkerLauncher = void (*)(std::function<void()> body);

// Replaces the way workers are started (tests use it to make a start fail); null restores the
// default. Call only while no stream is being opened or connected.
void setWorkerLauncher(WorkerLauncher launcher);
WorkerLauncher workerLauncher();

}  // namespace tarn::stream

#endif  // TARN_STREAM_WORKERS_H
