#include "stream/publication.h"

#include <cstring>
#include <mutex>

#include "stream/stream_state.h"

namespace tarn::stream {

namespace {

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

void publishFrame(KESOPointData (*grid)[KESO_COLUMNS]) {
    std::lock_guard<std::mutex> lock(realTimeDataMutex_);
    if (linkDeviceFlag.load()) {
        realTimeDataFlag_.store(true);
    }
    std::memcpy(realTimeData_, grid, sizeof realTimeData_);
}

int copyPublishedFrame(KESOPointData (*grid)[KESO_COLUMNS]) {
    std::lock_guard<std::mutex> lock(realTimeDataMutex_);
    if (!realTimeDataFlag_.load()) {
        return KESO_ERR_NO_FRAME;
    }
    std::memcpy(grid, realTimeData_, sizeof realTimeData_);
    return KESO_OK;
}

int registerFrameCallback(KESOFrameCallback callback) {
    return registerCallback(frameUpdateFunc, callback);
}

int registerImuCallback(KESOImuCallback callback) {
    return registerCallback(imuUpdateFunc, callback);
}

}  // namespace tarn::stream
