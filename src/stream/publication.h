// The published grid of a stream, for polling (KESOGetFrame, tarn_stream_get_frame) and waiting
// (tarn_stream_wait_frame): the decoder publishes each frame it decodes, an application may
// publish a grid of its own (KESOSetFrame), and stopping the stream withdraws it.
#ifndef TARN_STREAM_PUBLICATION_H
#define TARN_STREAM_PUBLICATION_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "KESOApi.h"
#include "stream/stream_storage.h"
#include "tarn/tarn.h"

namespace tarn::stream {

// Every member is safe to call from any thread.
class Publication {
  public:
    // Works on storage's published grid, flag and mutex; storage.decodeGrid is the grid whose
    // publication can later undo a frame written while it arrived (holdsDecodeGrid).
    explicit Publication(const StreamStorage& storage);

    // Copies grid into the published grid, with its info when not null; while the stream runs
    // also marks a grid as published. Wakes the waiters.
    void publish(Grid grid, const tarn_frame_info* info);
    // KESOGetFrame: 0, or -1992 when nothing was published while the stream runs. A null grid or
    // info is not written.
    int copy(Grid grid, tarn_frame_info* info);
    // tarn_stream_wait_frame's result codes: waits (timeoutMs < 0: without end) for a grid
    // published after the one the last successful wait returned.
    int wait(int timeoutMs, Grid grid, tarn_frame_info* info);
    // Clears the published mark and wakes the waiters; after the stream's stop flag is cleared.
    void withdraw();

    // True while the published grid is the decode grid as the decoder last published it.
    bool holdsDecodeGrid() const { return holdsDecodeGrid_.load(); }
    // Copies the rows that forEachRow(visit) names from the published grid into grid, under the
    // publication mutex: undoes a frame written into the decode grid while it arrived.
    template <typename ForEachRow>
    void copyRowsInto(Grid grid, ForEachRow forEachRow) {
        std::lock_guard<std::mutex> lock(mutex_);
        forEachRow([&](std::size_t row) {
            std::memcpy(grid[row], publishedGrid_[row], sizeof(KESOPointData) * KESO_COLUMNS);
        });
    }

  private:
    const Grid publishedGrid_;  // guarded by mutex_
    const Grid decodeGrid_;
    std::atomic<bool>& published_;  // written under mutex_; also cleared by KESODisconnectDevice
    std::mutex& mutex_;             // realTimeDataMutex_ for the default stream
    const std::atomic<bool>& running_;
    // Written under mutex_; read without it by the assembler.
    std::atomic<bool> holdsDecodeGrid_{true};
    // Guarded by mutex_.
    tarn_frame_info info_{};
    uint64_t publications_ = 0;
    uint64_t lastWaited_ = 0;
    std::condition_variable changed_;
};

}  // namespace tarn::stream

#endif  // TARN_STREAM_PUBLICATION_H
