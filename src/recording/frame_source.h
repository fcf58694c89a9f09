// The frame sources of tarn/source.h: a live stream whose frames wait in a bounded queue of their
// own, and a recording pushed through the library's decoder. Both give each frame once, in
// decoding order.
#ifndef TARN_RECORDING_FRAME_SOURCE_H
#define TARN_RECORDING_FRAME_SOURCE_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "recording/pcap_reader.h"
#include "tarn/source.h"

namespace tarn::recording {

class FrameSource {
  public:
    virtual ~FrameSource() = default;
    virtual int next(int timeoutMs, tarn_point* grid, tarn_frame_info* info) = 0;
    // Any thread.
    virtual tarn_source_stats stats() = 0;
    virtual tarn_stream* stream() { return nullptr; }
    virtual const char* error() const { return ""; }

    // Moves up to capacity samples out, oldest first.
    std::size_t takeImu(tarn_imu_sample* samples, std::size_t capacity);

  protected:
    // Keeps a sample for takeImu, or counts it dropped when the queue is full. Any thread.
    void keepImu(const tarn_imu_sample& sample);
    void imuCounts(tarn_source_stats& stats);

  private:
    std::mutex imuMutex_;
    std::deque<tarn_imu_sample> imu_;  // guarded by imuMutex_
    uint64_t imuReturned_ = 0;         // guarded by imuMutex_
    uint64_t imuDropped_ = 0;          // guarded by imuMutex_
};

// Frames of a live stream. The stream's decoder thread copies each frame into a free slot; next()
// hands the oldest out. A frame that finds no free slot is counted in frames_dropped.
class LiveSource : public FrameSource {
  public:
    // Opens the stream; returns its result code, with *source set only on success.
    static int open(const tarn_stream_config& config, std::size_t queueFrames,
                    std::unique_ptr<LiveSource>& source);
    ~LiveSource() override;

    int next(int timeoutMs, tarn_point* grid, tarn_frame_info* info) override;
    tarn_source_stats stats() override;
    tarn_stream* stream() override { return stream_; }

  private:
    struct Slot {
        std::vector<tarn_point> grid;
        tarn_frame_info info{};
    };

    LiveSource(const tarn_stream_config& config, std::size_t queueFrames);
    static void onFrame(const tarn_point* grid, const tarn_frame_info* info, void* user);
    static void onImu(const tarn_imu_sample* sample, void* user);

    tarn_frame_callback userFrame_;
    void* userFrameData_;
    tarn_imu_callback userImu_;
    void* userImuData_;
    tarn_stream* stream_ = nullptr;
    std::vector<Slot> slots_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<std::size_t> free_;   // guarded by mutex_
    std::deque<std::size_t> queued_;  // guarded by mutex_
    uint64_t returned_ = 0;           // guarded by mutex_
    uint64_t dropped_ = 0;            // guarded by mutex_
};

// Frames of a recording, decoded in capture order by the library's decoder.
class RecordedSource : public FrameSource {
  public:
    // Throws std::runtime_error when the file cannot be read; std::invalid_argument never (the
    // filter is checked by the caller).
    RecordedSource(const std::string& path, bool anyAddress, uint32_t address, int port);
    ~RecordedSource() override;

    int next(int timeoutMs, tarn_point* grid, tarn_frame_info* info) override;
    tarn_source_stats stats() override;
    const char* error() const override { return error_.c_str(); }

  private:
    std::mutex mutex_;  // next() and stats() may run on different threads
    PcapReader reader_;
    tarn_decoder* decoder_ = nullptr;
    bool anyAddress_;
    uint32_t address_;
    int port_;
    uint64_t returned_ = 0;
    std::string error_;  // next()'s thread only
};

}  // namespace tarn::recording

#endif  // TARN_RECORDING_FRAME_SOURCE_H
