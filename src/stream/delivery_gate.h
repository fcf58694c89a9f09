// The gate every callback of a stream passes: once the stream is stopped, no callback starts any
// more, and the stopping thread can wait for the ones already running to return.
#ifndef TARN_STREAM_DELIVERY_GATE_H
#define TARN_STREAM_DELIVERY_GATE_H

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace tarn::stream {

class DeliveryGate {
  public:
    // running is the stream's stop flag: the gate is open while it is true.
    explicit DeliveryGate(std::atomic<bool>& running) : running_(running) {}

    // True when the stream still runs; the caller then delivers and calls leave(). A delivery is
    // counted before the flag is read and the stopping thread clears the flag before it reads the
    // count (both sequentially consistent), so either the delivery sees the stop or the stopping
    // thread sees the delivery.
    bool enter() {
        active_.fetch_add(1);
        if (running_.load()) {
            return true;
        }
        leave();
        return false;
    }

    void leave() {
        if (active_.fetch_sub(1) == 1 && waiters_.load() > 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            idle_.notify_all();
        }
    }

    // Returns once no delivery is running. Call after clearing the stop flag, never from inside a
    // delivery of the stream.
    void waitUntilIdle() {
        waiters_.fetch_add(1);
        {
            std::unique_lock<std::mutex> lock(mutex_);
            idle_.wait(lock, [this] { return active_.load() == 0; });
        }
        waiters_.fetch_sub(1);
    }

  private:
    std::atomic<bool>& running_;
    std::atomic<int> active_{0};
    std::atomic<int> waiters_{0};
    std::mutex mutex_;
    std::condition_variable idle_;
};

// Enters the gate for one delivery; passed() is false when the stream has stopped.
class Delivery {
  public:
    explicit Delivery(DeliveryGate& gate) : gate_(gate), passed_(gate.enter()) {}
    ~Delivery() {
        if (passed_) {
            gate_.leave();
        }
    }
    Delivery(const Delivery&) = delete;
    Delivery& operator=(const Delivery&) = delete;
    bool passed() const { return passed_; }

  private:
    DeliveryGate& gate_;
    bool passed_;
};

}  // namespace tarn::stream

#endif  // TARN_STREAM_DELIVERY_GATE_H
