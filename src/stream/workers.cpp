#include "stream/workers.h"

#include <thread>
#include <utility>

namespace tarn::stream {

namespace {
// Set on the worker threads only.
thread_local bool isWorkerThread = false;

void launchDetached(std::function<void()> body) {
    std::thread(std::move(body)).detach();
}

// Written only while no stream is being started.
WorkerLauncher currentLauncher = launchDetached;
}  // namespace

void WorkerSet::starting(WorkerRole role) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++workers_;
    if (role == WorkerRole::kReceiver) {
        ++receivers_;
    }
}

void WorkerSet::returned(WorkerRole role) {
    std::lock_guard<std::mutex> lock(mutex_);
    --workers_;
    if (role == WorkerRole::kReceiver) {
        --receivers_;
    }
    changed_.notify_all();
}

void WorkerSet::waitForAll() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return workers_ == 0; });
}

bool WorkerSet::waitForAllFor(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [this] { return workers_ == 0; });
}

void WorkerSet::waitForReceiver() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return receivers_ == 0; });
}

int WorkerSet::running() {
    std::lock_guard<std::mutex> lock(mutex_);
    return workers_;
}

bool onWorkerThread() {
    return isWorkerThread;
}

WorkerScope::WorkerScope(WorkerSet& set, WorkerRole role) : set_(set), role_(role) {
    isWorkerThread = true;
}

WorkerScope::~WorkerScope() {
    isWorkerThread = false;
    set_.returned(role_);
}

void setWorkerLauncher(WorkerLauncher launcher) {
    currentLauncher = launcher != nullptr ? launcher : launchDetached;
}

WorkerLauncher workerLauncher() {
    return currentLauncher;
}

}  // namespace tarn::stream
