/* tarn SDK: frames and IMU samples as ROS 2 messages.
 *
 * Serialises what tarn.h delivers into the bytes ROS 2 puts on the wire and into bags: CDR,
 * little-endian, behind the 4-byte encapsulation header 00 01 00 00. One frame becomes a
 * sensor_msgs/msg/PointCloud2, a depth and an intensity sensor_msgs/msg/Image; an IMU sample
 * becomes a tarn_msgs/msg/ImuRaw and, given a layout, a sensor_msgs/msg/Imu; a stream's counters
 * become a diagnostic_msgs/msg/DiagnosticArray. tarn_message_definition() gives each type's
 * definition as bags store it (ros2msg), for MCAP schemas and for readers that decode at run time.
 *
 * Every message has a std_msgs/Header whose frame_id comes from the configuration and whose stamp
 * is the host's CLOCK_REALTIME receive time of the frame's last datagram, or the sensor's
 * timestamp.
 *
 * Cells a frame did not write: the grid keeps an earlier frame's values there. Every datagram
 * stamps its cells with its header timestamp, so a cell belongs to the frame when the frame is
 * complete or when its timestamp lies between the frame's first_timestamp and last_timestamp. Other
 * cells are published as NaN coordinates, NaN depth and intensity 0.
 *
 * Each serialising call writes into the caller's buffer and sets *length to the message's size in
 * bytes. When capacity is smaller (buffer may then be null) it writes nothing, still sets *length
 * and returns TARN_ERR_BUFFER_TOO_SMALL, so a caller can size its buffer once and reuse it. Results
 * are TARN_OK or a negative code; tarn_messages_strerror() names every code.
 *
 * This header compiles as C99 and as C++11 and later.
 */
#ifndef TARN_MESSAGES_H
#define TARN_MESSAGES_H

#include <stddef.h>
#include <stdint.h>

#include "tarn/tarn.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes of this interface besides those of tarn.h. */
#define TARN_ERR_BUFFER_TOO_SMALL (-40) /* capacity is below *length; nothing was written */
/* No IMU layout was configured, or a value lies outside the sample's bytes or has an unknown type
 * or scale. */
#define TARN_ERR_IMU_LAYOUT (-41)
#define TARN_ERR_STAMP_SOURCE (-43) /* stamp_source is not a TARN_STAMP_ value */

/* The message kinds, for tarn_message_type_name() and tarn_message_definition(). */
#define TARN_MESSAGE_POINT_CLOUD 0     /* sensor_msgs/msg/PointCloud2 */
#define TARN_MESSAGE_DEPTH_IMAGE 1     /* sensor_msgs/msg/Image, 32FC1 */
#define TARN_MESSAGE_INTENSITY_IMAGE 2 /* sensor_msgs/msg/Image, mono16 */
#define TARN_MESSAGE_IMU_RAW 3         /* tarn_msgs/msg/ImuRaw */
#define TARN_MESSAGE_IMU 4             /* sensor_msgs/msg/Imu */
#define TARN_MESSAGE_DIAGNOSTICS 5     /* diagnostic_msgs/msg/DiagnosticArray */
#define TARN_MESSAGE_KINDS 6

/* Where header stamps come from: the frame's receive_realtime_ns (for IMU samples the time the
 * caller gives), or the sensor's timestamp times sensor_tick_ns. */
#define TARN_STAMP_RECEIVE_TIME 0
#define TARN_STAMP_SENSOR_TIME 1

/* The PointCloud2 point: x, y, z, intensity, distance as FLOAT32 at 0, 4, 8, 12, 16, then row and
 * column as UINT16 at 20 and 22. 24 bytes, every field naturally aligned. */
#define TARN_POINT_STEP 24

/* Types of an IMU value inside the sample's 26 passed-through bytes. */
#define TARN_IMU_INT16 1
#define TARN_IMU_UINT16 2
#define TARN_IMU_INT32 3
#define TARN_IMU_UINT32 4
#define TARN_IMU_FLOAT32 5

/* One value of the sample: its byte offset in tarn_imu_sample.sample, its type, and the factor that
 * turns the raw value into the message's unit (rad/s, m/s^2). */
typedef struct tarn_imu_value {
    uint32_t offset;
    uint32_t type; /* a TARN_IMU_ type */
    double scale;  /* finite and not 0 */
} tarn_imu_value;

/* Where an application's sensor keeps its readings. The Imu message carries no orientation
 * (orientation_covariance[0] is -1) and unknown covariances (all 0). */
typedef struct tarn_imu_layout {
    tarn_imu_value angular_velocity[3];    /* x, y, z */
    tarn_imu_value linear_acceleration[3]; /* x, y, z */
    uint8_t big_endian;                    /* 1: the values are big-endian; 0: little-endian */
} tarn_imu_layout;

