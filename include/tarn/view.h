/* tarn SDK: the live viewer's server.
 *
 * Serves one port to browsers and to Foxglove-protocol clients: HTTP requests get the viewer page
 * (its files are built into the library; three.js comes from the host's three.js directory), and a
 * WebSocket with the subprotocol "foxglove.websocket.v1" gets the server's channels. Each sensor
 * has five channels under its namespace NS: /NS/points (sensor_msgs/msg/PointCloud2), /NS/depth
 * and /NS/intensity (sensor_msgs/msg/Image), /NS/diagnostics (diagnostic_msgs/msg/DiagnosticArray)
 * and /NS/imu (tarn_msgs/msg/ImuRaw), every one with schema encoding "ros2msg" and message encoding
 * "cdr" (see tarn/messages.h).
 *
 * Each published message is serialised once, for every client that subscribed to its channel,
 * and only when at least one did. A client that does not keep up never slows the publisher: each
 * client holds at most one unsent message per channel, a newer one replaces it, and what a client
 * skipped that way is counted and sent to it in a status message once a second. A client whose
 * socket accepts nothing for stall_timeout_ms is dropped.
 *
 * Requests are untrusted: a Host header that names neither localhost, a loopback address nor the
 * listen address is refused (403), any path but the page's own files gets 404 and nothing from a
 * request reaches the file system; a client message larger than max_message_bytes, one that does
 * not parse, or one that names an unknown channel or subscription closes that connection only;
 * at most max_clients WebSocket connections are served at once (more are refused with 503).
 * Clients can only subscribe and unsubscribe: nothing they send changes a sensor or writes a file.
 *
 * Results are TARN_OK or a negative code; tarn_view_strerror() names every code. No function lets
 * a C++ exception escape.
 *
 * This header compiles as C99 and as C++11 and later.
 */
#ifndef TARN_VIEW_H
#define TARN_VIEW_H

#include <stddef.h>
#include <stdint.h>

#include "tarn/tarn.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes of this interface besides those of tarn.h, with the text tarn_view_strerror()
 * gives for each: XX(name, value, text). */
#define TARN_VIEW_RESULT_MAP(XX)                                                               \
    XX(TARN_VIEW_ERR_CONFIG, -60, "a view setting is out of range (port, sensors, namespace)") \
    XX(TARN_VIEW_ERR_LISTEN, -61, "the view's listen address could not be bound (in use?)")    \
    XX(TARN_VIEW_ERR_SENSOR, -62, "no sensor of that index")                                   \
    XX(TARN_VIEW_ERR_SERVER, -63, "the view's server could not start")

#define TARN_VIEW_RESULT_ENUMERATOR_(name, value, text) name = value,
enum tarn_view_result { TARN_VIEW_RESULT_MAP(TARN_VIEW_RESULT_ENUMERATOR_) };
#undef TARN_VIEW_RESULT_ENUMERATOR_

#define TARN_VIEW_DEFAULT_PORT 8765
#define TARN_VIEW_DEFAULT_MAX_CLIENTS 8
#define TARN_VIEW_MAX_SENSORS 16

typedef struct tarn_view_config {
    const char* listen_address; /* an IPv4 dotted quad; null or "" gives "127.0.0.1" */
    int port;                   /* 0 picks a free port (read it with tarn_view_port) */
    int max_clients;            /* WebSocket connections served at once, 1 to 1024 */
    int stall_timeout_ms;       /* a client whose socket takes nothing this long is dropped */
    size_t max_message_bytes;   /* largest client message (and HTTP body), 64 to 1048576 */
    int sensor_count;           /* 1 to TARN_VIEW_MAX_SENSORS */
    /* Each sensor's namespace (letters, digits, '_'; 1 to 32 characters), or null for the
     * defaults: "tarn" for a single sensor, "tarn0", "tarn1", ... for several. Copied. */
    const char* const* namespaces;
    const char* three_directory; /* where three.min.js lives; null gives the Debian path */
    const char* frame_id;        /* the messages' frame_id; null gives "tarn" */
} tarn_view_config;

typedef struct tarn_view tarn_view;

/* Fills config with the defaults: 127.0.0.1, port 8765, 8 clients, 5000 ms stall time-out,
 * 65536-byte client messages, one sensor with the default namespace. Any thread. */
void tarn_view_config_init(tarn_view_config* config);

/* Binds the port and starts serving on a thread of its own. *out is set only on success. Returns
 * TARN_OK, TARN_ERR_NULL_ARGUMENT, TARN_VIEW_ERR_CONFIG, TARN_VIEW_ERR_LISTEN or
 * TARN_ERR_NO_MEMORY. */
int tarn_view_open(const tarn_view_config* config, tarn_view** out);
/* Closes every connection, stops the server thread and frees the server; null is ignored. Returns
 * TARN_OK. No publishing call may run on another thread during or after it. */
int tarn_view_close(tarn_view* view);

/* The port the server listens on. Any thread. */
int tarn_view_port(const tarn_view* view, int* port);

/* Publish a sensor's frame (on its points, depth and intensity channels), an IMU sample or its
 * stream counters (about once a second). Serialises on the calling thread, only for channels
 * with a subscriber, and returns without waiting for any client. Any thread; calls for one sensor
 * should come from one thread at a time. Return TARN_OK, TARN_ERR_NULL_ARGUMENT,
 * TARN_VIEW_ERR_SENSOR or TARN_ERR_NO_MEMORY. */
int tarn_view_publish_frame(tarn_view* view, int sensor, const tarn_point* grid,
                            const tarn_frame_info* info);
int tarn_view_publish_imu(tarn_view* view, int sensor, const tarn_imu_sample* sample,
                          int64_t receive_realtime_ns);
int tarn_view_publish_stats(tarn_view* view, int sensor, const tarn_stream_stats* stats,
                            int64_t realtime_ns);

/* Sets *watched to 1 when some client subscribes to one of the sensor's points, depth or
 * intensity channels, else to 0 (a recording can wait for its first viewer this way). Any thread.
 * Returns TARN_OK, TARN_ERR_NULL_ARGUMENT or TARN_VIEW_ERR_SENSOR. */
int tarn_view_sensor_watched(const tarn_view* view, int sensor, int* watched);

/* Sends every client the sensor's latest plane angle as a status message (level 0, id
 * "tarn.angle.NS", message "angle 12.01" when measured is 1, else "angle: " and why). Serving
 * threads send it once they are free; it is never queued behind frames. */
int tarn_view_publish_angle(tarn_view* view, int sensor, int measured, float degrees,
                            const char* why);

/* Counters of the server since it opened. Any thread. */
typedef struct tarn_view_stats {
    uint64_t clients_accepted;        /* WebSocket connections opened */
    uint64_t clients_refused;         /* refused: foreign Host, no subprotocol, too many clients */
    uint64_t clients_closed_bad;      /* closed for a bad, oversized or out-of-order message */
    uint64_t clients_dropped_stalled; /* dropped for not reading */
    uint64_t messages_serialised; /* messages serialised (once each, whatever the client count) */
    uint64_t messages_sent;       /* message sends to clients */
    uint64_t messages_skipped;    /* unsent messages replaced by newer ones */
    uint64_t http_requests;
} tarn_view_stats;
int tarn_view_get_stats(const tarn_view* view, tarn_view_stats* stats);

/* A static text for any code of this interface or of tarn.h. Any thread. */
const char* tarn_view_strerror(int code);

#ifdef __cplusplus
}
#endif

#endif /* TARN_VIEW_H */
