#include "stream/engine.h"

#include <unistd.h>

#include <utility>

#include "stream/stream_state.h"

namespace tarn::stream {

struct Engine::OwnedStorage {
    std::atomic<int> socket{-1};
    std::atomic<bool> running{false};
    OriginDataQueue datagramQueue{kOriginQueueCapacity};
    PackgedDataQueue frameQueue{kFrameQueueCapacity};
    std::unique_ptr<OriginDataPack[]> ring{new OriginDataPack[kRingSlots]};
    uint64_t ringIndex = 0;
    std::atomic<int32_t> pixelBytes{0};
    GridStorage decodeGrid{new KESOPointData[KESO_ROWS][KESO_COLUMNS]()};
    GridStorage publishedGrid{new KESOPointData[KESO_ROWS][KESO_COLUMNS]()};
    std::atomic<bool> published{false};
    std::mutex publishedMutex;
    std::atomic<KESOFrameCallback> kesoFrameCallback{nullptr};
    std::atomic<KESOImuCallback> kesoImuCallback{nullptr};

    StreamStorage view() {
        return StreamStorage{
            socket,         running,           datagramQueue,    frameQueue,          ring.get(),
            ringIndex,      pixelBytes,        decodeGrid.get(), publishedGrid.get(), published,
            publishedMutex, kesoFrameCallback, kesoImuCallback};
    }
};

Engine::Engine(const StreamStorage& storage) : storage_(storage) {}

Engine::Engine() : Engine(std::make_unique<OwnedStorage>()) {}

Engine::Engine(std::unique_ptr<OwnedStorage> owned) : Engine(owned->view()) {
    owned_ = std::move(owned);
}

Engine::~Engine() {
    const int socket = storage_.socket.exchange(-1);
    if (socket != -1) {
        close(socket);
    }
}

void Engine::discardLeftovers() {
    datagrams_.discardLeftovers();
    frames_.discardLeftovers();
    receiver_.discardLeftovers();
    counters_.reset();
    decoder_.resetSequence();
}

void Engine::setCallbacks(const StreamCallbacks& callbacks) {
    receiver_.setCallback(callbacks.datagram, callbacks.datagramUser);
    assembler_.setCallback(callbacks.imu, callbacks.imuUser);
    decoder_.setCallback(callbacks.frame, callbacks.frameUser);
}

void Engine::stop() {
    storage_.running.store(false);
    publication_.withdraw();
    receiver_.wake();
    datagrams_.wakeAssembler();
    frames_.wakeDecoder();
}

void Engine::startWorker(const std::shared_ptr<Engine>& self, WorkerRole role,
                         void (*body)(Engine&, const SourceFilter&), const SourceFilter& filter) {
    workers_.starting(role);
    try {
        workerLauncher()([self, role, body, filter] {
            WorkerScope scope(self->workers_, role);
            body(*self, filter);
        });
    } catch (...) {
        workers_.returned(role);
        throw;
    }
}

void Engine::start(const std::shared_ptr<Engine>& self, const SourceFilter& filter) {
    storage_.running.store(true);
    try {
        startWorker(
            self, WorkerRole::kReceiver,
            [](Engine& engine, const SourceFilter& accepted) { engine.receiver_.run(accepted); },
            filter);
        startWorker(
            self, WorkerRole::kOther,
            [](Engine& engine, const SourceFilter&) { engine.assembler_.run(); }, filter);
        startWorker(
            self, WorkerRole::kOther,
            [](Engine& engine, const SourceFilter&) { engine.decoder_.run(); }, filter);
    } catch (...) {
        stop();
        throw;
    }
}

PackgedDataQueue& defaultFrameQueue() {
    static PackgedDataQueue* const queue = new PackgedDataQueue(kFrameQueueCapacity);
    return *queue;
}

OriginDataQueue& defaultDatagramQueue() {
    static OriginDataQueue* const queue = new OriginDataQueue(kOriginQueueCapacity);
    return *queue;
}

OriginDataPack* defaultRing() {
    static OriginDataPack* const ring = new OriginDataPack[kRingSlots];
    return ring;
}

tarn_stream* defaultStreamHandle() {
    return reinterpret_cast<tarn_stream*>(uintptr_t{1});
}

// The other process-wide objects it works on are constant-initialised, so they exist before any
// constructor runs.
const std::shared_ptr<Engine>& defaultStreamShared() {
    static const std::shared_ptr<Engine>* const stream = [] {
        auto* made = new std::shared_ptr<Engine>(std::make_shared<Engine>(
            StreamStorage{sockfd, linkDeviceFlag, defaultDatagramQueue(), defaultFrameQueue(),
                          defaultRing(), m_big_buffer_index, m_one_pixel_len, frame_, realTimeData_,
                          realTimeDataFlag_, realTimeDataMutex_, frameUpdateFunc, imuUpdateFunc}));
        (*made)->setLogStream(defaultStreamHandle());
        return made;
    }();
    return *stream;
}

Engine& defaultStream() {
    return *defaultStreamShared();
}

}  // namespace tarn::stream
