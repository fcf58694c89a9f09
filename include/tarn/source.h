/* tarn SDK: one way to read frames, from a sensor or from a recording.
 *
 * A frame source is either a live stream (tarn_source_open_stream) or a recording
 * (tarn_source_open_recording); tarn_source_next returns its next frame either way, so processing
 * code is written once. Each frame comes once, in decoding order. A frame that could not be kept is
 * never skipped silently: the sequence numbers of tarn_frame_info show the gap, and the counters
 * say why (frames lost by the stream in tarn_source_stats.stream, frames the source's own queue
 * had no room for in frames_dropped). A recording's frames are decoded by the same decoder as a
 * live stream's, so the same datagrams give the same grids and frame info; its receive times are
 * the capture times (receive_monotonic_ns is 0).
 *
 * Every function returns TARN_OK (0) or a negative result code unless it says otherwise;
 * tarn_recording_strerror() names each code.
 *
 * This header compiles as C99 and as C++11 and later.
 */
#ifndef TARN_SOURCE_H
#define TARN_SOURCE_H

#include <stddef.h>
#include <stdint.h>

#include "tarn/recording.h"
#include "tarn/tarn.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The frames a live source keeps for tarn_source_next when opened with queue_frames 0. */
#define TARN_SOURCE_DEFAULT_QUEUE 8
/* The IMU samples a source keeps for tarn_source_imu. */
#define TARN_SOURCE_IMU_QUEUE 4096

typedef struct tarn_source_stats {
    tarn_stream_stats stream;       /* the stream's counters, or the recording's decoder's */
    tarn_recording_stats recording; /* the recording's reader (zero for a live source) */
    uint64_t frames_returned;       /* by tarn_source_next */
    uint64_t frames_dropped;        /* decoded while the source's queue was full (live only) */
    uint64_t imu_returned;          /* by tarn_source_imu */
    uint64_t imu_dropped;           /* arrived while the IMU queue was full */
} tarn_source_stats;

typedef struct tarn_source tarn_source;

/* Opens a live stream as tarn_stream_open does, with the source taking its frames and IMU samples.
 * config is read during the call only (its strings are copied by the stream). Its on_frame and
 * on_imu callbacks, when set, still run (on the stream's threads) before the source keeps the
 * frame or sample; on_datagram is kept as it is, so a source can feed a recording writer's tap.
 * queue_frames bounds the decoded frames waiting for tarn_source_next (0:
 * TARN_SOURCE_DEFAULT_QUEUE; each takes TARN_CELLS tarn_point records). *out is set only on
 * success. Returns what tarn_stream_open returns, or TARN_ERR_NO_MEMORY. Any thread. */
int tarn_source_open_stream(const tarn_stream_config* config, size_t queue_frames,
                            tarn_source** out);

/* Opens a recording as a source. device_address (dotted quad; null or "" for any) and device_port
 * (0 for any) keep the datagrams of one sensor (of that one source port only). path and
 * device_address are copied. *out is set only on success. Returns TARN_OK, TARN_ERR_NULL_ARGUMENT,
 * TARN_ERR_DEVICE_ADDRESS, TARN_ERR_DEVICE_PORT, TARN_ERR_NO_MEMORY or TARN_ERR_RECORDING_OPEN;
 * error, when not null, receives the reason as one line (at most error_size bytes). Any thread. */
int tarn_source_open_recording(const char* path, const char* device_address, int device_port,
                               tarn_source** out, char* error, size_t error_size);

/* Copies the next frame into grid (TARN_CELLS records) and its info into info (either may be
 * null to skip it). A live source waits up to timeout_ms for one (0 only looks; negative waits
 * without limit); a recording reads on until its next frame and ignores the time-out.
 * Returns TARN_OK, TARN_ERR_TIMEOUT (live), TARN_RECORDING_END (a recording has no frame left; a
 * cut file ends at its cut, with stats.recording.cut set and tarn_source_error saying where),
 * TARN_ERR_RECORDING_DAMAGED (the reason in tarn_source_error), TARN_ERR_NO_MEMORY or
 * TARN_ERR_INVALID_HANDLE. A live source runs until it is closed. One thread at a time per
 * source. */
int tarn_source_next(tarn_source* source, int timeout_ms, tarn_point* grid, tarn_frame_info* info);

/* Copies up to capacity IMU samples into samples, oldest first, and sets *count to their number;
 * each sample comes once. A recording gives the samples recorded before the frame tarn_source_next
 * returned last; a live source gives those received so far. Returns TARN_OK,
 * TARN_ERR_NULL_ARGUMENT or TARN_ERR_INVALID_HANDLE. One thread at a time per source. */
int tarn_source_imu(tarn_source* source, tarn_imu_sample* samples, size_t capacity, size_t* count);

/* Copies the source's counters. Any thread. Returns TARN_OK, TARN_ERR_NULL_ARGUMENT or
 * TARN_ERR_INVALID_HANDLE. */
int tarn_source_get_stats(tarn_source* source, tarn_source_stats* stats);

/* The stream of a live source (to read its local port, for example), or null for a recording.
 * The stream belongs to the source: do not close it. */
tarn_stream* tarn_source_stream(tarn_source* source);

/* One line saying why the latest tarn_source_next failed, or where a cut recording ends; "".
 * Owned by the source, valid until its next call. Never null. */
const char* tarn_source_error(tarn_source* source);

/* Stops the stream (no callback runs after it returns) or closes the file, and frees the source;
 * null is accepted. Any application thread, once no other call on the source runs; never from
 * inside a callback of its stream. */
void tarn_source_close(tarn_source* source);

#ifdef __cplusplus
}
#endif

#endif /* TARN_SOURCE_H */
