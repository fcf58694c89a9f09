/* The C counterpart of pkgconfig_consumer.cpp: a C program built only with
 * `pkg-config --cflags --libs tarn_c_sdk`, which must link the C++ library (shared or static)
 * without naming its C++ runtime itself. */
#include <tarn/tarn.h>

#include <stdio.h>
#include <string.h>

int main(void) {
    int failures = 0;
    tarn_stream_config config;
    tarn_stream* stream = NULL;
    tarn_decoder* decoder = NULL;

    if (strchr(tarn_version(), '.') == NULL) {
        fprintf(stderr, "pkgconfig_consumer_c: version '%s'\n", tarn_version());
        ++failures;
    }
    /* A stream without a device address is refused before any socket is made. */
    tarn_stream_config_init(&config);
    if (tarn_stream_open(&config, &stream) != TARN_ERR_DEVICE_ADDRESS || stream != NULL) {
        fprintf(stderr, "pkgconfig_consumer_c: a stream without a device opened\n");
        ++failures;
    }
    if (tarn_decoder_open(&decoder) != TARN_OK || tarn_decoder_close(decoder) != TARN_OK) {
        fprintf(stderr, "pkgconfig_consumer_c: decoder open and close\n");
        ++failures;
    }
    if (failures == 0) {
        printf("pkgconfig_consumer_c: OK\n");
    }
    return failures == 0 ? 0 : 1;
}
