/* tarn SDK: ROS 2 topics over DDS (Eclipse Cyclone DDS), without a ROS installation.
 *
 * One publisher is one DDS participant; any number of sensors publish through it, each under its
 * own namespace and frame_id. A sensor's topics follow ROS 2's conventions: /<namespace>/points is
 * the DDS topic "rt/<namespace>/points" of type "sensor_msgs::msg::dds_::PointCloud2_", and so on:
 *
 *   points            sensor_msgs/msg/PointCloud2      sensor-data QoS
 *   depth/image       sensor_msgs/msg/Image (32FC1)    sensor-data QoS
 *   intensity/image   sensor_msgs/msg/Image (mono16)   sensor-data QoS
 *   imu_raw           tarn_msgs/msg/ImuRaw             sensor-data QoS
 *   imu               sensor_msgs/msg/Imu              sensor-data QoS, only with an IMU layout
 *   diagnostics       diagnostic_msgs/msg/DiagnosticArray, once a second, reliable
 *
 * Sensor-data QoS is ROS 2's profile: best effort, keep last 5, volatile. Each endpoint's user data
 * holds "typehash=RIHS01_<sha256>;" as ROS 2 Iron and later expect.
 *
 * Messages are serialised once, by the messages component (tarn/messages.h), on the thread that
 * hands a frame in; a thread of the publisher writes them to DDS from a one-message queue per
 * topic. A message still queued when the next one of its topic arrives is replaced and counted as
 * not published; the diagnostics report those counts.
 *
 * Every function returns TARN_OK (0) or a negative code; tarn_dds_strerror() names each one.
 * This header compiles as C99 and as C++11 and later.
 */
#ifndef TARN_DDS_H
#define TARN_DDS_H

#include <stddef.h>
#include <stdint.h>

#include "tarn/messages.h"
#include "tarn/tarn.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes of this interface besides those of tarn.h and tarn/messages.h. */
#define TARN_ERR_DDS (-60)          /* Cyclone DDS refused a participant, topic or writer */
#define TARN_ERR_DDS_DOMAIN (-61)   /* the domain id is outside 0 to 232, or ROS_DOMAIN_ID is */
#define TARN_ERR_DDS_NAMESPACE (-62) /* the namespace is not a ROS 2 name (see tarn_dds_sensor_config) */
#define TARN_ERR_DDS_QOS (-63)      /* a history depth below 1 */

/* The topics of a sensor, for tarn_dds_topic_name() and tarn_dds_sensor_stats. */
#define TARN_DDS_POINTS 0
#define TARN_DDS_DEPTH_IMAGE 1
#define TARN_DDS_INTENSITY_IMAGE 2
#define TARN_DDS_IMU_RAW 3
#define TARN_DDS_IMU 4
#define TARN_DDS_DIAGNOSTICS 5
#define TARN_DDS_TOPICS 6

/* One topic's QoS: reliable (1) or best effort (0), and the keep-last history depth. */
typedef struct tarn_dds_qos {
    int reliable;
    int depth;
} tarn_dds_qos;

typedef struct tarn_dds_config {
    /* The DDS domain. -1 reads ROS_DOMAIN_ID as ROS 2 does (unset or empty gives 0). */
    int domain_id;
    /* Cyclone DDS configuration: XML text, or a file as "file:///path" or a plain path. Null or ""
     * leaves it to CYCLONEDDS_URI, as Cyclone DDS reads it. Copied. */
    const char* cyclonedds_config;
    tarn_dds_qos data_qos;        /* default: best effort, depth 5 */
    tarn_dds_qos diagnostics_qos; /* default: reliable, depth 5 */
    int diagnostics_period_ms;    /* default 1000; 0 publishes no diagnostics */
} tarn_dds_config;

typedef struct tarn_dds_sensor_config {
    /* The sensor's namespace without leading or trailing '/', e.g. "tarn" or "robot/front":
     * letters, digits and '_' in tokens separated by single '/', no token starting with a digit.
     * Null or "" gives "tarn". Copied. */
    const char* namespace_name;
    /* The messages' frame_id, stamps and IMU layout; its hardware_id names the sensor in the
     * diagnostics. Copied. */
    tarn_messages_config messages;
    /* The stream whose counters the diagnostics report; null reports zeros. Not owned: close the
     * sensor (or the publisher) before the stream. */
    tarn_stream* stream;
} tarn_dds_sensor_config;

