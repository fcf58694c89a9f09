#include "tools/tarn/frame_saver.h"

#include <cinttypes>
#include <cstdio>
#include <stdexcept>
#include <utility>

namespace tarn::cli {

FrameSaver::FrameSaver(std::string directory, std::size_t capacity, std::string prefix,
                       std::size_t workers, unsigned files)
    : directory_(std::move(directory)),
      capacity_(capacity == 0 ? 1 : capacity),
      prefix_(std::move(prefix)),
      files_(files) {
    for (std::size_t i = 0; i < (workers == 0 ? 1 : workers); ++i) {
        threads_.emplace_back([this] { work(); });
    }
}

FrameSaver::~FrameSaver() {
    finish();
}

bool FrameSaver::offer(const tarn_point* grid, const tarn_frame_info& info, bool waitForRoom) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (waitForRoom) {
        room_.wait(lock,
                   [this] { return finishing_ || !failure_.empty() || queue_.size() < capacity_; });
    }
    if (finishing_ || queue_.size() >= capacity_ || !failure_.empty()) {
        ++notSaved_;
        return false;
    }
    Item item;
    if (!spare_.empty()) {
        item.grid = std::move(spare_.back());
        spare_.pop_back();
    }
    lock.unlock();
    // The copy is made outside the lock so the writer is not held up by it.
    item.grid.assign(grid, grid + TARN_CELLS);
    item.sequence = info.sequence;
    lock.lock();
    queue_.push_back(std::move(item));
    lock.unlock();
    wake_.notify_one();
    return true;
}

void FrameSaver::finish() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        finishing_ = true;
    }
    wake_.notify_all();
    for (std::thread& thread : threads_) {
        if (thread.joinable()) {
            thread.join();
        }
    }
}

uint64_t FrameSaver::saved() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return saved_;
}

uint64_t FrameSaver::notSaved() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return notSaved_;
}

std::string FrameSaver::failure() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return failure_;
}

void FrameSaver::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return finishing_ || !queue_.empty(); });
        if (queue_.empty()) {
            return;  // finishing, and everything queued is written
        }
        Item item = std::move(queue_.front());
        queue_.pop_front();
        room_.notify_one();
        const bool failed = !failure_.empty();
        lock.unlock();
        char stem[32];
        std::snprintf(stem, sizeof stem, "frame-%06" PRIu64, item.sequence);
        std::string error;
        if (!failed) {
            try {
                writers::writeFrameFiles(directory_, stem,
                                         reinterpret_cast<writers::GridView>(item.grid.data()),
                                         files_);
                if (!prefix_.empty()) {
                    std::printf(
                        "%s: wrote %s.{ply,pcd,csv}, %s-depth.png, %s-depth16.png and "
                        "%s-intensity.png\n",
                        prefix_.c_str(), (directory_ + "/" + stem).c_str(), stem, stem, stem);
                }
            } catch (const std::runtime_error& e) {
                error = e.what();
            }
        }
        lock.lock();
        if (failed || !error.empty()) {
            ++notSaved_;
            if (failure_.empty()) {
                failure_ = error;
            }
        } else {
            ++saved_;
        }
        spare_.push_back(std::move(item.grid));
        room_.notify_one();  // a failure ends every wait for room
    }
}

}  // namespace tarn::cli
