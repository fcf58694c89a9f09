/* tarn SDK: the simulated sensor.
 *
 * Plays the sensor on loopback, so an application can be developed and tested without hardware:
 * frames of a flat wall, turned about the sensor's vertical axis by a chosen tilt, streamed as the
 * sensor's UDP measurement datagrams with IMU samples between them, faults on request (loss,
 * duplicates, reordering, corrupt, truncated and foreign datagrams, the first or last datagram of a
 * chosen frame), and the control server on TCP port 6501 with misbehaviours on request.
 *
 * A sensor is described by a tarn_sim_config, set option by option from text
 * (tarn_sim_config_set). The options form one table (tarn_sim_option_at), with each option's
 * name, value syntax, help text and default; command lines, usage texts and language bindings are
 * built from it, so every option means the same everywhere.
 *
 * The simulated sensor only ever binds and sends to addresses within 127.0.0.0/8: any other
 * address is refused when it is set.
 *
 * Every function returns TARN_SIM_OK (0) or a negative result code unless it says otherwise;
 * tarn_sim_strerror() names each code. No function lets a C++ exception escape.
 *
 * This header compiles as C99 and as C++11 and later.
 */
#ifndef TARN_SIM_H
#define TARN_SIM_H

#include <stddef.h>
#include <stdint.h>

/* The library exports only the functions below. */
#if defined(__GNUC__)
#define TARN_SIM_API __attribute__((visibility("default")))
#else
#define TARN_SIM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. */
#define TARN_SIM_OK 0
#define TARN_SIM_ERR_NULL_ARGUMENT (-201)  /* a required pointer argument is null */
#define TARN_SIM_ERR_UNKNOWN_OPTION (-202) /* no option of that name */
#define TARN_SIM_ERR_VALUE (-203)     /* the option's value was refused (the error text says why) */
#define TARN_SIM_ERR_NO_MEMORY (-204) /* memory ran out */
#define TARN_SIM_ERR_SOCKET (-205)    /* the sending socket could not be opened or bound */
#define TARN_SIM_ERR_CONTROL (-206)   /* the control port could not be served (in use?) */
#define TARN_SIM_ERR_THREAD (-207)    /* the streaming thread could not be started */
#define TARN_SIM_ERR_TIMEOUT (-208)   /* still streaming at the end of the time-out */
#define TARN_SIM_ERR_NO_CONTROL (-209) /* this sensor serves no control port */
#define TARN_SIM_ERR_ARGUMENT (-210)   /* an argument is out of its range */

/* Names a result code of this header; "unknown result code" for any other. The text is static. */
TARN_SIM_API const char* tarn_sim_strerror(int code);

/* ---- The option table ---------------------------------------------------------------------- */

/* How an option takes its value. */
#define TARN_SIM_OPTION_VALUE 0    /* one value; setting it again replaces it */
#define TARN_SIM_OPTION_REPEATED 1 /* one value per use; each use adds one (a fault, say) */
#define TARN_SIM_OPTION_FLAG 2     /* no value: any value text (or NULL) turns it on */

/* What an option is about, for grouping usage texts. */
#define TARN_SIM_GROUP_STREAM 0  /* the measurement stream and its scene */
#define TARN_SIM_GROUP_FAULTS 1  /* faults injected into the stream */
#define TARN_SIM_GROUP_CONTROL 2 /* the control server */

typedef struct tarn_sim_option {
    const char* name;     /* "tilt"; lower case words joined by '-' */
    const char* alias;    /* a second name that means the same ("drop-rate" for "loss"), or NULL */
    const char* syntax;   /* the value's form ("D", "A:P", "K:D:O:V"), or NULL for a flag */
    const char* help;     /* one sentence, lines separated by '\n' */
    const char* fallback; /* the default as shown in usage texts ("12", "no bound"), or NULL */
    int kind;             /* TARN_SIM_OPTION_VALUE, _REPEATED or _FLAG */
    int group;            /* TARN_SIM_GROUP_STREAM, _FAULTS or _CONTROL */
} tarn_sim_option;

/* Number of options in the table. */
TARN_SIM_API size_t tarn_sim_option_count(void);
/* Option number index (0 to tarn_sim_option_count() - 1) or NULL past the end. The table is
 * static: the pointer stays valid for the life of the process. Any thread. */
