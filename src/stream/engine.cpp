#include "stream/engine.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <utility>

#include "api/log.h"
#include "stream/assembler.h"
#include "stream/decoder.h"

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
        return StreamStorage{socket,           running,          datagramQueue,
                             frameQueue,       ring.get(),       ringIndex,
                             pixelBytes,       decodeGrid.get(), publishedGrid.get(),
                             published,        publishedMutex,   kesoFrameCallback,
                             kesoImuCallback};
    }
};

namespace {

constexpr int64_t kMicrosecondsPerMillisecond = 1000;

// Two frames of the largest pixels, as the kernel counts a receive buffer: it books about twice
// a datagram's length for each queued datagram.
constexpr int kKernelBookingFactor = 2;
constexpr int64_t kTwoFramesOfBuffer = 2 * kKernelBookingFactor * int64_t{kLargestFrameBytes};

}  // namespace

Engine::Engine(const StreamStorage& storage)
    : storage_(storage), slotTimes_(new ReceiveTime[kRingSlots]()) {
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

Engine::Engine() : Engine(std::make_unique<OwnedStorage>()) {}

Engine::Engine(std::unique_ptr<OwnedStorage> owned) : Engine(owned->view()) {
    owned_ = std::move(owned);
}

Engine::~Engine() {
    const int socket = storage_.socket.exchange(-1);
    if (socket != -1) {
        close(socket);
    }
    if (wakeFd_ != -1) {
        close(wakeFd_);
    }
}

void Engine::discardLeftovers() {
    clearDatagrams();
    QueuedFrame frame;
    while (storage_.frameQueue.try_dequeue(frame)) {
    }
    queuedFrameBytes_.store(0);
    while (datagramsReady_.tryWait()) {
    }
    while (framesReady_.tryWait()) {
    }
    uint64_t wakeups = 0;
    if (wakeFd_ != -1 && read(wakeFd_, &wakeups, sizeof wakeups) < 0) {
        // Nothing was pending.
    }
    counters_.reset();
    rejected_.reset();
    framesPushed_ = 0;
    framesFinished_.store(0);
    sequence_ = 0;
    unannounced_ = 0;
}

void Engine::wakeWorkers() {
    const uint64_t one = 1;
    if (wakeFd_ != -1 && write(wakeFd_, &one, sizeof one) < 0) {
        // The counter is already non-zero: the receiver wakes anyway.
    }
    datagramsReady_.signal();
    framesReady_.signal();
}

void Engine::stop() {
    storage_.running.store(false);
    {
        // Under the publication mutex: a publication that saw the stream running has finished,
        // and every later one sees it stopped, so nothing raises the flag again.
        std::lock_guard<std::mutex> lock(storage_.publishedMutex);
        storage_.published.store(false);
    }
    publishedChanged_.notify_all();
    wakeWorkers();
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
        startWorker(self, WorkerRole::kReceiver, [](Engine& engine, const SourceFilter& accepted) {
            engine.runReceiver(accepted);
        }, filter);
        startWorker(self, WorkerRole::kOther,
                    [](Engine& engine, const SourceFilter&) { engine.runAssembler(); }, filter);
        startWorker(self, WorkerRole::kOther,
                    [](Engine& engine, const SourceFilter&) { engine.runDecoder(); }, filter);
    } catch (...) {
        stop();
        throw;
    }
}

void Engine::setUpReceiveBuffer(int socket) {
    const int enable = 1;
    setsockopt(socket, SOL_SOCKET, SO_RXQ_OVFL, &enable, sizeof enable);
    // Arrival times from the kernel: the receiver may read a datagram a while after it arrived.
    setsockopt(socket, SOL_SOCKET, SO_TIMESTAMPNS, &enable, sizeof enable);
    int granted = 0;
    socklen_t length = sizeof granted;
    if (getsockopt(socket, SOL_SOCKET, SO_RCVBUF, &granted, &length) != 0) {
        return;
    }
    counters_.receiveBufferBytes.store(static_cast<uint64_t>(granted), std::memory_order_relaxed);
    if (granted < kTwoFramesOfBuffer) {
        log::format(logStream_, log::Destination::kStandardError,
                    "receive buffer: the kernel granted %d bytes, fewer than two frames need "
                    "(%lld bytes); raise net.core.rmem_max, for example "
                    "'sysctl -w net.core.rmem_max=%lld', and connect again",
                    granted, static_cast<long long>(kTwoFramesOfBuffer),
                    static_cast<long long>(kTwoFramesOfBuffer));
    }
}