/* What one topic of a sensor did since the sensor was added. */
typedef struct tarn_dds_topic_stats {
    uint64_t offered;       /* messages handed in */
    uint64_t published;     /* written to DDS */
    uint64_t not_published; /* replaced in the queue by a newer one, or lost to a failed write */
    uint64_t failed;        /* of those, writes Cyclone DDS refused, or messages not serialised */
    uint32_t subscribers;   /* readers matched now (0 for a topic the sensor does not have) */
    uint32_t reserved;
} tarn_dds_topic_stats;

typedef struct tarn_dds tarn_dds;
typedef struct tarn_dds_sensor tarn_dds_sensor;

/* Defaults: domain -1 (ROS_DOMAIN_ID), no configuration (CYCLONEDDS_URI), sensor-data QoS for
 * data, reliable depth 5 for diagnostics, one diagnostics message a second. Any thread. */
void tarn_dds_config_init(tarn_dds_config* config);
/* Namespace "tarn", the messages' defaults, no stream. Any thread. */
void tarn_dds_sensor_config_init(tarn_dds_sensor_config* config);

/* Makes the participant and starts the publisher's thread. *out is set only on success. Returns
 * TARN_OK, TARN_ERR_NULL_ARGUMENT, TARN_ERR_DDS_DOMAIN, TARN_ERR_DDS_QOS, TARN_ERR_DDS,
 * TARN_ERR_THREAD or TARN_ERR_NO_MEMORY. Any thread. */
int tarn_dds_open(const tarn_dds_config* config, tarn_dds** out);
/* Stops the thread, writes nothing more, deletes every writer and the participant and frees the
 * sensors. Call it after the streams feeding it have stopped calling in. Null is ignored. */
int tarn_dds_close(tarn_dds* dds);

/* Adds a sensor: its writers appear on the network at once. Returns TARN_OK,
 * TARN_ERR_NULL_ARGUMENT, TARN_ERR_DDS_NAMESPACE, the messages' codes, TARN_ERR_DDS or
 * TARN_ERR_NO_MEMORY. The sensor lives until tarn_dds_close. Any thread. */
int tarn_dds_add_sensor(tarn_dds* dds, const tarn_dds_sensor_config* config,
                        tarn_dds_sensor** out);

/* Publishes a frame as points, depth/image and intensity/image. Serialises on the calling thread
 * and returns; the grid is not used afterwards. One thread at a time per sensor. */
int tarn_dds_publish_frame(tarn_dds_sensor* sensor, const tarn_point* grid,
                           const tarn_frame_info* info);
/* Publishes an IMU sample as imu_raw and, with a layout, imu. */
int tarn_dds_publish_imu(tarn_dds_sensor* sensor, const tarn_imu_sample* sample,
                         int64_t receive_realtime_ns);
/* A tarn_frame_callback and a tarn_imu_callback whose user pointer is a tarn_dds_sensor, for a
 * stream's on_frame/on_imu (the IMU receive time is the host's CLOCK_REALTIME at the call). */
void tarn_dds_on_frame(const tarn_point* grid, const tarn_frame_info* info, void* sensor);
void tarn_dds_on_imu(const tarn_imu_sample* sample, void* sensor);

/* Sets the stream whose counters the sensor's diagnostics report (null: zeros). Any thread. */
int tarn_dds_sensor_set_stream(tarn_dds_sensor* sensor, tarn_stream* stream);
/* Copies the sensor's counters, TARN_DDS_TOPICS of them, in topic order. Any thread. */
int tarn_dds_sensor_stats(const tarn_dds_sensor* sensor, tarn_dds_topic_stats* stats);

/* The topic's name below the namespace ("points", "depth/image", ...), or null. */
const char* tarn_dds_topic_name(int topic);
/* The DDS type name of a message kind ("sensor_msgs::msg::dds_::PointCloud2_"), or null. */
const char* tarn_dds_type_name(int message_kind);
/* The ROS 2 type hash of a message kind, "RIHS01_" and 64 hex digits, or null. */
const char* tarn_dds_type_hash(int message_kind);

/* A static text for any code of this interface, of tarn/messages.h and of tarn.h. Any thread. */
const char* tarn_dds_strerror(int code);

#ifdef __cplusplus
}
#endif

#endif /* TARN_DDS_H */
