#include "stream/decoder.h"

#include "stream/workers.h"

namespace tarn::stream {

namespace {
constexpr int64_t kMicrosecondsPerMillisecond = 1000;
}  // namespace

Decoder::Decoder(const StreamStorage& storage, FrameQueue& frames, Publication& publication,
                 StreamCounters& counters, DeliveryGate& gate, tarn_stream* const& logStream)
    : running_(storage.running),
      decodeGrid_(storage.decodeGrid),
      kesoCallback_(storage.kesoFrameCallback),
      frames_(frames),
      publication_(publication),
      counters_(counters),
      gate_(gate),
      logStream_(logStream) {}

void Decoder::setCallback(tarn_frame_callback callback, void* user) {
    callback_ = callback;
    callbackUser_ = user;
}

void Decoder::deliver(const tarn_frame_info& info) {
    if (KESOFrameCallback callback = kesoCallback_.load()) {
        callback(decodeGrid_);
    }
    if (callback_ != nullptr) {
        callback_(reinterpret_cast<const tarn_point*>(decodeGrid_), &info, callbackUser_);
    }
}

bool Decoder::decodeQueued() {
    QueuedFrame frame;
    if (!frames_.takeToDecode(frame)) {
        return false;
    }
    // Once this frame is done with, the decode grid is the assembler's again.
    struct Finished {
        FrameQueue& frames;
        ~Finished() { frames.finished(); }
    } finished{frames_};
    // A frame is published and handed to the frame callback as one delivery: a waiter that was
    // given the frame can count on its callback.
    const Delivery delivery(gate_);
    if (frame.runs.empty() || !delivery.passed()) {
        return true;
    }
    tarn_frame_info info =
        frame.decoded ? frame.decodedInfo : decodeFrame(frame, decodeGrid_, logStream_);
    info.sequence = ++sequence_;
    bump(counters_.framesDecoded);
    if (info.complete == 0) {
        bump(counters_.framesIncomplete);
    }
    publication_.publish(decodeGrid_, &info);
    deliver(info);
    return true;
}

void Decoder::run() {
    const int64_t idleWait = kIdleWakeMilliseconds * kMicrosecondsPerMillisecond;
    while (running_.load()) {
        if (frames_.waitForFrame(idleWait)) {
            decodeQueued();
        }
    }
}

}  // namespace tarn::stream
