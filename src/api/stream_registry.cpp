#include "api/stream_registry.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace tarn::api {

namespace {

using Streams = std::unordered_map<tarn_stream*, tarn_stream>;

// Made on first use and never destroyed, so that a stream opened from an application's static
// constructor, or closed by a worker while the process exits, finds them.
struct Registry {
    std::mutex mutex;
    Streams streams;
};

// The number of the next handle. 1 is the default stream's; 64 bits never run out.
std::atomic<uintptr_t> nextHandle{2};
Registry& registry() {
    static Registry* const made = new Registry;
    return *made;
}

// Bounds the wait for each stream's workers at process exit; a callback that never returns cannot
// hold up the exit for good.
constexpr std::chrono::milliseconds kExitStopLimit{2000};

struct StopStreamsAtExit {
    ~StopStreamsAtExit() {
        if (stream::onWorkerThread()) {
            return;
        }
        std::vector<std::shared_ptr<stream::Engine>> streams;
        {
            std::lock_guard<std::mutex> lock(registry().mutex);
            for (const auto& entry : registry().streams) {
                streams.push_back(entry.second.rep);
            }
        }
        for (const auto& stream : streams) {
            stream->stop();
        }
        for (const auto& stream : streams) {
            stream->workers().waitForAllFor(kExitStopLimit);
        }
    }
} stopStreamsAtExit;

}  // namespace

tarn_stream* newHandle() {
    static_assert(sizeof(uintptr_t) >= sizeof(uint64_t), "handle numbers never wrap");
    return reinterpret_cast<tarn_stream*>(nextHandle.fetch_add(1));
}

void addStream(tarn_stream* handle, std::shared_ptr<stream::Engine> engine) {
    std::lock_guard<std::mutex> lock(registry().mutex);
    registry().streams[handle] = tarn_stream{std::move(engine)};
}

std::shared_ptr<stream::Engine> findStream(tarn_stream* handle) {
    if (handle == nullptr) {
        return nullptr;
    }
    if (handle == stream::defaultStreamHandle()) {
        return stream::defaultStreamShared();
    }
    std::lock_guard<std::mutex> lock(registry().mutex);
    const auto found = registry().streams.find(handle);
    return found != registry().streams.end() ? found->second.rep : nullptr;
}

std::shared_ptr<stream::Engine> removeStream(tarn_stream* handle) {
    std::lock_guard<std::mutex> lock(registry().mutex);
    const auto found = registry().streams.find(handle);
    if (found == registry().streams.end()) {
        return nullptr;
    }
    std::shared_ptr<stream::Engine> stream = std::move(found->second.rep);
    registry().streams.erase(found);
    return stream;
}

}  // namespace tarn::api
