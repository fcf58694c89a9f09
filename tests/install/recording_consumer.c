/* An application of the installed components, built with pkg-config only: it streams a simulated
 * sensor through a frame source while recording the stream's datagrams, then reads the recording
 * back as frames and checks that every frame, and what is known of it, equals the live one.
 *
 *   recording_consumer FILE SENSOR_PORT
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <tarn/recording.h>
#include <tarn/sim.h>
#include <tarn/source.h>
#include <tarn/tarn.h>

#define FRAMES 8

static tarn_point* live_grids[FRAMES + 1];
static tarn_frame_info live_infos[FRAMES + 1];

static int fail(const char* what, int code) {
    fprintf(stderr, "recording_consumer: %s (%d)\n", what, code);
    return 1;
}

static int set(tarn_sim_config* config, const char* name, const char* value) {
    char error[128];
    const int result = tarn_sim_config_set(config, name, value, error, sizeof error);
    if (result != TARN_SIM_OK) {
        fprintf(stderr, "recording_consumer: --%s %s\n", name, error);
    }
    return result;
}

/* Streams FRAMES frames live into live_grids while the writer records them; the number kept. */
static int stream_and_record(const char* path, int sensor_port, int* kept) {
    char error[256] = "";
    tarn_recording_writer* writer = NULL;
    int result = tarn_recording_writer_open(path, 0, &writer, error, sizeof error);
    if (result != TARN_OK) return fail(error, result);

    tarn_stream_config config;
    tarn_stream_config_init(&config);
    config.local_address = "127.0.0.1";
    config.device_address = "127.0.0.1";
    config.device_port = sensor_port;
    config.alternate_port = 0;
    config.on_datagram = tarn_recording_writer_tap;
    config.datagram_user = writer;
    tarn_source* live = NULL;
    result = tarn_source_open_stream(&config, FRAMES + 2, &live);
    if (result != TARN_OK) return fail(tarn_strerror(result), result);
    int local_port = 0;
    tarn_stream_local_port(tarn_source_stream(live), &local_port);

    char from[32], to[32], frames[16];
    snprintf(from, sizeof from, "127.0.0.1:%d", sensor_port);
    snprintf(to, sizeof to, "127.0.0.1:%d", local_port);
    snprintf(frames, sizeof frames, "%d", FRAMES);
    tarn_sim_config* sim_config = NULL;
    tarn_sim* sim = NULL;
    if (tarn_sim_config_new(&sim_config) != TARN_SIM_OK || set(sim_config, "from", from) ||
        set(sim_config, "to", to) || set(sim_config, "frames", frames) ||
        set(sim_config, "fps", "20") || set(sim_config, "pixel-type", "1")) {
        return fail("the simulated sensor could not be configured", 0);
    }
    result = tarn_sim_open(sim_config, &sim);
    tarn_sim_config_free(sim_config);
    if (result != TARN_SIM_OK || tarn_sim_start(sim) != TARN_SIM_OK) {
        return fail("the simulated sensor did not start", result);
    }

    *kept = 0;
    while (*kept < FRAMES) {
        result = tarn_source_next(live, 2000, live_grids[*kept], &live_infos[*kept]);
        if (result == TARN_ERR_TIMEOUT) break;
        if (result != TARN_OK) return fail(tarn_strerror(result), result);
        ++*kept;
    }
    tarn_sim_wait(sim, 5000);
    tarn_sim_close(sim);
    tarn_source_close(live); /* no datagram reaches the tap after this */
    tarn_recording_writer_stats written;
    result = tarn_recording_writer_finish(writer, &written);
    if (result != TARN_OK) return fail(tarn_recording_writer_error(writer), result);
    tarn_recording_writer_close(writer);
    printf("recording_consumer: %d live frames, %llu datagrams recorded\n", *kept,
           (unsigned long long)written.written);
    return *kept == FRAMES && written.written > 0 ? 0 : fail("frames or datagrams missing", *kept);
}

int main(int argc, char** argv) {
    if (argc != 3) return fail("usage: recording_consumer FILE SENSOR_PORT", 0);
    const int sensor_port = atoi(argv[2]);
    for (int n = 0; n <= FRAMES; ++n) {
        live_grids[n] = calloc(TARN_CELLS, sizeof(tarn_point));
        if (live_grids[n] == NULL) return fail("out of memory", 0);
    }
    int kept = 0;
    if (stream_and_record(argv[1], sensor_port, &kept) != 0) return 1;

    char error[256] = "";
    tarn_source* recorded = NULL;
    int result = tarn_source_open_recording(argv[1], "127.0.0.1", sensor_port, &recorded, error,
                                            sizeof error);
    if (result != TARN_OK) return fail(error, result);
    tarn_point* grid = live_grids[FRAMES];
    tarn_frame_info info;
    int read = 0;
    while ((result = tarn_source_next(recorded, 0, grid, &info)) == TARN_OK) {
        if (read >= kept) return fail("the recording holds more frames than were streamed", read);
        const tarn_frame_info* want = &live_infos[read];
        if (memcmp(grid, live_grids[read], TARN_CELLS * sizeof(tarn_point)) != 0 ||
            info.sequence != want->sequence || info.cells_written != want->cells_written ||
            info.complete != want->complete || info.merged != want->merged ||
            info.pixel_type != want->pixel_type || info.datagrams != want->datagrams) {
            return fail("a recorded frame differs from the live one", read);
        }
        ++read;
    }
    if (result != TARN_RECORDING_END) return fail(tarn_source_error(recorded), result);
    tarn_source_close(recorded);
    if (read != kept) return fail("the recording lacks frames", read);
    printf("recording_consumer: %d recorded frames equal the live ones\n", read);
    for (int n = 0; n <= FRAMES; ++n) free(live_grids[n]);
    return 0;
}