// ---- Assembler ----

bool Engine::pushFrame(QueuedFrame frame) {
    const std::size_t bytes = frame.bytes;
    if (queuedFrameBytes_.load() + bytes > kMaxQueuedFrameBytes) {
        bump(counters_.framesQueueFull);
        return false;
    }
    queuedFrameBytes_.fetch_add(bytes);
    if (!storage_.frameQueue.try_enqueue(std::move(frame))) {
        queuedFrameBytes_.fetch_sub(bytes);
        bump(counters_.framesQueueFull);
        return false;
    }
    ++framesPushed_;
    framesReady_.signal();
    return true;
}

bool Engine::takeFrame(QueuedFrame& frame) {
    if (!storage_.frameQueue.try_dequeue(frame)) {
        return false;
    }
    framesReady_.tryWait();
    queuedFrameBytes_.fetch_sub(frame.bytes);
    framesFinished_.fetch_add(1, std::memory_order_release);
    return true;
}

void Engine::deliverImu(const KESOImuData& sample) {
    const Delivery delivery(gate_);
    if (!delivery.passed()) {
        return;
    }
    if (KESOImuCallback callback = storage_.kesoImuCallback.load()) {
        callback(sample);
    }
    if (callbacks_.imu != nullptr) {
        callbacks_.imu(reinterpret_cast<const tarn_imu_sample*>(&sample), callbacks_.imuUser);
    }
}

bool Engine::assembleQueued(WorkingFrame& frame) {
    OriginDataPack* pack = nullptr;
    if (!storage_.datagramQueue.try_dequeue(pack)) {
        return false;
    }
    takenPointers_.fetch_add(1, std::memory_order_release);
    const std::size_t length = pack->len < kMaxDatagramBytes ? pack->len : kMaxDatagramBytes;
    const std::ptrdiff_t slot = pack - storage_.ring;
    const ReceiveTime received = slot >= 0 && slot < kRingSlots ? slotTimes_[slot] : ReceiveTime{};
    const AssemblyContext context{storage_.pixelBytes, &counters_, logStream_, *runPool_};
    KESOImuData sample{};
    const AssemblyResult result = assembleDatagram(pack->data, length, frame, &sample, context);
    decodeArrived(frame);
    switch (result) {
        case AssemblyResult::kFrameCompleted:
            queueCompleted(frame, received);
            break;
        case AssemblyResult::kImuSample:
            deliverImu(sample);
            break;
        default:
            break;
    }
    return true;
}

void Engine::decodeArrived(const WorkingFrame& frame) {
    if (arriving_.outdatedBy(frame)) {
        undoArrived();
    }
    // The grid is the assembler's only while the decoder has finished every frame pushed to it.
    if (frame.count == 0 || framesFinished_.load(std::memory_order_acquire) != framesPushed_) {
        return;
    }
    // A frame is begun in the grid only when the grid can be brought back should it be lost, and
    // not while a backlog waits.
    if (!arriving_.writing() &&
        (!publishedIsDecoded_.load() ||
         queuedDatagramPointers() > kMostBacklogForIncrementalDecode)) {
        return;
    }
    arriving_.catchUp(frame, storage_.decodeGrid);
}

