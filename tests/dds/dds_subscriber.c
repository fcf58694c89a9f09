/* A ROS 2-style subscriber in a process of its own, on the types idlc generates from the
 * committed IDL: it reads points, depth/image, intensity/image and diagnostics of each namespace
 * and prints one line per message on standard output:
 *   matched
 *   points NS STAMP_NS FRAME_ID HEIGHT WIDTH POINT_STEP ROW_STEP IS_DENSE FIELDS DATA_BYTES HASH
 *   image NS TOPIC STAMP_NS FRAME_ID HEIGHT WIDTH ENCODING STEP DATA_BYTES
 *   diagnostics NS STAMP_NS LEVEL KEY=VALUE...
 * FIELDS is name:offset:datatype:count joined by ','; HASH is FNV-1a over x, y, z, row and column
 * of every point. "matched" comes each time every reader has matched one more writer. Ends on SIGTERM or after
 * the time-out.
 *   dds_subscriber DOMAIN TIMEOUT_MS SLOW_MS RELIABLE NAMESPACE...
 */
#define _POSIX_C_SOURCE 200809L
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "dds/dds.h"
#include "ros2_messages.h"

#define MAX_NS 4

/* Cyclone DDS is Debian's uninstrumented build: ThreadSanitizer would see its threads' accesses
 * without the atomics that order them. Reports from inside it are left out; none of this file's. */
const char* __tsan_default_suppressions(void);
const char* __tsan_default_suppressions(void) { return "called_from_lib:libddsc.so.0debian\n"; }

static volatile sig_atomic_t stopping = 0;
static void onTerm(int sig) {
    (void)sig;
    stopping = 1;
}

static long long stampNs(const builtin_interfaces_msg_dds__Time_* t) {
    return (long long)t->sec * 1000000000LL + t->nanosec;
}

static uint64_t fnv(uint64_t h, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        h = (h ^ p[i]) * 1099511628211ULL;
    }
    return h;
}

static void pointsLine(const char* ns, const sensor_msgs_msg_dds__PointCloud2_* m) {
    uint64_t h = 1469598103934665603ULL;
    for (uint32_t i = 0; i + 24 <= m->data._length; i += m->point_step) {
        h = fnv(h, m->data._buffer + i, 12);
        h = fnv(h, m->data._buffer + i + 20, 4);
    }
    printf("points %s %lld %s %u %u %u %u %d ", ns, stampNs(&m->header.stamp), m->header.frame_id,
           m->height, m->width, m->point_step, m->row_step, m->is_dense ? 1 : 0);
    for (uint32_t f = 0; f < m->fields._length; ++f) {
        const sensor_msgs_msg_dds__PointField_* p = &m->fields._buffer[f];
        printf("%s%s:%u:%u:%u", f ? "," : "", p->name, p->offset, p->datatype, p->count);
    }
    printf(" %u %016llx\n", m->data._length, (unsigned long long)h);
}

static void imageLine(const char* ns, const char* topic, const sensor_msgs_msg_dds__Image_* m) {
    printf("image %s %s %lld %s %u %u %s %u %u\n", ns, topic, stampNs(&m->header.stamp),
           m->header.frame_id, m->height, m->width, m->encoding, m->step, m->data._length);
}

static void diagnosticsLine(const char* ns, const diagnostic_msgs_msg_dds__DiagnosticArray_* m) {
    printf("diagnostics %s %lld", ns, stampNs(&m->header.stamp));
    for (uint32_t s = 0; s < m->status._length; ++s) {
        const diagnostic_msgs_msg_dds__DiagnosticStatus_* st = &m->status._buffer[s];
        printf(" %u", st->level);
        for (uint32_t v = 0; v < st->values._length; ++v) {
            printf(" %s=%s", st->values._buffer[v].key, st->values._buffer[v].value);
        }
    }
    printf("\n");
}

enum { POINTS, DEPTH, INTENSITY, DIAGNOSTICS, READERS };
static const char* const topics[READERS] = {"points", "depth/image", "intensity/image",
                                            "diagnostics"};

