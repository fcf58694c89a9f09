#include "stream/workers.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tarn::stream {

namespace {
// Running worker counts, guarded by workersMutex; any thread. The mutex and the condition
// variable are never destroyed, so a worker that is still ending at process exit finds them.
std::mutex& workersMutex = *new std::mutex;
std::condition_variable& workersReturned = *new std::condition_variable;
int workerCount = 0;
int receiverCount = 0;
// Set on the worker threads only.
thread_local bool isWorkerThread = false;
}  // namespace

void workerStarting(WorkerRole role) {
    std::lock_guard<std::mutex> lock(workersMutex);
    ++workerCount;
    if (role == WorkerRole::kReceiver) {
        ++receiverCount;
    }
}

void workerReturned(WorkerRole role) {
    std::lock_guard<std::mutex> lock(workersMutex);
    --workerCount;
    if (role == WorkerRole::kReceiver) {
        --receiverCount;
    }
    workersReturned.notify_all();
}

void waitForWorkersToReturn() {
    std::unique_lock<std::mutex> lock(workersMutex);
    workersReturned.wait(lock, [] { return workerCount == 0; });
}

bool waitForWorkersToReturnFor(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(workersMutex);
    return workersReturned.wait_for(lock, limit, [] { return workerCount == 0; });
}

void waitForReceiverToReturn() {
    std::unique_lock<std::mutex> lock(workersMutex);
    workersReturned.wait(lock, [] { return receiverCount == 0; });
}

int runningWorkers() {
    std::lock_guard<std::mutex> lock(workersMutex);
    return workerCount;
}

bool onWorkerThread() {
    return isWorkerThread;
}

WorkerScope::WorkerScope(WorkerRole role) : role_(role) {
    isWorkerThread = true;
}

WorkerScope::~WorkerScope() {
    isWorkerThread = false;
    workerReturned(role_);
}

}  // namespace tarn::stream