// The rows the lost frame wrote are copied back from the published grid, which holds the decode
// grid as it was before. An application that published a grid of its own meanwhile
// (KESOSetFrame) gets that grid's rows instead.
void Engine::undoArrived() {
    {
        std::lock_guard<std::mutex> lock(storage_.publishedMutex);
        arriving_.forEachTouchedRow([this](std::size_t row) {
            std::memcpy(storage_.decodeGrid[row], storage_.publishedGrid[row],
                        sizeof(KESOPointData) * KESO_COLUMNS);
        });
    }
    arriving_.reset();
}

void Engine::queueCompleted(const WorkingFrame& frame, const ReceiveTime& lastReceived) {
    QueuedFrame queued = frameToQueue(frame, lastReceived);
    const bool decoded = arriving_.writing();
    if (decoded) {
        queued.decoded = true;
        queued.decodedInfo = arriving_.info(queued);
    }
    if (!pushFrame(std::move(queued)) && decoded) {
        undoArrived();
    }
    arriving_.reset();
}

void Engine::runAssembler() {
    arriving_.reset();
    WorkingFrame frame;
    const int64_t idleWait = kIdleWakeMilliseconds * kMicrosecondsPerMillisecond;
    // A wake-up means "look at the queue", not "one datagram": the receiver wakes the assembler only
    // when a frame may be complete, for an IMU sample, or when datagrams pile up.
    // The stop is looked at before each datagram, so that a stopped stream delivers nothing of
    // what is still queued.
    while (storage_.running.load()) {
        while (storage_.running.load() && assembleQueued(frame)) {
        }
        datagramsReady_.wait(idleWait);
    }
    // The decoder takes nothing more, so the grid is the assembler's.
    if (arriving_.writing()) {
        undoArrived();
    }
}

// ---- Decoder ----

void Engine::deliverFrame(const tarn_frame_info& info) {
    if (KESOFrameCallback callback = storage_.kesoFrameCallback.load()) {
        callback(storage_.decodeGrid);
    }
    if (callbacks_.frame != nullptr) {
        callbacks_.frame(reinterpret_cast<const tarn_point*>(storage_.decodeGrid), &info,
                         callbacks_.frameUser);
    }
}

bool Engine::decodeQueued() {
    QueuedFrame frame;
    if (!storage_.frameQueue.try_dequeue(frame)) {
        return false;
    }
    queuedFrameBytes_.fetch_sub(frame.bytes);
    // Once this frame is done with, the decode grid is the assembler's again.
    struct Finished {
        std::atomic<uint64_t>& frames;
        ~Finished() { frames.fetch_add(1, std::memory_order_release); }
    } finished{framesFinished_};
    // A frame is published and handed to the frame callback as one delivery: a waiter that was
    // given the frame can count on its callback.
    const Delivery delivery(gate_);
    if (frame.runs.empty() || !delivery.passed()) {
        return true;
    }
    tarn_frame_info info = frame.decoded ? frame.decodedInfo
                                         : decodeFrame(frame, storage_.decodeGrid, logStream_);
    info.sequence = ++sequence_;
    bump(counters_.framesDecoded);
    if (info.complete == 0) {
        bump(counters_.framesIncomplete);
    }
    publish(storage_.decodeGrid, &info);
    deliverFrame(info);
    return true;
}

void Engine::runDecoder() {
    const int64_t idleWait = kIdleWakeMilliseconds * kMicrosecondsPerMillisecond;
    while (storage_.running.load()) {
        if (framesReady_.wait(idleWait)) {
            decodeQueued();
        }
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
        auto* made = new std::shared_ptr<Engine>(std::make_shared<Engine>(StreamStorage{
            sockfd, linkDeviceFlag, defaultDatagramQueue(), defaultFrameQueue(), defaultRing(),
            m_big_buffer_index, m_one_pixel_len, frame_, realTimeData_, realTimeDataFlag_,
            realTimeDataMutex_, frameUpdateFunc, imuUpdateFunc}));
        (*made)->setLogStream(defaultStreamHandle());
        return made;
    }();
    return *stream;
}

Engine& defaultStream() {
    return *defaultStreamShared();
}

}  // namespace tarn::stream