TARN_SIM_API const tarn_sim_option* tarn_sim_option_at(size_t index);
/* The option named name (or with that alias), or NULL. Any thread. */
TARN_SIM_API const tarn_sim_option* tarn_sim_option_find(const char* name);

/* One usage line (or a few, for a long help text) of the option named name, as
 * "  --NAME SYNTAX          PREFIXHELP [DEFAULT]\n", written into buffer as a NUL-terminated text,
 * cut to size - 1 characters. name may be the alias, which the line then shows; prefix may be
 * NULL. Returns the length of the whole text (excluding the NUL, as snprintf does), or
 * TARN_SIM_ERR_UNKNOWN_OPTION or TARN_SIM_ERR_NULL_ARGUMENT (name; buffer with a non-zero size). */
TARN_SIM_API int tarn_sim_option_usage(const char* name, const char* prefix, char* buffer,
                                       size_t size);

/* ---- Configurations ------------------------------------------------------------------------ */

/* A description of one simulated sensor. Not safe to use from several threads at once. */
typedef struct tarn_sim_config tarn_sim_config;

/* A new configuration with every option at its default: a wall tilted 12 degrees at distance 2000,
 * 15 frames/s of 10-byte pixels and 100 IMU samples/s from 127.0.0.1:6301 to 127.0.0.1:7001,
 * frames numbered from 1, no fault, no control port, streaming until stopped. *config is set only
 * on success; free it with tarn_sim_config_free. Returns TARN_SIM_OK, TARN_SIM_ERR_NULL_ARGUMENT
 * or TARN_SIM_ERR_NO_MEMORY. */
TARN_SIM_API int tarn_sim_config_new(tarn_sim_config** config);
/* Frees a configuration; NULL does nothing. A sensor opened from it does not need it any more. */
TARN_SIM_API void tarn_sim_config_free(tarn_sim_config* config);
/* A copy of config, as tarn_sim_config_new gives it. */
TARN_SIM_API int tarn_sim_config_copy(const tarn_sim_config* config, tarn_sim_config** copy);

/* Sets the option named name (or its alias) from value, the text a command line would give
 * ("12.5", "127.0.0.1:7001", "3:-1"). value may be NULL for a flag. On a refusal the configuration
 * is unchanged and, when error is not NULL, error holds a NUL-terminated line (cut to error_size -
 * 1 characters) that completes the option's name: "must be a number from 0.1 to 1000, not '0'".
 * Returns TARN_SIM_OK, TARN_SIM_ERR_NULL_ARGUMENT (config or name), TARN_SIM_ERR_UNKNOWN_OPTION,
 * TARN_SIM_ERR_VALUE or TARN_SIM_ERR_NO_MEMORY. The texts are not kept. */
TARN_SIM_API int tarn_sim_config_set(tarn_sim_config* config, const char* name, const char* value,
                                     char* error, size_t error_size);

/* The main settings of a configuration, for messages. */
typedef struct tarn_sim_summary {
    double tilt_degrees;
    double distance;
    double fps;
    double imu_rate;
    double duration_seconds; /* 0: no bound */
    uint64_t frames;         /* 0: no bound */
    int pixel_type;          /* 0: 4-byte, 1: 8-byte, 2: 10-byte pixels */
    int streaming;           /* 0 with no-stream: only the control port */
    char source_address[16];
    int source_port; /* 0: any free port, chosen when the sensor opens */
    char destination_address[16];
    int destination_port;
    char control_address[16]; /* "" for no control port */
} tarn_sim_summary;

/* Fills *summary from config. Returns TARN_SIM_OK or TARN_SIM_ERR_NULL_ARGUMENT. */
TARN_SIM_API int tarn_sim_config_summary(const tarn_sim_config* config, tarn_sim_summary* summary);

/* ---- What the scene holds ------------------------------------------------------------------ */

/* One cell as the library decodes it from 10-byte pixels (other pixel types carry a part). */
typedef struct tarn_sim_point {
    float distance;
    uint32_t intensity;
    float x;
    float y;
    float z;
} tarn_sim_point;

/* Cell (row, column) of frame number frame of config's scene, exactly as the sensor sends it.
 * Returns TARN_SIM_OK, TARN_SIM_ERR_NULL_ARGUMENT or TARN_SIM_ERR_ARGUMENT (row outside 0 to 149,
 * column outside 0 to 359). */
