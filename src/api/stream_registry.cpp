#include "api/stream_registry.h"

#include <chrono>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace tarn::api {

namespace {

using Streams = std::unordered_map<tarn_stream*, std::shared_ptr<tarn_stream>>;

// Never destroyed, so that a stream closed by a worker while the process exits finds it.
std::mutex& registryMutex = *new std::mutex;
Streams& openStreams = *new Streams;

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
            std::lock_guard<std::mutex> lock(registryMutex);
            for (const auto& entry : openStreams) {
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
    std::lock_guard<std::mutex> lock(registryMutex);
    openStreams[stream.get()] = stream;
}

std::shared_ptr<stream::Engine> findStream(tarn_stream* handle) {
    if (handle == nullptr) {
        return nullptr;
    }
    if (handle == stream::defaultStream().handle()) {
        return std::shared_ptr<stream::Engine>(&stream::defaultStream(), [](stream::Engine*) {});
    }
    std::lock_guard<std::mutex> lock(registryMutex);
    const auto found = openStreams.find(handle);
    return found != openStreams.end() ? found->second : nullptr;
}

std::shared_ptr<tarn_stream> removeStream(tarn_stream* handle) {
    std::lock_guard<std::mutex> lock(registryMutex);
    const auto found = openStreams.find(handle);
    if (found == openStreams.end()) {
        return nullptr;
    }
    std::shared_ptr<tarn_stream> stream = std::move(found->second);
    openStreams.erase(found);
    return stream;
}

}  // namespace tarn::api