int main(int argc, char** argv) {
    if (argc < 6) {
        fprintf(stderr, "usage: dds_subscriber DOMAIN TIMEOUT_MS SLOW_MS RELIABLE NAMESPACE...\n");
        return 2;
    }
    const int domain = atoi(argv[1]);
    const long long timeoutMs = atoll(argv[2]);
    const int slowMs = atoi(argv[3]);
    const int reliable = atoi(argv[4]);
    const int count = argc - 5 < MAX_NS ? argc - 5 : MAX_NS;
    signal(SIGTERM, onTerm);
    setvbuf(stdout, NULL, _IOLBF, 0);

    dds_entity_t participant = dds_create_participant((dds_domainid_t)domain, NULL, NULL);
    if (participant < 0) {
        fprintf(stderr, "dds_create_participant: %s\n", dds_strretcode(participant));
        return 1;
    }
    const dds_topic_descriptor_t* descriptors[READERS] = {
        &sensor_msgs_msg_dds__PointCloud2__desc, &sensor_msgs_msg_dds__Image__desc,
        &sensor_msgs_msg_dds__Image__desc, &diagnostic_msgs_msg_dds__DiagnosticArray__desc};
    dds_entity_t readers[MAX_NS][READERS];
    dds_entity_t waitset = dds_create_waitset(participant);
    for (int n = 0; n < count; ++n) {
        for (int r = 0; r < READERS; ++r) {
            char name[256];
            snprintf(name, sizeof name, "rt/%s/%s", argv[5 + n], topics[r]);
            dds_entity_t topic = dds_create_topic(participant, descriptors[r], name, NULL, NULL);
            dds_qos_t* qos = dds_create_qos();
            dds_qset_reliability(qos,
                                 (r == DIAGNOSTICS || reliable) ? DDS_RELIABILITY_RELIABLE
                                                                : DDS_RELIABILITY_BEST_EFFORT,
                                 DDS_SECS(1));
            dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, r == DIAGNOSTICS || reliable ? 100 : 5);
            readers[n][r] = dds_create_reader(participant, topic, qos, NULL);
            dds_delete_qos(qos);
            if (readers[n][r] < 0) {
                fprintf(stderr, "dds_create_reader %s: %s\n", name, dds_strretcode(readers[n][r]));
                return 1;
            }
            dds_entity_t cond = dds_create_readcondition(readers[n][r], DDS_ANY_STATE);
            dds_waitset_attach(waitset, cond, (dds_attach_t)(n * READERS + r));
        }
    }

    const dds_time_t end = dds_time() + DDS_MSECS(timeoutMs);
    uint32_t matches = 0; /* the fewest writers any reader has matched so far */
    while (!stopping && dds_time() < end) {
        int all = 1;
        uint32_t fewest = UINT32_MAX;
        for (int n = 0; n < count; ++n) {
            for (int r = 0; r < READERS; ++r) {
                dds_subscription_matched_status_t st;
                dds_get_subscription_matched_status(readers[n][r], &st);
                all = all && st.current_count > 0;
                fewest = st.total_count < fewest ? st.total_count : fewest;
            }
        }
        if (all && fewest > matches) {
            matches = fewest;
            printf("matched\n"); /* once for each publisher that came up */
        }
        dds_attach_t fired[MAX_NS * READERS];
        dds_waitset_wait(waitset, fired, MAX_NS * READERS, DDS_MSECS(50));
        for (int n = 0; n < count; ++n) {
            for (int r = 0; r < READERS; ++r) {
                void* samples[1] = {NULL};
                dds_sample_info_t info;
                while (dds_take(readers[n][r], samples, &info, 1, 1) > 0) {
                    if (info.valid_data) {
                        if (r == POINTS) {
                            pointsLine(argv[5 + n], samples[0]);
                        } else if (r == DIAGNOSTICS) {
                            diagnosticsLine(argv[5 + n], samples[0]);
                        } else {
                            imageLine(argv[5 + n], topics[r], samples[0]);
                        }
                    }
                    dds_return_loan(readers[n][r], samples, 1);
                    if (slowMs > 0) {
                        struct timespec pause = {slowMs / 1000, (slowMs % 1000) * 1000000L};
                        nanosleep(&pause, NULL);  /* a slow consumer, on purpose */
                    }
                }
            }
        }
    }
    dds_delete(participant);
    return 0;
}
