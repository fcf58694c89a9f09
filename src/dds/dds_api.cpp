// The C interface of tarn/dds.h over the publisher. No exception leaves it.
#include <ctime>
#include <memory>
#include <new>
#include <string>

#include "publisher.h"
#include "raw_sertype.h"
#include "type_hash.h"

using tarn::dds::Publisher;

struct tarn_dds {
    std::unique_ptr<Publisher> publisher;
};

namespace {

constexpr const char* kTopicNames[TARN_DDS_TOPICS] = {"points",  "depth/image", "intensity/image",
                                                      "imu_raw", "imu",         "diagnostics"};

// Serialises one message with a tarn_messages call into a buffer sized from the previous one.
template <typename Serialise>
void publishOne(tarn_dds_sensor& sensor, int topicIndex, Serialise serialise) {
    tarn::dds::Topic& topic = sensor.topics[topicIndex];
    // The padding's room beyond what the serialiser may fill, so the sample takes the buffer over.
    tarn::dds::SampleBytes bytes(topic.lastSize + tarn::dds::kRawSamplePadding);
    size_t length = 0;
    int rc = serialise(bytes.data(), bytes.size() - tarn::dds::kRawSamplePadding, &length);
    if (rc == TARN_ERR_BUFFER_TOO_SMALL) {
        bytes.resize(length + tarn::dds::kRawSamplePadding);
        rc = serialise(bytes.data(), length, &length);
    }
    if (rc != TARN_OK) {
        topic.offered.fetch_add(1);
        topic.notPublished.fetch_add(1);
        topic.failed.fetch_add(1);
        return;
    }
    sensor.publisher->enqueue(topic, std::move(bytes), length);
}

int64_t realtimeNs() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

}  // namespace

