/* tarn SDK: recordings.
 *
 * A recording is a capture file of the sensor's datagrams, as tarn record, tcpdump or Wireshark
 * write it. This interface reads the measurement datagrams of one in capture order, and writes one
 * from a stream's datagram tap. To read a recording as frames, open it as a frame source
 * (tarn/source.h): its frames are the ones a live stream of the same datagrams gives.
 *
 * Every function returns TARN_OK (0) or a negative result code unless it says otherwise;
 * tarn_recording_strerror() names each code of this header and of tarn.h.
 *
 * This header compiles as C99 and as C++11 and later.
 */
#ifndef TARN_RECORDING_H
#define TARN_RECORDING_H

#include <stddef.h>
#include <stdint.h>

#include "tarn/tarn.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The data types of measurement datagrams (tarn_recording_datagram.data_type). */
#define TARN_RECORDING_POINT_DATA 1
#define TARN_RECORDING_IMU_DATA 4

/* The results of this header beside those of tarn.h, with the text tarn_recording_strerror() gives
 * for each: XX(name, value, text). The constants below and tarn_recording_strerror() are both made
 * from this one list. TARN_RECORDING_END is what the reading calls return when the recording holds
 * nothing more. */
#define TARN_RECORDING_RESULT_MAP(XX)                                                     \
    XX(TARN_RECORDING_END, 3, "the recording holds nothing more")                         \
    XX(TARN_ERR_RECORDING_OPEN, -201, "the file cannot be opened, or is no capture file") \
    XX(TARN_ERR_RECORDING_DAMAGED, -202, "a record of the recording is damaged")          \
    XX(TARN_ERR_RECORDING_WRITE, -203, "the recording could not be written")              \
    XX(TARN_ERR_RECORDING_THREAD, -204, "the recording writer's thread could not be started")

#define TARN_RECORDING_RESULT_ENUMERATOR_(name, value, text) name = value,
enum tarn_recording_result { TARN_RECORDING_RESULT_MAP(TARN_RECORDING_RESULT_ENUMERATOR_) };
#undef TARN_RECORDING_RESULT_ENUMERATOR_

/* A static text for any result code of this header and of tarn.h. Any thread. */
const char* tarn_recording_strerror(int code);

/* ---- Reading ------------------------------------------------------------------------------- */

/* One measurement datagram of a recording: a UDP payload starting with the bytes 5A A5. payload is
 * the reader's and stays valid until the next tarn_recording_next or tarn_recording_close on the
 * same reader. Addresses in host byte order. */
typedef struct tarn_recording_datagram {
    const uint8_t* payload;
    size_t length;               /* 0 to 65507 bytes; the library reads at most
                                    TARN_MAX_DATAGRAM_BYTES of them, as a socket would */
    int64_t capture_realtime_ns; /* capture time since the epoch, in nanoseconds */
    uint32_t source_address;
    uint16_t source_port;
    uint16_t destination_port;
    uint32_t destination_address;
    uint8_t data_type; /* the datagram's data type byte: 1 points, 4 IMU; 0 when it is
                          shorter than its common header */
    uint8_t reserved[3];
    uint64_t record; /* its record's place in the file, 1 for the first */
} tarn_recording_datagram;

/* What a reader has read so far. Every record of the file is counted once: as a measurement
 * datagram, or under the first reason it was passed over. */
typedef struct tarn_recording_stats {
    uint64_t records;     /* records read */
    uint64_t measurement; /* measurement datagrams returned */
    uint64_t other_udp;   /* UDP datagrams that are no measurement datagram (empty ones too) */
    uint64_t not_ipv4;    /* other link or network protocols: ARP, IPv6, ... */
    uint64_t not_udp;     /* IPv4 packets of another protocol */
    uint64_t fragments;   /* IPv4 fragments (the sensor never sends any) */
    uint64_t snapped;     /* records the capture cut short of their packet (snap length) */
    uint64_t malformed;   /* headers that contradict their record's length */
    uint8_t cut;          /* 1 when the file ends inside a record (a crash, a full disk) */
    uint8_t reserved[7];
} tarn_recording_stats;

typedef struct tarn_recording_reader tarn_recording_reader;

/* Opens a capture file for reading: pcap (either byte order, microsecond or nanosecond times) and
 * pcapng as libpcap reads them, taken on Ethernet (with VLAN tags), Linux "any" (cooked, v1 and
 * v2), raw IP or BSD loopback links. A file of another link type opens and yields nothing.
 * path is copied. *out is set only on success. Returns TARN_OK, TARN_ERR_NULL_ARGUMENT,
 * TARN_ERR_NO_MEMORY or TARN_ERR_RECORDING_OPEN; error, when not null, receives the reason as one
 * line ("cannot read FILE: ..."; at most error_size bytes with its terminating NUL). Any thread. */
int tarn_recording_open(const char* path, tarn_recording_reader** out, char* error,
                        size_t error_size);