TARN_SIM_API int tarn_sim_expected_point(const tarn_sim_config* config, int row, int column,
                                         uint64_t frame, tarn_sim_point* point);

/* Called once per datagram, in sending order; bytes are valid during the call only. */
typedef void (*tarn_sim_datagram_fn)(const uint8_t* bytes, size_t size, void* user);

/* The point datagrams of frame number frame of config's scene in config's pixel type and tag, each
 * stamped with the frame number, in sending order and without faults, each handed to fn on the
 * calling thread. Returns TARN_SIM_OK, TARN_SIM_ERR_NULL_ARGUMENT or TARN_SIM_ERR_NO_MEMORY. */
TARN_SIM_API int tarn_sim_encode_frame(const tarn_sim_config* config, uint64_t frame,
                                       tarn_sim_datagram_fn fn, void* user);

/* Point datagrams per frame of a pixel type (0: 180, 1: 360, 2: 450), or 0 for an unknown one. */
TARN_SIM_API int tarn_sim_datagrams_per_frame(int pixel_type);

/* Plane angle measurement settings (the fields of KESOAngleMeasureParam, in its order) that take
 * in the whole simulated wall: y within 1000, z within 400, x within 1000 of the wall's distance,
 * slices of 50 along z; they hold the wall for tilts up to about 45 degrees. */
typedef struct tarn_sim_angle_param {
    int32_t x_lower; /* bounds y */
    int32_t x_upper;
    int32_t y_lower; /* bounds z */
    int32_t y_upper;
    int32_t window_width;
    int32_t window_step;
    int32_t bin_width;
    int32_t z_upper; /* bounds x (upper before lower, as in KESOAngleMeasureParam) */
    int32_t z_lower;
    int32_t min_fit_points;
    float angle_tolerance;
    float extend_angle;
    float reset_angle;
} tarn_sim_angle_param;

/* Fills *param for config's wall, or for the default wall when config is NULL. Returns TARN_SIM_OK
 * or TARN_SIM_ERR_NULL_ARGUMENT (param). */
TARN_SIM_API int tarn_sim_wall_angle_param(const tarn_sim_config* config,
                                           tarn_sim_angle_param* param);

/* ---- A running simulated sensor ------------------------------------------------------------ */

/* One simulated sensor: its sending socket, its streaming thread and its control server. */
typedef struct tarn_sim tarn_sim;

/* Opens a simulated sensor from config (which is copied: it may be freed at once): binds the
 * sending socket and, with a control address, starts serving port 6501 there on a thread of its
 * own. Nothing is streamed before tarn_sim_start. *sim is set only on success. Returns
 * TARN_SIM_OK, TARN_SIM_ERR_NULL_ARGUMENT, TARN_SIM_ERR_SOCKET (the source address and port cannot
 * be bound), TARN_SIM_ERR_CONTROL (port 6501 of the control address cannot be bound),
 * TARN_SIM_ERR_THREAD or TARN_SIM_ERR_NO_MEMORY. Any thread. */
TARN_SIM_API int tarn_sim_open(const tarn_sim_config* config, tarn_sim** sim);

/* Starts streaming on the sensor's own thread: frames at the configured rate until the configured
 * frames or duration are sent, or tarn_sim_stop. A second call, or a call on a sensor configured
 * with no-stream, does nothing. Returns TARN_SIM_OK, TARN_SIM_ERR_NULL_ARGUMENT or
 * TARN_SIM_ERR_THREAD. Call it from one thread at a time. */
TARN_SIM_API int tarn_sim_start(tarn_sim* sim);

/* Waits until the stream has ended (everything configured was sent, or it was stopped) or was
 * never started, at most timeout_ms milliseconds (negative: no limit). Returns TARN_SIM_OK,
 * TARN_SIM_ERR_TIMEOUT or TARN_SIM_ERR_NULL_ARGUMENT. Any thread, several at once. */
TARN_SIM_API int tarn_sim_wait(tarn_sim* sim, int timeout_ms);

/* Stops streaming, within a few milliseconds (a frame cut short is not counted), and returns once
 * the streaming thread has ended; the control port keeps serving. Starting again afterwards does
 * nothing. Returns TARN_SIM_OK or TARN_SIM_ERR_NULL_ARGUMENT. Call it from one thread at a time. */
