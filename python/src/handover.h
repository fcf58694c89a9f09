// Items handed over from a library thread to Python: a bounded queue that drops its oldest item
// when full, and that Python waits on with the GIL released.
#ifndef TARN_PYTHON_HANDOVER_H
#define TARN_PYTHON_HANDOVER_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>

#include "tarn/tarn.h"

namespace tarn::python {

template <typename Item>
class Handover {
  public:
    explicit Handover(std::size_t capacity) : capacity_(capacity) {}

    // The library thread that produces the items.
    void push(Item item) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (items_.size() == capacity_) {
                items_.pop_front();
                ++dropped_;
            }
            items_.push_back(std::move(item));
        }
        ready_.notify_one();
    }

    // Counts an item that never reached the queue.
    void countDropped() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++dropped_;
    }

    // Any thread, without the GIL. TARN_OK with the oldest item, TARN_ERR_TIMEOUT, or
    // TARN_ERR_NOT_CONNECTED once closed and empty.
    int pop(int timeoutMs, Item& item) {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                        [this] { return !items_.empty() || closed_; });
        if (items_.empty()) {
            return closed_ ? TARN_ERR_NOT_CONNECTED : TARN_ERR_TIMEOUT;
        }
        item = std::move(items_.front());
        items_.pop_front();
        return TARN_OK;
    }

    // Wakes every waiter; the items already queued can still be taken.
    void close() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
        }
        ready_.notify_all();
    }

    uint64_t dropped() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return dropped_;
    }

  private:
    const std::size_t capacity_;
    mutable std::mutex mutex_;  // guards everything below
    std::condition_variable ready_;
    std::deque<Item> items_;
    bool closed_ = false;
    uint64_t dropped_ = 0;
};

}  // namespace tarn::python

#endif  // TARN_PYTHON_HANDOVER_H
