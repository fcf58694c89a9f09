/* tarn SDK: the C interface.
 *
 * Streams frames from any number of sensors at once, each through its own handle, and decodes
 * recorded datagrams without a socket. It works beside the KESO functions of KESOApi.h: those drive
 * one default stream, which this interface can observe through tarn_stream_default().
 *
 * Every function returns TARN_OK (0) or a negative result code unless it says otherwise;
 * tarn_strerror() names each code. Grids are TARN_ROWS x TARN_COLUMNS tarn_point records, row-major,
 * the same bytes as a KESOPointData grid, so a grid passes between the two interfaces uncopied.
 *
 * This header compiles as C99 and as C++11 and later.
 */
#ifndef TARN_TARN_H
#define TARN_TARN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TARN_ROWS 150
#define TARN_COLUMNS 360
#define TARN_CELLS (TARN_ROWS * TARN_COLUMNS)

/* The source port a sensor may also send measurements from, accepted by default. */
#define TARN_DEFAULT_ALTERNATE_PORT 6301

/* Result codes, with the text tarn_strerror() gives for each: XX(name, value, text). The constants
 * below and tarn_strerror() are both made from this one list. */
#define TARN_RESULT_MAP(XX)                                                                        \
    XX(TARN_OK, 0, "success")                                                                      \
    XX(TARN_ERR_NULL_ARGUMENT, -1, "a required pointer argument is null")                          \
    XX(TARN_ERR_LOCAL_ADDRESS, -2, "the local address is not a dotted-quad IPv4 address")          \
    XX(TARN_ERR_LOCAL_PORT, -3, "the local port is outside 0 to 65535")                            \
    XX(TARN_ERR_DEVICE_ADDRESS, -4, "the device address is missing or not a dotted-quad address")  \
    XX(TARN_ERR_DEVICE_PORT, -5, "the device port is outside 1 to 65535")                          \
    XX(TARN_ERR_ALTERNATE_PORT, -6, "the alternate source port is outside 0 to 65535")             \
    XX(TARN_ERR_RECEIVE_BUFFER, -7, "the receive-buffer request is negative")                      \
    XX(TARN_ERR_SOCKET, -8, "the UDP socket could not be created or set up")                       \
    XX(TARN_ERR_BIND, -9, "the local address and port could not be bound")                         \
    XX(TARN_ERR_THREAD, -10, "a worker thread could not be started")                               \
    XX(TARN_ERR_NO_MEMORY, -11, "out of memory")                                                   \
    XX(TARN_ERR_INVALID_HANDLE, -12, "not an open stream or decoder (closed, or never opened)")    \
    XX(TARN_ERR_DEFAULT_STREAM, -13,                                                               \
       "the default stream is closed by KESODisconnectDevice, not tarn_stream_close")              \
    XX(TARN_ERR_NO_FRAME, -14, "no frame yet")                                                     \
    XX(TARN_ERR_TIMEOUT, -15, "no new frame within the time-out")                                  \
    XX(TARN_ERR_NOT_CONNECTED, -16, "the stream is not connected, or it closed")                   \
    XX(TARN_ERR_DATAGRAM_LENGTH, -17, "the datagram is empty")                                     \
    XX(TARN_ERR_DATA_CRC, -18, "the reply's data CRC does not match its data")                     \
    XX(TARN_ANGLE_HISTORY_DEGENERATE, -98, "plane angle: the last angles are all identical")       \
    XX(TARN_ANGLE_NO_PLANE, -99, "plane angle: no measurable plane")                               \
    XX(TARN_ANGLE_NOT_ENABLED, -100, "plane angle: the measurement is not enabled")

/* The result codes as constants. TARN_ANGLE_* are the codes of KESOGetPlaneAngle's result record. */
#define TARN_RESULT_ENUMERATOR_(name, value, text) name = value,
enum tarn_result { TARN_RESULT_MAP(TARN_RESULT_ENUMERATOR_) };
#undef TARN_RESULT_ENUMERATOR_

/* What tarn_decoder_push returns besides the codes above. */
#define TARN_DATAGRAM_TAKEN 0 /* the datagram was used or dropped; nothing is ready */
#define TARN_FRAME_READY 1    /* the datagram completed a frame: take it with tarn_decoder_frame */
#define TARN_IMU_READY 2      /* the datagram was an IMU sample: take it with tarn_decoder_imu */

