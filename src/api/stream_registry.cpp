#include "api/stream_registry.h"

#include <chrono>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace tarn::api {

namespace {

using Streams = std::unordered_map<tarn_stream*, std::shared_ptr<tarn_stream>>;

// Made on first use and never destroyed, so that a stream opened from an application's static
// constructor, or closed by a worker while the process exits, finds them.
struct Registry {
    std::mutex mutex;
    Streams streams;
};
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
        std::vector<std::shared_ptr<tarn_stream>> streams;
        {
            std::lock_guard<std::mutex> lock(registry().mutex);
            for (const auto& entry : registry().streams) {
                streams.push_back(entry.second);
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

void addStream(const std::shared_ptr<tarn_stream>& stream) {
    std::lock_guard<std::mutex> lock(registry().mutex);
    registry().streams[stream.get()] = stream;
}

std::shared_ptr<stream::Engine> findStream(tarn_stream* handle) {
    if (handle == nullptr) {
        return nullptr;
    }
    if (handle == stream::defaultStream().handle()) {
        return std::shared_ptr<stream::Engine>(&stream::defaultStream(), [](stream::Engine*) {});
    }
    std::lock_guard<std::mutex> lock(registry().mutex);
    const auto found = registry().streams.find(handle);
    return found != registry().streams.end() ? found->second : nullptr;
}

std::shared_ptr<tarn_stream> removeStream(tarn_stream* handle) {
    std::lock_guard<std::mutex> lock(registry().mutex);
    const auto found = registry().streams.find(handle);
    if (found == registry().streams.end()) {
        return nullptr;
    }
    std::shared_ptr<tarn_stream> stream = std::move(found->second);
    registry().streams.erase(found);
    return stream;
}

}  // namespace tarn::api
