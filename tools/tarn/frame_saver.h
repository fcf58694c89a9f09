// Saves frames on threads of their own, off the stream's path: the stream hands each frame to a
// bounded queue and goes on; a frame that finds the queue full is counted, never waited for.
#ifndef TARN_TOOLS_TARN_FRAME_SAVER_H
#define TARN_TOOLS_TARN_FRAME_SAVER_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tarn/tarn.h"
#include "tools/tarn/writers/frame_files.h"

namespace tarn::cli {

class FrameSaver {
  public:
    // Writes into directory (which must exist) each frame as frame-NNNNNN.{ply,pcd,csv,...},
    // NNNNNN its sequence number, the files of writers::FileKind in files, with a line on standard
    // output per frame written (prefix first; none with an empty prefix). workers threads write,
    // each its own frame, so frames may be finished out of order; at most capacity frames wait in
    // the queue besides those.
    FrameSaver(std::string directory, std::size_t capacity, std::string prefix,
               std::size_t workers = 1, unsigned files = writers::kAllFiles);
    // Writes what is queued, then ends the threads.
    ~FrameSaver();
    FrameSaver(const FrameSaver&) = delete;
    FrameSaver& operator=(const FrameSaver&) = delete;

    // Queues a copy of grid (TARN_CELLS points); false, and counted as not saved, when the queue
    // is full or a write has failed. With waitForRoom (a recording, which loses nothing by
    // waiting) a full queue is waited for instead.
    bool offer(const tarn_point* grid, const tarn_frame_info& info, bool waitForRoom = false);
    // Writes what is queued and ends the threads; afterwards the counts are final.
    void finish();

    uint64_t saved() const;
    uint64_t notSaved() const;
    // The first write failure, or "".
    std::string failure() const;

  private:
    struct Item {
        std::vector<tarn_point> grid;
        uint64_t sequence = 0;
    };
    void work();

    const std::string directory_;
    const std::size_t capacity_;
    const std::string prefix_;
    const unsigned files_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable room_;
    std::deque<Item> queue_;
    std::vector<std::vector<tarn_point>> spare_;  // grids to reuse
    bool finishing_ = false;
    uint64_t saved_ = 0;
    uint64_t notSaved_ = 0;
    std::string failure_;
    std::vector<std::thread> threads_;
};

}  // namespace tarn::cli

#endif  // TARN_TOOLS_TARN_FRAME_SAVER_H
