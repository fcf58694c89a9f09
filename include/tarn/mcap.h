/* tarn SDK: recording frames as ROS 2 messages in an MCAP file.
 *
 * The file has profile "ros2", one schema per ROS 2 type (encoding "ros2msg", the definitions of
 * tarn_message_definition()) and one channel per topic (message encoding "cdr"):
 *   /tarn/points       sensor_msgs/msg/PointCloud2    every frame
 *   /tarn/depth        sensor_msgs/msg/Image (32FC1)  every frame
 *   /tarn/intensity    sensor_msgs/msg/Image (mono16) every frame
 *   /tarn/imu_raw      tarn_msgs/msg/ImuRaw           every IMU sample
 *   /tarn/imu          sensor_msgs/msg/Imu            every IMU sample, only with an IMU layout
 *   /tarn/diagnostics  diagnostic_msgs/msg/DiagnosticArray, whenever the application writes it
 * A namespace prefixes every topic ("front" gives /front/tarn/points). Messages go into chunks,
 * compressed with zstd (the default), lz4 or not at all, each followed by its message indexes; the
 * summary holds the schemas, channels, statistics and chunk indexes; every CRC is written. Each
 * message's log and publish times are its header stamp in nanoseconds.
 *
 * A file cut short (a crash, a full disk) keeps every chunk written before the cut: readers that
 * scan the file recover them. The calls serialise on the caller's thread and, by default, write
 * there too; with queue_messages set, a writer thread of the writer's own writes from a queue that
 * long, and a call that finds it full drops its messages (a frame's three together) and counts
 * them, so a slow disk never holds up the caller. One thread at a time per writer.
 *
 * This header compiles as C99 and as C++11 and later.
 */
#ifndef TARN_MCAP_H
#define TARN_MCAP_H

#include <stddef.h>
#include <stdint.h>

#include "tarn/messages.h"
#include "tarn/tarn.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes of this interface besides those of tarn.h and messages.h. */
#define TARN_ERR_MCAP_OPEN (-50) /* the file could not be created */
/* Writing failed (a full disk, an I/O error): the recording has ended; close the writer. */
#define TARN_ERR_MCAP_WRITE (-51)
/* A chunk could not be compressed: the recording has ended; close the writer. */
#define TARN_ERR_MCAP_COMPRESS (-52)
/* The namespace is not a ROS 2 name: letters, digits and '_' in '/'-separated parts, none
 * starting with a digit. */
#define TARN_ERR_MCAP_NAMESPACE (-54)
#define TARN_ERR_MCAP_COMPRESSION (-55) /* not a TARN_MCAP_ compression */
/* Reading: not an MCAP file, or a damaged one (tarn_mcap_reader_error says where). */
#define TARN_ERR_MCAP_READ (-56)
/* Reading: the file has no points topic (sensor_msgs/msg/PointCloud2 in CDR) to play. */
#define TARN_ERR_MCAP_NO_POINTS (-57)
/* Reading: a cloud is not in this library's point layout (see TARN_POINT_STEP), 150 x 360. */
#define TARN_ERR_MCAP_LAYOUT (-58)
/* What tarn_mcap_reader_next_frame returns when the file holds no further frame. */
#define TARN_MCAP_END 4

#define TARN_MCAP_ZSTD 0
#define TARN_MCAP_LZ4 1
#define TARN_MCAP_NONE 2

typedef struct tarn_mcap_config {
    const char* topic_namespace;   /* null or "": topics start at /tarn. Copied. */
    int compression;               /* TARN_MCAP_ZSTD, TARN_MCAP_LZ4 or TARN_MCAP_NONE */
    uint64_t chunk_bytes;          /* uncompressed bytes per chunk; 0 gives 4 MiB */
    uint32_t queue_messages;       /* 0: the caller's thread writes; else the writer thread's queue */
    tarn_messages_config messages; /* frame_id, stamps, IMU layout; see messages.h */
} tarn_mcap_config;

typedef struct tarn_mcap_writer tarn_mcap_writer;

/* Fills config with the defaults: no namespace, zstd, 4 MiB chunks, tarn_messages_config_init's
 * message settings. */
void tarn_mcap_config_init(tarn_mcap_config* config);

/* Creates (or truncates) path and writes the file's header, schemas and channels. *out is set
 * only on success. Returns TARN_OK, TARN_ERR_NULL_ARGUMENT, TARN_ERR_MCAP_NAMESPACE,
 * TARN_ERR_MCAP_COMPRESSION, a configuration code of tarn_messages_open, TARN_ERR_MCAP_OPEN,
 * TARN_ERR_MCAP_WRITE or TARN_ERR_NO_MEMORY. */
int tarn_mcap_open(const char* path, const tarn_mcap_config* config, tarn_mcap_writer** out);

