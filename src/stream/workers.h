// Bookkeeping of the data path's long-lived workers (receiver, assembler, decoder), so that a new
// connection starts its workers only after every worker of the previous one has returned.
#ifndef TARN_STREAM_WORKERS_H
#define TARN_STREAM_WORKERS_H

#include <chrono>

namespace tarn::stream {

// The receiver is the only worker that uses the socket; it is also counted on its own, so that
// the socket is closed only once it has returned.
enum class WorkerRole { kReceiver, kOther };

// Counts a worker that is about to be started. Called by the connecting thread before it starts
// the worker, so the count never misses a worker that has not run yet.
void workerStarting(WorkerRole role);

// Uncounts a worker: at the end of its body, or when it could not be started.
void workerReturned(WorkerRole role);

// Blocks until every counted worker has returned.
void waitForWorkersToReturn();

// Blocks until every counted worker has returned or limit has passed; true if they returned.
bool waitForWorkersToReturnFor(std::chrono::milliseconds limit);

// Blocks until the receiver has returned. The receiver never waits for anything but its 1 ms
// pauses, so after linkDeviceFlag went false this takes about a millisecond.
void waitForReceiverToReturn();

// Number of counted workers that have not returned yet.
int runningWorkers();

// True on a worker's own thread, that is also inside a callback called by a worker.
bool onWorkerThread();

// Held by a worker body for its whole run: marks the thread as a worker thread and uncounts the
// worker when the body returns or throws.
class WorkerScope {
  public:
    explicit WorkerScope(WorkerRole role);
    ~WorkerScope();
    WorkerScope(const WorkerScope&) = delete;
    WorkerScope& operator=(const WorkerScope&) = delete;

  private:
    WorkerRole role_;
};

}  // namespace tarn::stream

#endif  // TARN_STREAM_WORKERS_H
