#include "stream/publication.h"

#include <chrono>
#include <cstring>
#include <mutex>

#include "stream/engine.h"
#include "stream/stream_state.h"

namespace tarn::stream {

namespace {

constexpr std::size_t kGridBytes = sizeof(KESOPointData) * KESO_ROWS * KESO_COLUMNS;

template <typename Callback>
int registerCallback(std::atomic<Callback>& registered, Callback callback) {
    if (linkDeviceFlag.load()) {
        return KESO_ERR_CONNECTED;
    }
    if (callback != nullptr) {
        registered.store(callback);
    }
    return KESO_OK;
}

}  // namespace

void Engine::publish(Grid grid, const tarn_frame_info* info) {
    {
        std::lock_guard<std::mutex> lock(storage_.publishedMutex);
        if (storage_.running.load()) {
            storage_.published.store(true);
        }
        std::memcpy(storage_.publishedGrid, grid, kGridBytes);
        publishedIsDecoded_.store(grid == storage_.decodeGrid);
        if (info != nullptr) {
            publishedInfo_ = *info;
        }
        ++publications_;
    }
    publishedChanged_.notify_all();
}

int Engine::copyPublished(Grid grid, tarn_frame_info* info) {
    std::lock_guard<std::mutex> lock(storage_.publishedMutex);
    if (!storage_.published.load()) {
        return KESO_ERR_NO_FRAME;
    }
    if (grid != nullptr) {
        std::memcpy(grid, storage_.publishedGrid, kGridBytes);
    }
    if (info != nullptr) {
        *info = publishedInfo_;
    }
    return KESO_OK;
}

int Engine::waitPublished(int timeoutMs, Grid grid, tarn_frame_info* info) {
    std::unique_lock<std::mutex> lock(storage_.publishedMutex);
    const auto ready = [this] {
        return !storage_.running.load() ||
               (storage_.published.load() && publications_ > lastWaited_);
    };
    if (timeoutMs < 0) {
        publishedChanged_.wait(lock, ready);
    } else {
        publishedChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
    }
    if (!storage_.running.load()) {
        return TARN_ERR_NOT_CONNECTED;
    }
    if (!ready()) {
        return TARN_ERR_TIMEOUT;
    }
    lastWaited_ = publications_;
    if (grid != nullptr) {
        std::memcpy(grid, storage_.publishedGrid, kGridBytes);
    }
    if (info != nullptr) {
        *info = publishedInfo_;
    }
    return TARN_OK;
}

void publishFrame(KESOPointData (*grid)[KESO_COLUMNS]) {
    if (grid != nullptr) {
        defaultStream().publish(grid, nullptr);
    }
}

int copyPublishedFrame(KESOPointData (*grid)[KESO_COLUMNS]) {
    if (grid == nullptr) {
        return KESO_ERR_NO_FRAME;
    }
    return defaultStream().copyPublished(grid, nullptr);
}

int registerFrameCallback(KESOFrameCallback callback) {
    return registerCallback(frameUpdateFunc, callback);
}

int registerImuCallback(KESOImuCallback callback) {
    return registerCallback(imuUpdateFunc, callback);
}

}  // namespace tarn::stream