/* Records one frame on the points, depth and intensity topics. Returns TARN_OK,
 * TARN_ERR_NULL_ARGUMENT, TARN_ERR_MCAP_WRITE or TARN_ERR_MCAP_COMPRESS; after either of the last
 * two every call returns the same code. */
int tarn_mcap_write_frame(tarn_mcap_writer* writer, const tarn_point* grid,
                          const tarn_frame_info* info);
/* Records one IMU sample on imu_raw (and imu with a layout). Codes as tarn_mcap_write_frame. */
int tarn_mcap_write_imu(tarn_mcap_writer* writer, const tarn_imu_sample* sample,
                        int64_t receive_realtime_ns);
/* Records the stream's counters on diagnostics (see tarn_messages_diagnostics; about once a
 * second). Codes as tarn_mcap_write_frame. */
int tarn_mcap_write_diagnostics(tarn_mcap_writer* writer, const tarn_stream_stats* stats,
                                int64_t stamp_realtime_ns);

/* Messages recorded so far (written, or queued for the writer thread). */
uint64_t tarn_mcap_messages(const tarn_mcap_writer* writer);
/* Messages dropped so far because the writer thread's queue was full. */
uint64_t tarn_mcap_dropped(const tarn_mcap_writer* writer);

/* Writes what is queued, the last chunk and the summary, closes the file and frees the writer
 * (null is ignored).
 * Returns TARN_OK, or the first error of the recording (the file then ends at its last whole
 * chunk). */
int tarn_mcap_close(tarn_mcap_writer* writer);

/* ---- Reading the frames back ------------------------------------------------------------- */

/* Plays a file this library wrote (or any MCAP file with a points topic in its layout) back as
 * frames, reading it front to back as readers recover files without a summary: chunks compressed
 * with zstd, lz4 or none, their CRCs checked. The points topic is topic_namespace's
 * ("front" reads /front/tarn/points), or with null or "" the first topic ending in tarn/points;
 * the imu_raw topic beside it gives the IMU samples. Damaged input ends the reading with
 * TARN_ERR_MCAP_READ, never with a crash; a file cut short ends at its last whole record. One
 * thread at a time per reader. */
typedef struct tarn_mcap_reader tarn_mcap_reader;

/* Opens path and checks that it is an MCAP file. path and topic_namespace are read during the
 * call only. *out is set only on success. Returns TARN_OK, TARN_ERR_NULL_ARGUMENT,
 * TARN_ERR_MCAP_NAMESPACE, TARN_ERR_NO_MEMORY or TARN_ERR_MCAP_READ; error, when not null,
 * receives the reason as one line (at most error_size bytes). */
int tarn_mcap_reader_open(const char* path, const char* topic_namespace, tarn_mcap_reader** out,
                          char* error, size_t error_size);

/* Decodes the next cloud into grid (TARN_CELLS records) and info. Each cell gets the cloud's row,
 * column, x, y, z, distance and intensity (the float rounded down to an integer); cells the
 * frame did not write have NaN x, y, z and distance and intensity 0, as written. Timestamps and
 * tags are 0: the message does not carry them. info has sequence (1 for the file's first frame),
 * cells_written, complete and receive_realtime_ns (the header stamp); the rest is 0.
 * Returns TARN_OK, TARN_MCAP_END (no frame left; for a cut file tarn_mcap_reader_error says where
 * it ends), TARN_ERR_NULL_ARGUMENT, TARN_ERR_MCAP_READ, TARN_ERR_MCAP_NO_POINTS or
 * TARN_ERR_MCAP_LAYOUT; after an error every call returns it again. */
int tarn_mcap_reader_next_frame(tarn_mcap_reader* reader, tarn_point* grid,
                                tarn_frame_info* info);

/* Copies up to capacity of the IMU samples recorded before the frame read last (oldest first,
 * each once; sample_flag, timestamp and sample as recorded, header and reserved 0) and sets
 * *count to their number. At most 4096 wait between two frames; older ones are dropped and
 * counted in *dropped when it is not null. Returns TARN_OK or TARN_ERR_NULL_ARGUMENT. */
int tarn_mcap_reader_imu(tarn_mcap_reader* reader, tarn_imu_sample* samples, size_t capacity,
                         size_t* count, uint64_t* dropped);

/* Why the latest call failed, or where a cut file ends; "" otherwise. Owned by the reader, valid
 * until its next call. Never null. */
const char* tarn_mcap_reader_error(const tarn_mcap_reader* reader);

/* Closes the file and frees the reader; null is ignored. */
void tarn_mcap_reader_close(tarn_mcap_reader* reader);

/* A static text for any code of this interface, messages.h or tarn.h. Any thread. */
const char* tarn_mcap_strerror(int code);

#ifdef __cplusplus
}
#endif

#endif /* TARN_MCAP_H */
