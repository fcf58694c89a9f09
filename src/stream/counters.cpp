#include "stream/counters.h"

#include <initializer_list>

namespace tarn::stream {

namespace {
uint64_t read(const Counter& counter) {
    return counter.load(std::memory_order_relaxed);
}
}  // namespace

void StreamCounters::reset() {
    for (Counter* counter :
         {&datagramsRead, &datagramsRejected, &datagramsQueueFull, &kernelDrops, &invalidMagic,
          &invalidType, &invalidVersion, &invalidPixelType, &invalidFrameFlag, &invalidShort,
          &invalidImuFlag, &framesCompleted, &framesQueueFull, &framesLostLast, &framesMerged,
          &framesTooLong, &framesRedelivered, &imuSamples, &framesDecoded, &framesIncomplete, &receiveBufferBytes}) {
        counter->store(0, std::memory_order_relaxed);
    }
}

tarn_stream_stats StreamCounters::snapshot() const {
    tarn_stream_stats stats{};
    stats.datagrams_read = read(datagramsRead);
    stats.datagrams_rejected = read(datagramsRejected);
    stats.datagrams_queue_full = read(datagramsQueueFull);
    stats.invalid_magic = read(invalidMagic);
    stats.invalid_type = read(invalidType);
    stats.invalid_version = read(invalidVersion);
    stats.invalid_pixel_type = read(invalidPixelType);
    stats.invalid_frame_flag = read(invalidFrameFlag);
    stats.invalid_short = read(invalidShort);
    stats.invalid_imu_flag = read(invalidImuFlag);
    stats.frames_completed = read(framesCompleted);
    stats.frames_queue_full = read(framesQueueFull);
    stats.frames_lost_last = read(framesLostLast);
    stats.frames_merged = read(framesMerged);
    stats.frames_too_long = read(framesTooLong);
    stats.frames_decoded = read(framesDecoded);
    stats.frames_incomplete = read(framesIncomplete);
    stats.imu_samples = read(imuSamples);
    stats.kernel_drops = read(kernelDrops);
    stats.receive_buffer_bytes = read(receiveBufferBytes);
    stats.frames_redelivered = read(framesRedelivered);
    return stats;
}

}  // namespace tarn::stream
