/* The DDS benchmark's subscriber, in a process of its own: it reads each namespace's points,
 * depth/image and intensity/image (the publisher's topics) and bench/NS/0..2 (the bare writer's
 * byte sequences), all best effort, and prints a line per cloud as it arrives:
 *   points NS STAMP_NS ARRIVAL_NS        (both CLOCK_REALTIME)
 * and "bytes N" with the byte sequences taken when it ends (SIGTERM).
 *   tarn_dds_bench_subscriber DOMAIN NAMESPACE...
 */
#define _POSIX_C_SOURCE 200809L
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "dds/dds.h"
#include "dds_bytes.h"
#include "ros2_messages.h"

#define MAX_NS 4
#define TOPICS 3

static volatile sig_atomic_t stopping = 0;
static void onTerm(int sig) {
    (void)sig;
    stopping = 1;
}

struct Reader {
    const char* ns;
    int isPoints;
};
static struct Reader readers[MAX_NS * TOPICS * 2];
static volatile long long bytesTaken = 0; /* listener threads only, read at the end */

static long long realtimeNs(void) {
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

static void onData(dds_entity_t reader, void* arg) {
    const long long arrival = realtimeNs();
    const struct Reader* r = arg;
    void* samples[1] = {NULL};
    dds_sample_info_t info[1];
    int n;
    while ((n = dds_take(reader, samples, info, 1, 1)) > 0) {
        if (info[0].valid_data && r->isPoints) {
            const sensor_msgs_msg_dds__PointCloud2_* m = samples[0];
            printf("points %s %lld %lld\n", r->ns,
                   (long long)m->header.stamp.sec * 1000000000LL + m->header.stamp.nanosec,
                   arrival);
        } else if (info[0].valid_data) {
            bytesTaken = bytesTaken + 1;
        }
        dds_return_loan(reader, samples, n);
        samples[0] = NULL;
    }
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: tarn_dds_bench_subscriber DOMAIN NAMESPACE...\n");
        return 2;
    }
    const int count = argc - 2 < MAX_NS ? argc - 2 : MAX_NS;
    signal(SIGTERM, onTerm);
    setvbuf(stdout, NULL, _IOLBF, 0);
    dds_entity_t participant = dds_create_participant((dds_domainid_t)atoi(argv[1]), NULL, NULL);
    if (participant < 0) {
        fprintf(stderr, "dds_create_participant: %s\n", dds_strretcode(participant));
        return 1;
    }
    dds_qos_t* qos = dds_create_qos();
    dds_qset_reliability(qos, DDS_RELIABILITY_BEST_EFFORT, 0);
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 5);
    static const char* const rosTopics[TOPICS] = {"points", "depth/image", "intensity/image"};
    int next = 0;
    for (int n = 0; n < count; ++n) {
        for (int t = 0; t < TOPICS * 2; ++t) {
            const int bare = t >= TOPICS;
            char name[256];
            if (bare) {
                snprintf(name, sizeof name, "bench/%s/%d", argv[2 + n], t - TOPICS);
            } else {
                snprintf(name, sizeof name, "rt/%s/%s", argv[2 + n], rosTopics[t]);
            }
            const dds_topic_descriptor_t* type =
                bare ? &tarn_bench_Bytes_desc
                     : (t == 0 ? &sensor_msgs_msg_dds__PointCloud2__desc
                               : &sensor_msgs_msg_dds__Image__desc);
            readers[next].ns = argv[2 + n];
            readers[next].isPoints = !bare && t == 0;
            dds_listener_t* listener = dds_create_listener(&readers[next]);
            dds_lset_data_available(listener, onData);
            dds_entity_t topic = dds_create_topic(participant, type, name, NULL, NULL);
            if (topic < 0 || dds_create_reader(participant, topic, qos, listener) < 0) {
                fprintf(stderr, "no reader for %s\n", name);
                return 1;
            }
            dds_delete_listener(listener);
            ++next;
        }
    }
    dds_delete_qos(qos);
    while (!stopping) {
        const struct timespec tick = {0, 50 * 1000 * 1000};
        nanosleep(&tick, NULL);
    }
    dds_delete(participant);
    printf("bytes %lld\n", bytesTaken);
    return 0;
}
