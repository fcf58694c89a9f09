#include "stream/publication.h"

#include <chrono>

namespace tarn::stream {

namespace {
constexpr std::size_t kGridBytes = sizeof(KESOPointData) * KESO_ROWS * KESO_COLUMNS;
}  // namespace

Publication::Publication(const StreamStorage& storage)
    : publishedGrid_(storage.publishedGrid),
      decodeGrid_(storage.decodeGrid),
      published_(storage.published),
      mutex_(storage.publishedMutex),
      running_(storage.running) {}

void Publication::publish(Grid grid, const tarn_frame_info* info) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (running_.load()) {
            published_.store(true);
        }
        std::memcpy(publishedGrid_, grid, kGridBytes);
        holdsDecodeGrid_.store(grid == decodeGrid_);
        if (info != nullptr) {
            info_ = *info;
        }
        ++publications_;
    }
    changed_.notify_all();
}

int Publication::copy(Grid grid, tarn_frame_info* info) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!published_.load()) {
        return KESO_ERR_NO_FRAME;
    }
    if (grid != nullptr) {
        std::memcpy(grid, publishedGrid_, kGridBytes);
    }
    if (info != nullptr) {
        *info = info_;
    }
    return KESO_OK;
}

int Publication::wait(int timeoutMs, Grid grid, tarn_frame_info* info) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto ready = [this] {
        return !running_.load() || (published_.load() && publications_ > lastWaited_);
    };
    if (timeoutMs < 0) {
        changed_.wait(lock, ready);
    } else {
        changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
    }
    if (!running_.load()) {
        return TARN_ERR_NOT_CONNECTED;
    }
    if (!ready()) {
        return TARN_ERR_TIMEOUT;
    }
    lastWaited_ = publications_;
    if (grid != nullptr) {
        std::memcpy(grid, publishedGrid_, kGridBytes);
    }
    if (info != nullptr) {
        *info = info_;
    }
    return TARN_OK;
}

void Publication::withdraw() {
    {
        // Under the mutex: a publication that saw the stream running has finished, and every
        // later one sees it stopped, so nothing raises the flag again.
        std::lock_guard<std::mutex> lock(mutex_);
        published_.store(false);
    }
    changed_.notify_all();
}

}  // namespace tarn::stream
