// The MCAP playback over any bytes: damaged records, chunks, compressed data and messages end the
// reading with a code and a reason, never with a crash or a read out of bounds; what it returns
// keeps its promises (sequences count from 1, cells_written matches complete).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "mcap/ros2_playback.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // fmemopen refuses an empty buffer: an empty file is one byte read as nothing.
    static uint8_t empty = 0;
    std::FILE* file =
        fmemopen(size == 0 ? &empty : const_cast<uint8_t*>(data), size == 0 ? 1 : size, "rb");
    if (file == nullptr) {
        return 0;
    }
    tarn::mcap::Ros2Playback playback;
    if (playback.open(file, (size & 1) != 0 ? "front" : nullptr) != TARN_OK) {
        return 0;
    }
    std::vector<tarn_point> grid(TARN_CELLS);
    tarn_imu_sample samples[8];
    for (uint64_t frame = 1;; ++frame) {
        tarn_frame_info info{};
        const int result = playback.nextFrame(grid.data(), info);
        if (result != TARN_OK) {
            if (result == TARN_MCAP_END || playback.nextFrame(grid.data(), info) == result) {
                break;
            }
            std::abort();  // an error that does not stay
        }
        if (info.sequence != frame || (info.cells_written == TARN_CELLS) != (info.complete != 0)) {
            std::abort();
        }
        playback.takeImu(samples, 8);
    }
    return 0;
}