TARN_SIM_API int tarn_sim_stop(tarn_sim* sim);

/* Stops streaming and serving, and frees the sensor; NULL does nothing. No other call on sim may
 * be in progress or follow. */
TARN_SIM_API void tarn_sim_close(tarn_sim* sim);

/* The port the datagrams come from (the configured one, or the one chosen for port 0). Returns
 * TARN_SIM_OK or TARN_SIM_ERR_NULL_ARGUMENT. Any thread. */
TARN_SIM_API int tarn_sim_source_port(const tarn_sim* sim, int* port);

/* What the sensor has sent so far. */
typedef struct tarn_sim_counters {
    uint64_t frames;          /* frames whose datagrams were all handed to the network */
    uint64_t datagrams;       /* every datagram handed to the network, of all kinds */
    uint64_t point_datagrams; /* measurement datagrams among them (after the faults) */
    uint64_t imu_datagrams;
    uint64_t send_errors; /* datagrams the system refused */
    /* Faults injected, each counted once per datagram it hit. */
    uint64_t dropped;
    uint64_t duplicated;
    uint64_t reordered;
    uint64_t truncated;
    uint64_t corrupted;
    uint64_t foreign;
    /* The control server: connections accepted and requests received. */
    uint64_t control_connections;
    uint64_t control_requests;
} tarn_sim_counters;

/* Copies the counters: a consistent picture, taken between two datagrams, also while streaming.
 * Returns TARN_SIM_OK or TARN_SIM_ERR_NULL_ARGUMENT. Any thread. */
TARN_SIM_API int tarn_sim_get_counters(const tarn_sim* sim, tarn_sim_counters* counters);

/* ---- The control server ---------------------------------------------------------------------- */

/* The simulated sensor's settings record, 44 bytes: its address at 0 (4 bytes in dotted order),
 * netmask at 4, gateway at 8, host address at 12, data port at 16 (little-endian u16), host port at
 * 18 (little-endian u16), MAC at 20 (6 bytes), zero from 26. It starts as the control address,
 * 255.0.0.0, 127.0.0.1, the destination address, the source port, the destination port and
 * 02:00:00:00:00:01; command 0x0201 replaces it. */
#define TARN_SIM_SETTINGS_BYTES 44

/* Copies the record into record[0..43], or replaces it from there. Return TARN_SIM_OK,
 * TARN_SIM_ERR_NULL_ARGUMENT or TARN_SIM_ERR_NO_CONTROL. Any thread. */
TARN_SIM_API int tarn_sim_get_settings(const tarn_sim* sim, uint8_t* record);
TARN_SIM_API int tarn_sim_set_settings(tarn_sim* sim, const uint8_t* record);

/* Spoils the replies to control command (0x0001 get package size, 0x0002 set package size,
 * 0x0201 set settings, 0x0202 get settings) with fault, one of "refuse" (the given status and no
 * data; the command is not carried out), "wrong-command", "wrong-head-crc", "wrong-data-len",
 * "wrong-data-crc", "truncated-data", "split", "late", "silent", "close-mid-reply", for the next
 * replies replies (-1: every one), replacing any fault set for that command. Returns TARN_SIM_OK,
 * TARN_SIM_ERR_NULL_ARGUMENT, TARN_SIM_ERR_ARGUMENT (an unknown fault, or replies below -1) or
 * TARN_SIM_ERR_NO_CONTROL. Any thread. */
TARN_SIM_API int tarn_sim_set_control_fault(tarn_sim* sim, uint16_t command, const char* fault,
                                            int replies, uint32_t status);
/* Answers every command normally again. */
TARN_SIM_API int tarn_sim_clear_control_faults(tarn_sim* sim);

/* The control commands received so far, in order: the first capacity of them go to commands
 * (which may be NULL when capacity is 0), and *count is the number of all of them. Returns
 * TARN_SIM_OK, TARN_SIM_ERR_NULL_ARGUMENT or TARN_SIM_ERR_NO_CONTROL. Any thread. */
TARN_SIM_API int tarn_sim_received_commands(const tarn_sim* sim, uint16_t* commands,
                                            size_t capacity, size_t* count);

#ifdef __cplusplus
}
#endif

#endif /* TARN_SIM_H */