extern "C" {

void tarn_dds_config_init(tarn_dds_config* config) {
    if (config == nullptr) {
        return;
    }
    *config = tarn_dds_config{};
    config->domain_id = -1;
    config->data_qos = {0, 5};
    config->diagnostics_qos = {1, 5};
    config->diagnostics_period_ms = 1000;
}

void tarn_dds_sensor_config_init(tarn_dds_sensor_config* config) {
    if (config == nullptr) {
        return;
    }
    *config = tarn_dds_sensor_config{};
    config->namespace_name = "tarn";
    tarn_messages_config_init(&config->messages);
}

int tarn_dds_open(const tarn_dds_config* config, tarn_dds** out) {
    if (config == nullptr || out == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    try {
        std::unique_ptr<tarn_dds> dds(new tarn_dds);
        int rc = Publisher::open(*config, dds->publisher);
        if (rc == TARN_OK) {
            *out = dds.release();
        }
        return rc;
    } catch (const std::bad_alloc&) {
        return TARN_ERR_NO_MEMORY;
    } catch (...) {
        return TARN_ERR_DDS;
    }
}

int tarn_dds_close(tarn_dds* dds) {
    delete dds;
    return TARN_OK;
}

int tarn_dds_add_sensor(tarn_dds* dds, const tarn_dds_sensor_config* config,
                        tarn_dds_sensor** out) {
    if (dds == nullptr || config == nullptr || out == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    try {
        return dds->publisher->addSensor(*config, out);
    } catch (const std::bad_alloc&) {
        return TARN_ERR_NO_MEMORY;
    } catch (...) {
        return TARN_ERR_DDS;
    }
}

int tarn_dds_publish_frame(tarn_dds_sensor* sensor, const tarn_point* grid,
                           const tarn_frame_info* info) {
    if (sensor == nullptr || grid == nullptr || info == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    try {
        const tarn_messages* m = sensor->messages;
        publishOne(*sensor, TARN_DDS_POINTS, [&](uint8_t* b, size_t c, size_t* n) {
            return tarn_messages_point_cloud(m, grid, info, b, c, n);
        });
        publishOne(*sensor, TARN_DDS_DEPTH_IMAGE, [&](uint8_t* b, size_t c, size_t* n) {
            return tarn_messages_depth_image(m, grid, info, b, c, n);
        });
        publishOne(*sensor, TARN_DDS_INTENSITY_IMAGE, [&](uint8_t* b, size_t c, size_t* n) {
            return tarn_messages_intensity_image(m, grid, info, b, c, n);
        });
        return TARN_OK;
    } catch (...) {
        return TARN_ERR_NO_MEMORY;
    }
}

int tarn_dds_publish_imu(tarn_dds_sensor* sensor, const tarn_imu_sample* sample,
                         int64_t receive_realtime_ns) {
    if (sensor == nullptr || sample == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    try {
        const tarn_messages* m = sensor->messages;
        publishOne(*sensor, TARN_DDS_IMU_RAW, [&](uint8_t* b, size_t c, size_t* n) {
            return tarn_messages_imu_raw(m, sample, receive_realtime_ns, b, c, n);
        });
        if (sensor->hasImuLayout) {
            publishOne(*sensor, TARN_DDS_IMU, [&](uint8_t* b, size_t c, size_t* n) {
                return tarn_messages_imu(m, sample, receive_realtime_ns, b, c, n);
            });
        }
        return TARN_OK;
    } catch (...) {
        return TARN_ERR_NO_MEMORY;
    }
}

void tarn_dds_on_frame(const tarn_point* grid, const tarn_frame_info* info, void* sensor) {
    tarn_dds_publish_frame(static_cast<tarn_dds_sensor*>(sensor), grid, info);
}

void tarn_dds_on_imu(const tarn_imu_sample* sample, void* sensor) {
    tarn_dds_publish_imu(static_cast<tarn_dds_sensor*>(sensor), sample, realtimeNs());
}

int tarn_dds_sensor_set_stream(tarn_dds_sensor* sensor, tarn_stream* stream) {
    if (sensor == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    sensor->stream.store(stream);
    return TARN_OK;
}

int tarn_dds_sensor_stats(const tarn_dds_sensor* sensor, tarn_dds_topic_stats* stats) {
    if (sensor == nullptr || stats == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    for (int t = 0; t < TARN_DDS_TOPICS; ++t) {
        const tarn::dds::Topic& topic = sensor->topics[t];
        stats[t] = {topic.offered.load(),
                    topic.published.load(),
                    topic.notPublished.load(),
                    topic.failed.load(),
                    0,
                    0};
        dds_publication_matched_status_t matched{};
        if (topic.writer != 0 && dds_get_publication_matched_status(topic.writer, &matched) == 0) {
            stats[t].subscribers = matched.current_count;
        }
    }
    return TARN_OK;
}

const char* tarn_dds_topic_name(int topic) {
    return topic >= 0 && topic < TARN_DDS_TOPICS ? kTopicNames[topic] : nullptr;
}

const char* tarn_dds_type_name(int kind) {
    static const std::string* names = [] {
        auto* n = new std::string[TARN_MESSAGE_KINDS];
        for (int k = 0; k < TARN_MESSAGE_KINDS; ++k) {
            n[k] = tarn::dds::ddsTypeName(tarn_message_type_name(k));
        }
        return n;
    }();
    return kind >= 0 && kind < TARN_MESSAGE_KINDS ? names[kind].c_str() : nullptr;
}

const char* tarn_dds_type_hash(int kind) {
    static const std::string* hashes = [] {
        auto* h = new std::string[TARN_MESSAGE_KINDS];
        for (int k = 0; k < TARN_MESSAGE_KINDS; ++k) {
            h[k] = tarn::dds::typeHash(tarn_message_type_name(k));
        }
        return h;
    }();
    return kind >= 0 && kind < TARN_MESSAGE_KINDS ? hashes[kind].c_str() : nullptr;
}

const char* tarn_dds_strerror(int code) {
    switch (code) {
        case TARN_ERR_DDS:
            return "Cyclone DDS refused a participant, topic or writer";
        case TARN_ERR_DDS_DOMAIN:
            return "the DDS domain id is outside 0 to 232";
        case TARN_ERR_DDS_NAMESPACE:
            return "the namespace is not a ROS 2 name";
        case TARN_ERR_DDS_QOS:
            return "a QoS history depth is below 1";
        default:
            return tarn_messages_strerror(code);
    }
}

}  // extern "C"
