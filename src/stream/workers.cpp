#include "stream/workers.h"

#include <condition_variable>
#include <mutex>

namespace tarn::stream {

namespace {
// Running worker count, guarded by workersMutex; any thread.
std::mutex workersMutex;
std::condition_variable workersReturned;
int workerCount = 0;
// Set on the worker threads only.
thread_local bool isWorkerThread = false;
}  // namespace

void workerStarting() {
    std::lock_guard<std::mutex> lock(workersMutex);
    ++workerCount;
}

void workerReturned() {
    std::lock_guard<std::mutex> lock(workersMutex);
    --workerCount;
    if (workerCount == 0) {
        workersReturned.notify_all();
    }
}

void waitForWorkersToReturn() {
    std::unique_lock<std::mutex> lock(workersMutex);
    workersReturned.wait(lock, [] { return workerCount == 0; });
}

int runningWorkers() {
    std::lock_guard<std::mutex> lock(workersMutex);
    return workerCount;
}

bool onWorkerThread() {
    return isWorkerThread;
}

WorkerScope::WorkerScope() {
    isWorkerThread = true;
}

WorkerScope::~WorkerScope() {
    isWorkerThread = false;
    workerReturned();
}

}  // namespace tarn::stream