/* The longest datagram the library reads; longer ones are cut to this length. */
#define TARN_MAX_DATAGRAM_BYTES 1472

/* One cell of a grid: the same 40 bytes as KESOPointData. */
typedef struct tarn_point {
    uint16_t row;
    uint16_t column;
    float distance;
    uint32_t intensity;
    float x;
    float y;
    float z;
    uint64_t timestamp;
    uint64_t tag;
} tarn_point;

#pragma pack(push, 1)
/* One inertial sample: the same 40 bytes as KESOImuData (byte-packed, so copy timestamp by value). */
typedef struct tarn_imu_sample {
    uint8_t header[2];
    uint8_t sample_flag;
    uint8_t reserved[3];
    uint64_t timestamp; /* the sensor's timestamp divided by 1,000,000 */
    uint8_t sample[26];
} tarn_imu_sample;
#pragma pack(pop)

/* What is known of one decoded frame. */
typedef struct tarn_frame_info {
    uint64_t sequence;          /* 1 for the stream's first decoded frame, then one more per frame */
    uint32_t datagrams;         /* point datagrams in the frame */
    uint32_t cells_written;     /* distinct cells the frame's datagrams wrote, 0 to TARN_CELLS */
    uint8_t complete;           /* 1 when cells_written is TARN_CELLS */
    uint8_t merged;             /* 1 when the frame's first datagram was lost and it holds the
                                   previous frame's datagrams too */
    uint8_t pixel_type;         /* pixel type of the frame's last datagram: 0, 1 or 2 */
    uint8_t mixed_pixel_types;  /* 1 when its datagrams do not all have that pixel type */
    uint8_t redelivered;        /* 1 when this is the previous frame again, completed by a
                                   duplicate of its last datagram (merged then tells what the
                                   previous frame was) */
    uint8_t reserved[3];
    uint64_t first_timestamp;   /* header timestamp of the frame's first datagram */
    uint64_t last_timestamp;    /* header timestamp of its last datagram */
    int64_t receive_monotonic_ns; /* host receive time of the last datagram, CLOCK_MONOTONIC */
    int64_t receive_realtime_ns;  /* the same instant, CLOCK_REALTIME */
} tarn_frame_info;

/* Counters of a stream since it was opened (the default stream: since its latest connect). Each is
 * written by one library thread and read without stopping it, so a snapshot may be a few datagrams
 * apart between counters. */
typedef struct tarn_stream_stats {
    uint64_t datagrams_read;          /* received from the socket, of any source */
    uint64_t datagrams_rejected;      /* from another address or port */
    uint64_t datagrams_queue_full;    /* accepted but dropped: the datagram queue was full */
    uint64_t invalid_magic;           /* invalid datagrams, by the first check they failed */
    uint64_t invalid_type;
    uint64_t invalid_version;
    uint64_t invalid_pixel_type;
    uint64_t invalid_frame_flag;
    uint64_t invalid_short;           /* shorter than their header */
    uint64_t invalid_imu_flag;        /* IMU datagrams whose sample flag is not 1 */
    uint64_t frames_completed;        /* last datagrams that closed a frame */
    uint64_t frames_queue_full;       /* completed frames lost to a full frame queue */
    uint64_t frames_lost_last;        /* frames lost because their last datagram was lost */
    uint64_t frames_merged;           /* completed frames that were merged (see tarn_frame_info) */
    uint64_t frames_too_long;         /* working lists discarded for holding too many datagrams
                                         (the rest of such a frame is dropped up to the next first
                                         datagram) */
    uint64_t frames_decoded;
    uint64_t frames_incomplete;       /* decoded frames that did not write every cell */
    uint64_t imu_samples;
    uint64_t kernel_drops;            /* datagrams the kernel dropped on a full receive buffer */
    uint64_t receive_buffer_bytes;    /* the receive buffer the kernel granted */
    uint64_t frames_redelivered;      /* completed frames that repeated the previous one because
                                         its last datagram came twice (not counted as merged) */
} tarn_stream_stats;

/* The source and arrival of one datagram, for the datagram tap. Addresses in host byte order. */
typedef struct tarn_datagram_meta {
    uint32_t source_address;
    uint16_t source_port;
    uint16_t destination_port;
    uint32_t destination_address; /* the local address it was sent to */
    uint32_t reserved;
    int64_t receive_monotonic_ns;
    int64_t receive_realtime_ns;
} tarn_datagram_meta;

