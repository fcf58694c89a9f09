#include "stream/frame_queue.h"

#include <utility>

namespace tarn::stream {

bool FrameQueue::push(QueuedFrame frame) {
    const std::size_t bytes = frame.bytes;
    if (queuedBytes_.load() + bytes > kMaxQueuedFrameBytes) {
        bump(full_);
        return false;
    }
    queuedBytes_.fetch_add(bytes);
    if (!queue_.try_enqueue(std::move(frame))) {
        queuedBytes_.fetch_sub(bytes);
        bump(full_);
        return false;
    }
    ++pushed_;
    ready_.signal();
    return true;
}

bool FrameQueue::takeToDecode(QueuedFrame& frame) {
    if (!queue_.try_dequeue(frame)) {
        return false;
    }
    queuedBytes_.fetch_sub(frame.bytes);
    return true;
}

bool FrameQueue::take(QueuedFrame& frame) {
    if (!queue_.try_dequeue(frame)) {
        return false;
    }
    ready_.tryWait();
    queuedBytes_.fetch_sub(frame.bytes);
    finished();
    return true;
}

void FrameQueue::discardLeftovers() {
    QueuedFrame frame;
    while (queue_.try_dequeue(frame)) {
    }
    queuedBytes_.store(0);
    while (ready_.tryWait()) {
    }
    pushed_ = 0;
    finished_.store(0);
}

}  // namespace tarn::stream