typedef struct tarn_messages_config {
    const char* frame_id;    /* the headers' frame_id; null or "" gives "tarn". Copied. */
    int stamp_source;        /* TARN_STAMP_RECEIVE_TIME or TARN_STAMP_SENSOR_TIME */
    uint64_t sensor_tick_ns; /* nanoseconds per unit of the sensor's timestamp; 0 means 1 */
    const tarn_imu_layout* imu_layout; /* null: no sensor_msgs/msg/Imu. Copied. */
    const char* hardware_id;           /* the diagnostics' hardware_id; null gives "". Copied. */
} tarn_messages_config;

typedef struct tarn_messages tarn_messages;

/* Fills config with the defaults: frame_id "tarn", receive-time stamps, one nanosecond per sensor
 * tick, no IMU layout, no hardware id. Any thread. */
void tarn_messages_config_init(tarn_messages_config* config);

/* Makes a serialiser for one stream. *out is set only on success. Returns TARN_OK,
 * TARN_ERR_NULL_ARGUMENT, TARN_ERR_STAMP_SOURCE, TARN_ERR_IMU_LAYOUT or TARN_ERR_NO_MEMORY. */
int tarn_messages_open(const tarn_messages_config* config, tarn_messages** out);
/* Frees it; null is ignored. Returns TARN_OK. */
int tarn_messages_close(tarn_messages* messages);

/* The ROS 2 type name of a kind ("sensor_msgs/msg/PointCloud2"), or null for an unknown kind. */
const char* tarn_message_type_name(int kind);
/* The kind's full definition as ROS 2 bags store it: its .msg text, then every type it depends on,
 * each after a line of 80 '=' and a line "MSG: package/Type". Null for an unknown kind. Static
 * texts; any thread. */
const char* tarn_message_definition(int kind);

/* A frame (grid of TARN_CELLS records and its info) as a sensor_msgs/msg/PointCloud2: height 150,
 * width 360, point_step TARN_POINT_STEP, row_step 8640, is_dense false. Returns TARN_OK,
 * TARN_ERR_NULL_ARGUMENT or TARN_ERR_BUFFER_TOO_SMALL. The frame calls may run on several threads
 * at once with one handle. */
int tarn_messages_point_cloud(const tarn_messages* messages, const tarn_point* grid,
                              const tarn_frame_info* info, uint8_t* buffer, size_t capacity,
                              size_t* length);
/* The frame's distances as a 360 x 150 sensor_msgs/msg/Image, encoding 32FC1, in the grid's units.
 */
int tarn_messages_depth_image(const tarn_messages* messages, const tarn_point* grid,
                              const tarn_frame_info* info, uint8_t* buffer, size_t capacity,
                              size_t* length);
/* The frame's intensities as a 360 x 150 sensor_msgs/msg/Image, encoding mono16 (little-endian;
 * values above 65535 are held at 65535). */
int tarn_messages_intensity_image(const tarn_messages* messages, const tarn_point* grid,
                                  const tarn_frame_info* info, uint8_t* buffer, size_t capacity,
                                  size_t* length);

/* An IMU sample as a tarn_msgs/msg/ImuRaw (see share/tarn_msgs/msg/ImuRaw.msg). receive_realtime_ns
 * is the stamp with receive-time stamps; with sensor stamps the sample's timestamp (the sensor's
 * divided by 1,000,000) times 1,000,000 times sensor_tick_ns is. */
int tarn_messages_imu_raw(const tarn_messages* messages, const tarn_imu_sample* sample,
                          int64_t receive_realtime_ns, uint8_t* buffer, size_t capacity,
                          size_t* length);
/* The same sample as a sensor_msgs/msg/Imu read through the configured layout; TARN_ERR_IMU_LAYOUT
 * without one. */
int tarn_messages_imu(const tarn_messages* messages, const tarn_imu_sample* sample,
                      int64_t receive_realtime_ns, uint8_t* buffer, size_t capacity,
                      size_t* length);

/* A stream's counters as a diagnostic_msgs/msg/DiagnosticArray with one status "tarn stream":
 * every counter, frames lost since the previous report and the decoded-frame rate over that time.
 * The level is WARN when frames were lost since the previous report (a full frame queue, a lost
 * last datagram or an overlong frame), otherwise OK. stamp_realtime_ns is the header's stamp,
 * whatever stamp_source says. Only a call that returns TARN_OK becomes the previous report. Meant
 * to be called about once a second; one thread at a time per handle, apart from the frame calls. */
int tarn_messages_diagnostics(tarn_messages* messages, const tarn_stream_stats* stats,
                              int64_t stamp_realtime_ns, uint8_t* buffer, size_t capacity,
                              size_t* length);

/* A static text for any code of this interface or of tarn.h. Any thread. */
const char* tarn_messages_strerror(int code);

#ifdef __cplusplus
}
#endif

#endif /* TARN_MESSAGES_H */
