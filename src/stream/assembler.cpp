#include "stream/assembler.h"

#include <utility>

#include "stream/workers.h"

namespace tarn::stream {

namespace {
constexpr int64_t kMicrosecondsPerMillisecond = 1000;
}  // namespace

Assembler::Assembler(const StreamStorage& storage, DatagramQueue& datagrams,
                     const ReceiveRing& ring, FrameQueue& frames, Publication& publication,
                     StreamCounters& counters, DeliveryGate& gate, tarn_stream* const& logStream)
    : running_(storage.running),
      pixelBytes_(storage.pixelBytes),
      decodeGrid_(storage.decodeGrid),
      kesoCallback_(storage.kesoImuCallback),
      datagrams_(datagrams),
      ring_(ring),
      frames_(frames),
      publication_(publication),
      counters_(counters),
      gate_(gate),
      logStream_(logStream) {}

void Assembler::setCallback(tarn_imu_callback callback, void* user) {
    callback_ = callback;
    callbackUser_ = user;
}

void Assembler::deliverImu(const KESOImuData& sample) {
    const Delivery delivery(gate_);
    if (!delivery.passed()) {
        return;
    }
    if (KESOImuCallback callback = kesoCallback_.load()) {
        callback(sample);
    }
    if (callback_ != nullptr) {
        callback_(reinterpret_cast<const tarn_imu_sample*>(&sample), callbackUser_);
    }
}

bool Assembler::assembleQueued() {
    OriginDataPack* pack = nullptr;
    if (!datagrams_.takeNext(pack)) {
        return false;
    }
    const std::size_t length = pack->len < kMaxDatagramBytes ? pack->len : kMaxDatagramBytes;
    const ReceiveTime received = ring_.arrivalOf(pack);
    const AssemblyContext context{pixelBytes_, &counters_, logStream_, *runPool_};
    KESOImuData sample{};
    const AssemblyResult result = assembleDatagram(pack->data, length, frame_, &sample, context);
    decodeArrived();
    switch (result) {
        case AssemblyResult::kFrameCompleted:
            queueCompleted(received);
            break;
        case AssemblyResult::kImuSample:
            deliverImu(sample);
            break;
        default:
            break;
    }
    return true;
}

void Assembler::decodeArrived() {
    if (arriving_.outdatedBy(frame_)) {
        undoArrived();
    }
    if (frame_.count == 0 || !frames_.decoderCaughtUp()) {
        return;
    }
    // A frame is begun in the grid only when the grid can be brought back should it be lost, and
    // not while a backlog waits.
    if (!arriving_.writing() && (!publication_.holdsDecodeGrid() ||
                                 datagrams_.queued() > kMostBacklogForIncrementalDecode)) {
        return;
    }
    arriving_.catchUp(frame_, decodeGrid_);
}

// The rows the lost frame wrote are copied back from the published grid, which holds the decode
// grid as it was before. An application that published a grid of its own meanwhile
// (KESOSetFrame) gets that grid's rows instead.
void Assembler::undoArrived() {
    publication_.copyRowsInto(decodeGrid_,
                              [this](auto visit) { arriving_.forEachTouchedRow(visit); });
    arriving_.reset();
}

void Assembler::queueCompleted(const ReceiveTime& lastReceived) {
    QueuedFrame queued = frameToQueue(frame_, lastReceived);
    const bool decoded = arriving_.writing();
    if (decoded) {
        queued.decoded = true;
        queued.decodedInfo = arriving_.info(queued);
    }
    if (!frames_.push(std::move(queued)) && decoded) {
        undoArrived();
    }
    arriving_.reset();
}

void Assembler::run() {
    arriving_.reset();
    frame_ = WorkingFrame{};
    const int64_t idleWait = kIdleWakeMilliseconds * kMicrosecondsPerMillisecond;
    // A wake-up means "look at the queue", not "one datagram": the receiver wakes the assembler
    // only when a frame may be complete, for an IMU sample, or when datagrams pile up. The stop
    // is looked at before each datagram, so that a stopped stream delivers nothing of what is
    // still queued.
    while (running_.load()) {
        while (running_.load() && assembleQueued()) {
        }
        datagrams_.waitForDatagrams(idleWait);
    }
    // The decoder takes nothing more, so the grid is the assembler's.
    if (arriving_.writing()) {
        undoArrived();
    }
    frame_ = WorkingFrame{};
}

}  // namespace tarn::stream
