#include "writer_thread.h"

#include <utility>

namespace tarn::mcap {

WriterThread::WriterThread(McapWriter& writer, std::size_t capacity)
    : writer_(writer), capacity_(capacity == 0 ? 1 : capacity), thread_([this] { run(); }) {}

WriterThread::~WriterThread() {
    finish();
}

bool WriterThread::reserve(std::size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.size() + count <= capacity_) {
        return true;
    }
    dropped_ += count;
    return false;
}

std::vector<uint8_t> WriterThread::buffer() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (spare_.empty()) {
        return {};
    }
    std::vector<uint8_t> bytes = std::move(spare_.back());
    spare_.pop_back();
    return bytes;
}

void WriterThread::push(uint16_t channel, uint64_t time, std::vector<uint8_t> bytes) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back({channel, time, std::move(bytes)});
    }
    ready_.notify_one();
}

void WriterThread::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) {
            return;  // stopping, and everything is written
        }
        Message message = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        if (error_.load(std::memory_order_relaxed) == WriteResult::kOk) {
            const WriteResult result = writer_.write(message.channel, message.time, message.time,
                                                     message.bytes.data(), message.bytes.size());
            if (result != WriteResult::kOk) {
                error_.store(result, std::memory_order_release);
            }
        }
        lock.lock();
        if (spare_.size() < capacity_) {
            spare_.push_back(std::move(message.bytes));
        }
    }
}

void WriterThread::finish() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    ready_.notify_one();
    if (thread_.joinable()) {
        thread_.join();
    }
}

}  // namespace tarn::mcap
