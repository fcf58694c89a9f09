/* A C99 program on the C interface: opens a stream to a sensor, waits for frames, reads the
 * counters and closes. The test around it plays the sensor. */
#include <stdlib.h>
#include <string.h>

#include "tarn/tarn.h"

struct counted_frames {
    int frames;
    uint64_t last_sequence;
};

static void count_frame(const tarn_point* grid, const tarn_frame_info* info, void* user) {
    struct counted_frames* counted = (struct counted_frames*)user;
    (void)grid;
    counted->frames += 1;
    counted->last_sequence = info->sequence;
}

/* Streams `frames` frames from the sensor at 127.0.0.1:device_port into local_port. Returns 0
 * when each arrived complete, else a result code or -100 - the step that went wrong. */
int run_c_stream(int local_port, int device_port, int frames, void (*send_frame)(int index)) {
    struct counted_frames counted = {0, 0};
    tarn_stream_config config;
    tarn_stream* stream = NULL;
    tarn_point* grid = (tarn_point*)malloc(sizeof(tarn_point) * TARN_CELLS);
    tarn_frame_info info;
    tarn_stream_stats stats;
    int result = TARN_OK;
    int i;

    if (grid == NULL) {
        return TARN_ERR_NO_MEMORY;
    }
    tarn_stream_config_init(&config);
    config.local_address = "127.0.0.1";
    config.local_port = local_port;
    config.device_address = "127.0.0.1";
    config.device_port = device_port;
    config.on_frame = count_frame;
    config.frame_user = &counted;
    result = tarn_stream_open(&config, &stream);
    for (i = 0; result == TARN_OK && i < frames; ++i) {
        send_frame(i);
        result = tarn_stream_wait_frame(stream, 5000, grid, &info);
        if (result == TARN_OK && (!info.complete || grid[TARN_CELLS - 1].row != TARN_ROWS - 1)) {
            result = -101;
        }
    }
    if (result == TARN_OK) {
        result = tarn_stream_get_stats(stream, &stats);
    }
    if (result == TARN_OK && stats.frames_decoded != (uint64_t)frames) {
        result = -102;
    }
    if (stream != NULL && tarn_stream_close(stream) != TARN_OK && result == TARN_OK) {
        result = -103;
    }
    /* The callback ran before each wait returned, and no callback runs after the close. */
    if (result == TARN_OK && (counted.frames != frames || counted.last_sequence != (uint64_t)frames)) {
        result = -104;
    }
    free(grid);
    return result;
}