/* A stream's handle. It names the stream by a number that no other stream of the process ever has,
 * so a closed handle is refused (TARN_ERR_INVALID_HANDLE) by every call and never reaches a stream
 * opened later. Opaque: never dereference it. */
typedef struct tarn_stream tarn_stream;
typedef struct tarn_decoder tarn_decoder;

/* Called on the stream's decoder thread after every decoded frame. grid is the stream's decode grid,
 * valid and unchanged only until the callback returns. */
typedef void (*tarn_frame_callback)(const tarn_point* grid, const tarn_frame_info* info, void* user);
/* Called on the stream's assembler thread for every IMU sample. */
typedef void (*tarn_imu_callback)(const tarn_imu_sample* sample, void* user);
/* Called on the stream's receiver thread for every datagram that passes the source filter, before
 * assembly. It holds up the receiver: copy and return. */
typedef void (*tarn_datagram_callback)(const uint8_t* datagram, size_t length,
                                       const tarn_datagram_meta* meta, void* user);
/* Receives every line the library prints, without its line end. stream is the stream the line
 * belongs to (the default stream for the KESO connection), or null for lines of the control channel
 * and the angle measurement. Called on whichever thread prints. */
typedef void (*tarn_log_handler)(tarn_stream* stream, const char* line, void* user);

/* tarn_stream_open reads the configuration, strings included, during the call only: it keeps no
 * pointer into it, so the caller may change or free the strings once it has returned. */
typedef struct tarn_stream_config {
    const char* local_address;   /* address to bind; null or "" binds every local address */
    int local_port;              /* 0 picks a free port (read it back with tarn_stream_local_port) */
    const char* device_address;  /* the sensor's address, dotted quad; required */
    int device_port;             /* the sensor's measurement source port, 1 to 65535; required */
    int alternate_port;          /* a second accepted source port; 0 accepts none */
    int64_t receive_buffer_bytes; /* receive-buffer request; 0 asks for the library's default */
    tarn_frame_callback on_frame;
    void* frame_user;
    tarn_imu_callback on_imu;
    void* imu_user;
    tarn_datagram_callback on_datagram;
    void* datagram_user;
} tarn_stream_config;

/* The library's version, "major.minor.patch". Any thread. */
const char* tarn_version(void);

/* A static text for any result code of this interface or of KESOApi.h. Any thread. */
const char* tarn_strerror(int code);

/* Sends every line the library prints to handler instead of standard output and standard error;
 * null restores printing. Any thread; a line being printed at that moment may still go the old way. */
void tarn_set_log_handler(tarn_log_handler handler, void* user);

/* Fills config with the defaults: every local address, port 0, alternate port 6301, the default
 * receive-buffer request, no callbacks. The caller then sets device_address and device_port. */
void tarn_stream_config_init(tarn_stream_config* config);

/* Opens a stream: binds the local address and port and starts the stream's receiver, assembler and
 * decoder. *out is set only on success. Returns TARN_OK, TARN_ERR_NULL_ARGUMENT, an argument's code
 * (TARN_ERR_LOCAL_ADDRESS to TARN_ERR_RECEIVE_BUFFER), TARN_ERR_SOCKET, TARN_ERR_BIND,
 * TARN_ERR_THREAD or TARN_ERR_NO_MEMORY. Prints one warning line when the granted receive buffer
 * holds fewer than two frames. Any thread. */
int tarn_stream_open(const tarn_stream_config* config, tarn_stream** out);

/* Stops and frees a stream. On an application thread it returns once the stream's threads have
 * returned: no callback of the stream runs after it, and nothing still queued is delivered; it
 * waits for the callback in progress, never for the queue. Inside a callback (on any library
 * thread) it does not wait: the stream stops, callbacks already running finish, and the stream is
 * freed when its last thread returns. Either way the handle is invalid afterwards, for good: no
 * later stream has it. Returns TARN_OK, TARN_ERR_INVALID_HANDLE, or TARN_ERR_DEFAULT_STREAM for
 * the default stream. Any thread. */
int tarn_stream_close(tarn_stream* stream);

/* The default stream, driven by KESOConnectDevice and KESODisconnectDevice. Valid for the whole
 * process; use it with the reading calls below. */
tarn_stream* tarn_stream_default(void);

/* The local port the stream is bound to (the default stream: 0 while disconnected). Any thread. */
int tarn_stream_local_port(tarn_stream* stream, int* port);

