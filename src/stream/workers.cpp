#include "stream/workers.h"

#include <condition_variable>
#include <mutex>

namespace tarn::stream {

namespace {
// Running worker counts, guarded by workersMutex; any thread.
std::mutex workersMutex;
std::condition_variable workersReturned;
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
