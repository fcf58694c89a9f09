#include "stream/datagram_run.h"

#include <cstring>

namespace tarn::stream {

void DatagramRun::append(const uint8_t* datagram, std::size_t length) {
    lastOffset_ = buffer_.size();
    buffer_.push_back(static_cast<uint8_t>(length & 0xFF));
    buffer_.push_back(static_cast<uint8_t>(length >> 8));
    buffer_.insert(buffer_.end(), datagram, datagram + length);
    ++count_;
    datagramBytes_ += length;
}

bool DatagramRun::equalAt(std::size_t offset, const uint8_t* datagram,
                          std::size_t length) const {
    if (count_ == 0) {
        return false;
    }
    const uint8_t* at = buffer_.data() + offset;
    const std::size_t kept = static_cast<std::size_t>(at[0] | (at[1] << 8));
    return kept == length && std::memcmp(at + kLengthBytes, datagram, length) == 0;
}

bool DatagramRun::firstIs(const uint8_t* datagram, std::size_t length) const {
    return equalAt(0, datagram, length);
}

bool DatagramRun::lastIs(const uint8_t* datagram, std::size_t length) const {
    return equalAt(lastOffset_, datagram, length);
}

void DatagramRun::clear() {
    buffer_.clear();
    lastOffset_ = 0;
    count_ = 0;
    datagramBytes_ = 0;
}

OwnedRun RunPool::take() {
    std::unique_ptr<DatagramRun> run;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!idle_.empty()) {
            run = std::move(idle_.back());
            idle_.pop_back();
        }
    }
    if (run == nullptr) {
        run = std::make_unique<DatagramRun>();
    }
    std::shared_ptr<RunPool> self = shared_from_this();
    return OwnedRun(run.release(), [self](DatagramRun* returned) { self->giveBack(returned); });
}

void RunPool::giveBack(DatagramRun* run) {
    std::unique_ptr<DatagramRun> owned(run);
    owned->clear();
    std::lock_guard<std::mutex> lock(mutex_);
    if (idle_.size() < kKeptRuns) {
        idle_.push_back(std::move(owned));
    }
}

RunPool& spareRunPool() {
    static const std::shared_ptr<RunPool>* const pool =
        new std::shared_ptr<RunPool>(std::make_shared<RunPool>());
    return **pool;
}

}  // namespace tarn::stream