/* Reads the next measurement datagram into *datagram. Returns TARN_OK, TARN_RECORDING_END at the
 * end of the file, TARN_ERR_RECORDING_DAMAGED (a record libpcap cannot read; the reader stays at
 * its end), TARN_ERR_NULL_ARGUMENT, TARN_ERR_NO_MEMORY or TARN_ERR_INVALID_HANDLE. A file cut
 * inside its last record ends at the cut: TARN_RECORDING_END, with stats.cut set and
 * tarn_recording_error saying where. One thread at a time per reader. */
int tarn_recording_next(tarn_recording_reader* reader, tarn_recording_datagram* datagram);

/* Copies the reader's counters. Returns TARN_OK, TARN_ERR_NULL_ARGUMENT or
 * TARN_ERR_INVALID_HANDLE. One thread at a time per reader. */
int tarn_recording_get_stats(tarn_recording_reader* reader, tarn_recording_stats* stats);

/* One line saying why the latest call failed, or where a cut file ends; "" when nothing went
 * wrong. Owned by the reader, valid until its next call. Never null (a null reader gives ""). */
const char* tarn_recording_error(tarn_recording_reader* reader);

/* Closes the file and frees the reader; null is accepted. Any thread, once no call on the reader
 * runs. */
void tarn_recording_close(tarn_recording_reader* reader);

/* ---- Writing ------------------------------------------------------------------------------- */

/* The queue of a writer opened with queue_datagrams 0: about nine frames of 10-byte pixels. */
#define TARN_RECORDING_DEFAULT_QUEUE 4096

/* What a writer has done so far. written counts only datagrams whose bytes the file took; after a
 * write error the file holds exactly those, in whole records. */
typedef struct tarn_recording_writer_stats {
    uint64_t taken;   /* handed to the writer */
    uint64_t dropped; /* refused: the queue was full, or the writer had failed */
    uint64_t written; /* in the file */
    uint64_t bytes;   /* the file's length */
    uint8_t failed;   /* 1 once a write failed: nothing more is written */
    uint8_t reserved[7];
} tarn_recording_writer_stats;

typedef struct tarn_recording_writer tarn_recording_writer;

/* Creates or truncates path and starts the writer's thread. The file is pcap with nanosecond
 * times on an Ethernet link: each datagram becomes an Ethernet/IPv4/UDP packet with its source,
 * destination and receive time, which tcpdump and Wireshark open. queue_datagrams bounds the
 * datagrams waiting for the disk (0: TARN_RECORDING_DEFAULT_QUEUE). path is copied. *out is set
 * only on success. Returns TARN_OK, TARN_ERR_NULL_ARGUMENT, TARN_ERR_NO_MEMORY,
 * TARN_ERR_RECORDING_THREAD or TARN_ERR_RECORDING_WRITE; error, when not null, receives the reason
 * as one line (at most error_size bytes with its terminating NUL). Any thread. */
int tarn_recording_writer_open(const char* path, size_t queue_datagrams,
                               tarn_recording_writer** out, char* error, size_t error_size);

/* A tarn_datagram_callback: put it in tarn_stream_config.on_datagram with the writer as
 * datagram_user. It copies the datagram into the queue and returns at once; a full queue or a
 * failed writer drops it (counted). Never blocks. One thread at a time per writer (a stream's
 * receiver calls it), until tarn_recording_writer_finish. */
void tarn_recording_writer_tap(const uint8_t* datagram, size_t length,
                               const tarn_datagram_meta* meta, void* writer);

/* Copies the writer's counters. Any thread, while the tap and the writer's thread run. Returns
 * TARN_OK, TARN_ERR_NULL_ARGUMENT or TARN_ERR_INVALID_HANDLE. */
int tarn_recording_writer_get_stats(tarn_recording_writer* writer,
                                    tarn_recording_writer_stats* stats);

/* Writes what is queued, stops the writer's thread and closes the file, checking each write, the
 * flush to the disk and the close. Call once nothing calls the tap any more (close the stream
 * first). stats, when not null, receives the final counters. Returns TARN_OK,
 * TARN_ERR_RECORDING_WRITE (the reason in tarn_recording_writer_error), TARN_ERR_INVALID_HANDLE;
 * later calls return the same. While the writer runs, stats.failed tells that a write failed. Any
 * thread, one at a time. */
int tarn_recording_writer_finish(tarn_recording_writer* writer, tarn_recording_writer_stats* stats);

/* The write error tarn_recording_writer_finish met, as one line ("cannot write FILE: No space
 * left on device"), or "". Owned by the writer, valid until it is closed. Call after
 * tarn_recording_writer_finish, on its thread or after it returned. */
const char* tarn_recording_writer_error(tarn_recording_writer* writer);

/* Finishes the writer if that was not done, dropping the error, and frees it; null is accepted.
 * Any thread, once the tap is no longer called. */
void tarn_recording_writer_close(tarn_recording_writer* writer);

#ifdef __cplusplus
}
#endif

#endif /* TARN_RECORDING_H */
