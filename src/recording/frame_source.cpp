#include "recording/frame_source.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <stdexcept>

namespace tarn::recording {

std::size_t FrameSource::takeImu(tarn_imu_sample* samples, std::size_t capacity) {
    std::lock_guard<std::mutex> lock(imuMutex_);
    const std::size_t count = std::min(capacity, imu_.size());
    std::copy(imu_.begin(), imu_.begin() + static_cast<std::ptrdiff_t>(count), samples);
    imu_.erase(imu_.begin(), imu_.begin() + static_cast<std::ptrdiff_t>(count));
    imuReturned_ += count;
    return count;
}

void FrameSource::keepImu(const tarn_imu_sample& sample) {
    std::lock_guard<std::mutex> lock(imuMutex_);
    if (imu_.size() >= TARN_SOURCE_IMU_QUEUE) {
        ++imuDropped_;
        return;
    }
    imu_.push_back(sample);
}

void FrameSource::imuCounts(tarn_source_stats& stats) {
    std::lock_guard<std::mutex> lock(imuMutex_);
    stats.imu_returned = imuReturned_;
    stats.imu_dropped = imuDropped_;
}

LiveSource::LiveSource(const tarn_stream_config& config, std::size_t queueFrames)
    : userFrame_(config.on_frame),
      userFrameData_(config.frame_user),
      userImu_(config.on_imu),
      userImuData_(config.imu_user),
      slots_(queueFrames) {
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        slots_[i].grid.resize(TARN_CELLS);
        free_.push_back(i);
    }
}

int LiveSource::open(const tarn_stream_config& config, std::size_t queueFrames,
                     std::unique_ptr<LiveSource>& source) {
    std::unique_ptr<LiveSource> opened(new LiveSource(config, queueFrames));
    tarn_stream_config own = config;
    own.on_frame = &LiveSource::onFrame;
    own.frame_user = opened.get();
    own.on_imu = &LiveSource::onImu;
    own.imu_user = opened.get();
    const int result = tarn_stream_open(&own, &opened->stream_);
    if (result == TARN_OK) {
        source = std::move(opened);
    }
    return result;
}

LiveSource::~LiveSource() {
    if (stream_ != nullptr) {
        tarn_stream_close(stream_);  // no callback runs after it
    }
}

void LiveSource::onFrame(const tarn_point* grid, const tarn_frame_info* info, void* user) {
    auto* self = static_cast<LiveSource*>(user);
    if (self->userFrame_ != nullptr) {
        self->userFrame_(grid, info, self->userFrameData_);
    }
    std::size_t slot = 0;
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        if (self->free_.empty()) {
            ++self->dropped_;
            return;
        }
        slot = self->free_.back();
        self->free_.pop_back();
    }
    // Only this thread writes a slot between taking it from free_ and queueing it.
    std::memcpy(self->slots_[slot].grid.data(), grid, sizeof(tarn_point) * TARN_CELLS);
    self->slots_[slot].info = *info;
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->queued_.push_back(slot);
    }
    self->ready_.notify_one();
}

void LiveSource::onImu(const tarn_imu_sample* sample, void* user) {
    auto* self = static_cast<LiveSource*>(user);
    if (self->userImu_ != nullptr) {
        self->userImu_(sample, self->userImuData_);
    }
    self->keepImu(*sample);
}

int LiveSource::next(int timeoutMs, tarn_point* grid, tarn_frame_info* info) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto queued = [this] { return !queued_.empty(); };
    if (timeoutMs < 0) {
        ready_.wait(lock, queued);
    } else if (!ready_.wait_for(lock, std::chrono::milliseconds(timeoutMs), queued)) {
        return TARN_ERR_TIMEOUT;
    }
    const std::size_t slot = queued_.front();
    queued_.pop_front();
    ++returned_;
    lock.unlock();
    // The decoder thread leaves a queued slot alone until it is free again.
    if (grid != nullptr) {
        std::memcpy(grid, slots_[slot].grid.data(), sizeof(tarn_point) * TARN_CELLS);
    }
    if (info != nullptr) {
        *info = slots_[slot].info;
    }
    lock.lock();
    free_.push_back(slot);
    return TARN_OK;
}

tarn_source_stats LiveSource::stats() {
    tarn_source_stats stats{};
    tarn_stream_get_stats(stream_, &stats.stream);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stats.frames_returned = returned_;
        stats.frames_dropped = dropped_;
    }
    imuCounts(stats);
    return stats;
}

RecordedSource::RecordedSource(const std::string& path, bool anyAddress, uint32_t address, int port)
    : reader_(path), anyAddress_(anyAddress), address_(address), port_(port) {
    const int result = tarn_decoder_open(&decoder_);
    if (result == TARN_ERR_NO_MEMORY) {
        throw std::bad_alloc();
    }
    if (result != TARN_OK) {
        throw std::runtime_error(std::string("cannot open a decoder: ") + tarn_strerror(result));
    }
}

RecordedSource::~RecordedSource() {
    tarn_decoder_close(decoder_);
}

int RecordedSource::next(int /*timeoutMs*/, tarn_point* grid, tarn_frame_info* info) {
    std::lock_guard<std::mutex> lock(mutex_);
    Datagram datagram;
    for (;;) {
        const ReadResult read = reader_.next(datagram);
        if (read != ReadResult::datagram) {
            error_ = reader_.message();
            return read == ReadResult::end ? TARN_RECORDING_END : TARN_ERR_RECORDING_DAMAGED;
        }
        const Ipv4& from = datagram.route.source;
        const uint32_t source = static_cast<uint32_t>(from[0]) << 24 |
                                static_cast<uint32_t>(from[1]) << 16 |
                                static_cast<uint32_t>(from[2]) << 8 | from[3];
        if ((!anyAddress_ && source != address_) ||
            (port_ != 0 && datagram.route.sourcePort != port_)) {
            continue;
        }
        const int pushed =
            tarn_decoder_push(decoder_, datagram.payload, datagram.length, 0, datagram.timeNs);
        if (pushed == TARN_ERR_NO_MEMORY) {
            return TARN_ERR_NO_MEMORY;
        }
        if (pushed == TARN_IMU_READY) {
            tarn_imu_sample sample{};
            tarn_decoder_imu(decoder_, &sample);
            keepImu(sample);
        } else if (pushed == TARN_FRAME_READY) {
            tarn_decoder_frame(decoder_, grid, info);
            ++returned_;
            return TARN_OK;
        }
    }
}

tarn_source_stats RecordedSource::stats() {
    tarn_source_stats stats{};
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tarn_decoder_get_stats(decoder_, &stats.stream);
        stats.recording = reader_.stats();
        stats.frames_returned = returned_;
    }
    imuCounts(stats);
    return stats;
}

}  // namespace tarn::recording
