/* stream_two_sensors: streams two sensors at once, each through its own stream handle of the C
 * interface, waits for each one's frames in turn and prints what each frame held, then the
 * counters of both streams. Stops after the given number of frames from each, or the given time.
 *
 *   stream_two_sensors [--frames N] [--seconds S]
 *       LOCAL_PORT DEVICE_ADDRESS DEVICE_PORT   LOCAL_PORT DEVICE_ADDRESS DEVICE_PORT
 */
#include <tarn/tarn.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define SENSORS 2
#define ARGS_PER_SENSOR 3
#define WAIT_MS 100
#define CENTRE_CELL (TARN_ROWS / 2 * TARN_COLUMNS + TARN_COLUMNS / 2)

struct sensor {
    tarn_stream* stream;
    int local_port;
    const char* device_address;
    int device_port;
    unsigned long frames;
    unsigned long complete_frames;
    tarn_frame_info last;
};

static double seconds_since(const struct timespec* start) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)(now.tv_sec - start->tv_sec) + (double)(now.tv_nsec - start->tv_nsec) / 1e9;
}

static int usage(void) {
    fprintf(stderr,
            "usage: stream_two_sensors [--frames N] [--seconds S] LOCAL_PORT DEVICE_ADDRESS "
            "DEVICE_PORT LOCAL_PORT DEVICE_ADDRESS DEVICE_PORT\n");
    return 2;
}

static int open_sensor(struct sensor* sensor) {
    tarn_stream_config config;
    tarn_stream_config_init(&config);
    config.local_port = sensor->local_port;
    config.device_address = sensor->device_address;
    config.device_port = sensor->device_port;
    return tarn_stream_open(&config, &sensor->stream);
}

static void print_stats(int index, const struct sensor* sensor) {
    tarn_stream_stats stats;
    if (tarn_stream_get_stats(sensor->stream, &stats) != TARN_OK) {
        return;
    }
    printf(
        "sensor %d: %lu frames (%lu whole), datagrams %llu read, %llu rejected, "
        "frames decoded %llu, lost %llu, IMU samples %llu\n",
        index, sensor->frames, sensor->complete_frames, (unsigned long long)stats.datagrams_read,
        (unsigned long long)stats.datagrams_rejected, (unsigned long long)stats.frames_decoded,
        (unsigned long long)stats.frames_lost_last, (unsigned long long)stats.imu_samples);
}

int main(int argc, char** argv) {
    unsigned long max_frames = 10;
    double max_seconds = 10.0;
    struct sensor sensors[SENSORS];
    int first = 1;
    int i;

    while (first + 1 < argc && strncmp(argv[first], "--", 2) == 0) {
        if (strcmp(argv[first], "--frames") == 0) {
            max_frames = strtoul(argv[first + 1], NULL, 10);
        } else if (strcmp(argv[first], "--seconds") == 0) {
            max_seconds = atof(argv[first + 1]);
        } else {
            return usage();
        }
        first += 2;
    }
    if (argc - first != SENSORS * ARGS_PER_SENSOR || max_frames == 0 || max_seconds <= 0.0) {
        return usage();
    }
    memset(sensors, 0, sizeof sensors);
    for (i = 0; i < SENSORS; ++i) {
        char** args = argv + first + i * ARGS_PER_SENSOR;
        sensors[i].local_port = atoi(args[0]);
        sensors[i].device_address = args[1];
        sensors[i].device_port = atoi(args[2]);
    }

    tarn_point* grid = malloc(sizeof(tarn_point) * TARN_CELLS);
    if (grid == NULL) {
        return 1;
    }
    for (i = 0; i < SENSORS; ++i) {
        int rc = open_sensor(&sensors[i]);
        if (rc != TARN_OK) {
            fprintf(stderr, "stream_two_sensors: sensor %d: %s\n", i + 1, tarn_strerror(rc));
            while (i-- > 0) {
                tarn_stream_close(sensors[i].stream);
            }
            free(grid);
            return 1;
        }
        printf("stream_two_sensors: sensor %d listening on port %d for %s:%d\n", i + 1,
               sensors[i].local_port, sensors[i].device_address, sensors[i].device_port);
    }
    printf("stream_two_sensors: listening (library %s)\n", tarn_version());
    fflush(stdout);

    /* One thread serves both streams: each wait is short, so neither stream waits long for the
     * other. Frames that arrive meanwhile are skipped, never queued. */
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    int failed = 0;
    while (!failed && seconds_since(&start) < max_seconds &&
           (sensors[0].frames < max_frames || sensors[1].frames < max_frames)) {
        for (i = 0; i < SENSORS; ++i) {
            struct sensor* sensor = &sensors[i];
            tarn_frame_info info;
            int rc = tarn_stream_wait_frame(sensor->stream, WAIT_MS, grid, &info);
            if (rc == TARN_ERR_TIMEOUT) {
                continue;
            }
            if (rc != TARN_OK) {
                fprintf(stderr, "stream_two_sensors: sensor %d: %s\n", i + 1, tarn_strerror(rc));
                failed = 1;
                break;
            }
            ++sensor->frames;
            sensor->complete_frames += info.complete;
            sensor->last = info;
            printf("sensor %d frame %llu: %u datagrams, %u cells, centre x %.1f y %.1f z %.1f\n",
                   i + 1, (unsigned long long)info.sequence, info.datagrams, info.cells_written,
                   (double)grid[CENTRE_CELL].x, (double)grid[CENTRE_CELL].y,
                   (double)grid[CENTRE_CELL].z);
        }
    }

    int ok = !failed;
    for (i = 0; i < SENSORS; ++i) {
        print_stats(i + 1, &sensors[i]);
        ok = ok && sensors[i].frames > 0;
        tarn_stream_close(sensors[i].stream);
    }
    free(grid);
    printf("summary: %s\n", ok ? "frames from both sensors" : "a sensor sent no frame");
    return ok ? 0 : 1;
}