/* Copies the latest published frame into grid (TARN_CELLS records) and its info into info (either
 * may be null to skip it). Returns TARN_OK, TARN_ERR_NO_FRAME (nothing published yet; for the
 * default stream: nothing in the current connection), TARN_ERR_INVALID_HANDLE or
 * TARN_ERR_NOT_CONNECTED. Any thread. */
int tarn_stream_get_frame(tarn_stream* stream, tarn_point* grid, tarn_frame_info* info);

/* Blocks until a frame newer than the last one this call returned for the stream is published, or
 * timeout_ms passes (0 only looks; negative waits without limit), then copies it as
 * tarn_stream_get_frame does. Returns TARN_OK, TARN_ERR_TIMEOUT, TARN_ERR_INVALID_HANDLE, or
 * TARN_ERR_NOT_CONNECTED when the stream closes or disconnects while waiting (or is not connected).
 * Any thread; with several waiters on one stream each frame goes to one of them. */
int tarn_stream_wait_frame(tarn_stream* stream, int timeout_ms, tarn_point* grid,
                           tarn_frame_info* info);

/* Copies the stream's counters. Returns TARN_OK, TARN_ERR_NULL_ARGUMENT or
 * TARN_ERR_INVALID_HANDLE. Any thread. */
int tarn_stream_get_stats(tarn_stream* stream, tarn_stream_stats* stats);

/* A source whose datagrams the stream's source filter rejected (datagrams_rejected counts them all).
 * The address is in host byte order. */
typedef struct tarn_rejected_source {
    uint32_t address;
    uint16_t port;
    uint16_t reserved;
    uint64_t datagrams; /* rejected from this source since the stream opened (default: connected) */
} tarn_rejected_source;

/* How many distinct rejected sources a stream keeps: the first ones it heard. */
#define TARN_REJECTED_SOURCES_KEPT 4

/* Copies up to capacity of the sources the stream kept, in the order it first heard them, into
 * sources, and sets *count to how many it kept (at most TARN_REJECTED_SOURCES_KEPT; more than
 * capacity when sources is too short). A stream that rejects every datagram can thus say whom it
 * heard. sources may be null when capacity is 0. Returns TARN_OK, TARN_ERR_NULL_ARGUMENT or
 * TARN_ERR_INVALID_HANDLE. Any thread. */
int tarn_stream_get_rejected_sources(tarn_stream* stream, tarn_rejected_source* sources,
                                     size_t capacity, size_t* count);

/* A decoder without a socket: push datagrams in arrival order and take each completed frame. It
 * assembles and decodes exactly as a stream does. One thread at a time per decoder. Open returns
 * TARN_OK, TARN_ERR_NULL_ARGUMENT or TARN_ERR_NO_MEMORY; close TARN_OK or TARN_ERR_INVALID_HANDLE.
 * A closed decoder's handle stays invalid for good: it never names a decoder opened later. */
int tarn_decoder_open(tarn_decoder** out);
int tarn_decoder_close(tarn_decoder* decoder);

/* Hands one datagram to the decoder, with its host receive times (0 when unknown). Returns
 * TARN_FRAME_READY, TARN_IMU_READY, TARN_DATAGRAM_TAKEN, or TARN_ERR_NULL_ARGUMENT,
 * TARN_ERR_DATAGRAM_LENGTH (empty; longer than TARN_MAX_DATAGRAM_BYTES is cut as a socket would),
 * TARN_ERR_INVALID_HANDLE, or TARN_ERR_NO_MEMORY (the frame being gathered is then lost). A ready
 * frame or sample stays available until the next push. */
int tarn_decoder_push(tarn_decoder* decoder, const void* datagram, size_t length,
                      int64_t receive_monotonic_ns, int64_t receive_realtime_ns);

/* Copies the frame completed by the latest push (grid and info may be null). TARN_ERR_NO_FRAME
 * when the latest push did not complete one. */
int tarn_decoder_frame(tarn_decoder* decoder, tarn_point* grid, tarn_frame_info* info);

/* Copies the IMU sample of the latest push. TARN_ERR_NO_FRAME when it was not an IMU sample. */
int tarn_decoder_imu(tarn_decoder* decoder, tarn_imu_sample* sample);

/* The decoder's counters (the socket counters stay 0). */
int tarn_decoder_get_stats(tarn_decoder* decoder, tarn_stream_stats* stats);

#ifdef __cplusplus
}
#endif

#endif /* TARN_TARN_H */
