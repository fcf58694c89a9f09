// The C interface of tarn/view.h: a handle over the server and one message serialiser per sensor.
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "server.h"
#include "tarn/messages.h"
#include "tarn/view.h"

namespace {

using tarn::view::ChannelInfo;
using tarn::view::Payload;

constexpr int kChannelsPerSensor = 5;
constexpr size_t kMaxNamespace = 32;
constexpr int kMaxClients = 1024;
constexpr size_t kMinMessageBytes = 64;
constexpr size_t kMaxMessageBytes = 1u << 20;
constexpr const char* kThreeDirectory = "/usr/share/javascript/three";

// A sensor's channels, in the order their ids follow.
enum ChannelSlot { kPoints, kDepth, kIntensity, kDiagnostics, kImu };
constexpr struct {
    const char* topic;
    int kind;
} kSlots[kChannelsPerSensor] = {{"points", TARN_MESSAGE_POINT_CLOUD},
                                {"depth", TARN_MESSAGE_DEPTH_IMAGE},
                                {"intensity", TARN_MESSAGE_INTENSITY_IMAGE},
                                {"diagnostics", TARN_MESSAGE_DIAGNOSTICS},
                                {"imu", TARN_MESSAGE_IMU_RAW}};

struct MessagesClose {
    void operator()(tarn_messages* m) const { tarn_messages_close(m); }
};

bool namespaceValid(const char* name) {
    const size_t n = name == nullptr ? 0 : std::strlen(name);
    if (n == 0 || n > kMaxNamespace) {
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        const char c = name[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_')) {
            return false;
        }
    }
    return true;
}

uint32_t channelId(int sensor, ChannelSlot slot) {
    return static_cast<uint32_t>(sensor * kChannelsPerSensor + slot + 1);
}

}  // namespace

struct tarn_view {
    std::unique_ptr<tarn::view::Server> server;
    std::vector<std::string> namespaces;
    std::vector<std::unique_ptr<tarn_messages, MessagesClose>> messages;
};

namespace {

// Serialises with call (a tarn_messages_ function) and publishes on the channel, when wanted.
template <typename Call>
int publishOn(tarn_view* view, int sensor, ChannelSlot slot, uint64_t stampNs, Call call) {
    const uint32_t channel = channelId(sensor, slot);
    if (!view->server->wanted(channel)) {
        return TARN_OK;
    }
    auto payload = std::make_shared<Payload>();
    payload->channel = channel;
    payload->stampNs = stampNs;
    size_t length = 0;
    int result = call(nullptr, 0, &length);
    if (result != TARN_ERR_BUFFER_TOO_SMALL && result != TARN_OK) {
        return result;
    }
    payload->bytes.resize(length);
    result = call(reinterpret_cast<uint8_t*>(&payload->bytes[0]), length, &length);
    if (result != TARN_OK) {
        return result;
    }
    payload->bytes.resize(length);
    view->server->publish(std::move(payload));
    return TARN_OK;
}

int checkSensor(const tarn_view* view, int sensor) {
    if (view == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    if (sensor < 0 || static_cast<size_t>(sensor) >= view->messages.size()) {
        return TARN_VIEW_ERR_SENSOR;
    }
    return TARN_OK;
}

uint64_t stampOf(int64_t ns) {
    return ns < 0 ? 0 : static_cast<uint64_t>(ns);
}

}  // namespace

extern "C" {

void tarn_view_config_init(tarn_view_config* config) {
    if (config == nullptr) {
        return;
    }
    *config = tarn_view_config{};
    config->listen_address = "127.0.0.1";
    config->port = TARN_VIEW_DEFAULT_PORT;
    config->max_clients = TARN_VIEW_DEFAULT_MAX_CLIENTS;
    config->stall_timeout_ms = 5000;
    config->max_message_bytes = 65536;
    config->sensor_count = 1;
}

int tarn_view_open(const tarn_view_config* config, tarn_view** out) {
    if (config == nullptr || out == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    if (config->port < 0 || config->port > 65535 || config->max_clients < 1 ||
        config->max_clients > kMaxClients || config->stall_timeout_ms < 1 ||
        config->max_message_bytes < kMinMessageBytes ||
        config->max_message_bytes > kMaxMessageBytes || config->sensor_count < 1 ||
        config->sensor_count > TARN_VIEW_MAX_SENSORS) {
        return TARN_VIEW_ERR_CONFIG;
    }
    try {
        tarn::view::ServerSettings settings;
        if (config->listen_address != nullptr && config->listen_address[0] != '\0') {
            settings.listenAddress = config->listen_address;
        }
        settings.port = config->port;
        settings.maxClients = config->max_clients;
        settings.stallTimeoutMs = config->stall_timeout_ms;
        settings.maxMessageBytes = config->max_message_bytes;
        settings.threeDirectory =
            config->three_directory != nullptr ? config->three_directory : kThreeDirectory;
        auto view = std::make_unique<tarn_view>();
        for (int sensor = 0; sensor < config->sensor_count; ++sensor) {
            std::string name = config->sensor_count == 1 ? "tarn" : "tarn" + std::to_string(sensor);
            if (config->namespaces != nullptr) {
                if (!namespaceValid(config->namespaces[sensor])) {
                    return TARN_VIEW_ERR_CONFIG;
                }
                name = config->namespaces[sensor];
            }
            for (int slot = 0; slot < kChannelsPerSensor; ++slot) {
                settings.channels.push_back(
                    ChannelInfo{channelId(sensor, static_cast<ChannelSlot>(slot)),
                                "/" + name + "/" + kSlots[slot].topic,
                                tarn_message_type_name(kSlots[slot].kind),
                                tarn_message_definition(kSlots[slot].kind)});
            }
            tarn_messages_config mc;
            tarn_messages_config_init(&mc);
            mc.frame_id = config->frame_id;
            mc.hardware_id = name.c_str();
            tarn_messages* m = nullptr;
            const int result = tarn_messages_open(&mc, &m);
            if (result != TARN_OK) {
                return result;
            }
            view->messages.emplace_back(m);
            view->namespaces.push_back(name);
        }
        const int result = tarn::view::Server::open(settings, view->server);
        if (result != TARN_OK) {
            return result;
        }
        *out = view.release();
        return TARN_OK;
    } catch (const std::bad_alloc&) {
        return TARN_ERR_NO_MEMORY;
    } catch (...) {
        return TARN_VIEW_ERR_SERVER;
    }
}

int tarn_view_close(tarn_view* view) {
    delete view;
    return TARN_OK;
}

int tarn_view_port(const tarn_view* view, int* port) {
    if (view == nullptr || port == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    *port = view->server->port();
    return TARN_OK;
}

int tarn_view_publish_frame(tarn_view* view, int sensor, const tarn_point* grid,
                            const tarn_frame_info* info) {
    int result = checkSensor(view, sensor);
    if (result != TARN_OK) {
        return result;
    }
    if (grid == nullptr || info == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    const tarn_messages* m = view->messages[static_cast<size_t>(sensor)].get();
    const uint64_t stamp = stampOf(info->receive_realtime_ns);
    try {
        result = publishOn(view, sensor, kPoints, stamp, [&](uint8_t* b, size_t c, size_t* n) {
            return tarn_messages_point_cloud(m, grid, info, b, c, n);
        });
        if (result == TARN_OK) {
            result = publishOn(view, sensor, kDepth, stamp, [&](uint8_t* b, size_t c, size_t* n) {
                return tarn_messages_depth_image(m, grid, info, b, c, n);
            });
        }
        if (result == TARN_OK) {
            result =
                publishOn(view, sensor, kIntensity, stamp, [&](uint8_t* b, size_t c, size_t* n) {
                    return tarn_messages_intensity_image(m, grid, info, b, c, n);
                });
        }
        return result;
    } catch (const std::bad_alloc&) {
        return TARN_ERR_NO_MEMORY;
    }
}

int tarn_view_publish_imu(tarn_view* view, int sensor, const tarn_imu_sample* sample,
                          int64_t receive_realtime_ns) {
    const int result = checkSensor(view, sensor);
    if (result != TARN_OK) {
        return result;
    }
    if (sample == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    const tarn_messages* m = view->messages[static_cast<size_t>(sensor)].get();
    try {
        return publishOn(view, sensor, kImu, stampOf(receive_realtime_ns),
                         [&](uint8_t* b, size_t c, size_t* n) {
                             return tarn_messages_imu_raw(m, sample, receive_realtime_ns, b, c, n);
                         });
    } catch (const std::bad_alloc&) {
        return TARN_ERR_NO_MEMORY;
    }
}

int tarn_view_publish_stats(tarn_view* view, int sensor, const tarn_stream_stats* stats,
                            int64_t realtime_ns) {
    const int result = checkSensor(view, sensor);
    if (result != TARN_OK) {
        return result;
    }
    if (stats == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    // Serialised whether or not anyone listens: the rates it reports run from call to call.
    tarn_messages* m = view->messages[static_cast<size_t>(sensor)].get();
    try {
        auto payload = std::make_shared<Payload>();
        payload->channel = channelId(sensor, kDiagnostics);
        payload->stampNs = stampOf(realtime_ns);
        size_t length = 0;
        tarn_messages_diagnostics(m, stats, realtime_ns, nullptr, 0, &length);
        payload->bytes.resize(length);
        const int r = tarn_messages_diagnostics(
            m, stats, realtime_ns, reinterpret_cast<uint8_t*>(&payload->bytes[0]), length, &length);
        if (r != TARN_OK) {
            return r;
        }
        payload->bytes.resize(length);
        if (view->server->wanted(payload->channel)) {
            view->server->publish(std::move(payload));
        }
        return TARN_OK;
    } catch (const std::bad_alloc&) {
        return TARN_ERR_NO_MEMORY;
    }
}

int tarn_view_publish_angle(tarn_view* view, int sensor, int measured, float degrees,
                            const char* why) {
    const int result = checkSensor(view, sensor);
    if (result != TARN_OK) {
        return result;
    }
    try {
        char text[160];
        if (measured != 0) {
            std::snprintf(text, sizeof text, "angle %.2f", static_cast<double>(degrees));
        } else {
            std::snprintf(text, sizeof text, "angle: %s", why != nullptr ? why : "not measured");
        }
        view->server->broadcastStatus(
            tarn::view::kStatusInfo, text,
            "tarn.angle." + view->namespaces[static_cast<size_t>(sensor)]);
        return TARN_OK;
    } catch (const std::bad_alloc&) {
        return TARN_ERR_NO_MEMORY;
    }
}

int tarn_view_sensor_watched(const tarn_view* view, int sensor, int* watched) {
    const int result = checkSensor(view, sensor);
    if (result != TARN_OK) {
        return result;
    }
    if (watched == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    *watched = view->server->wanted(channelId(sensor, kPoints)) ||
                       view->server->wanted(channelId(sensor, kDepth)) ||
                       view->server->wanted(channelId(sensor, kIntensity))
                   ? 1
                   : 0;
    return TARN_OK;
}

int tarn_view_get_stats(const tarn_view* view, tarn_view_stats* stats) {
    if (view == nullptr || stats == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    *stats = view->server->stats();
    return TARN_OK;
}

const char* tarn_view_strerror(int code) {
    switch (code) {
#define TARN_VIEW_TEXT_(name, value, text) \
    case value:                            \
        return text;
        TARN_VIEW_RESULT_MAP(TARN_VIEW_TEXT_)
#undef TARN_VIEW_TEXT_
        default:
            return tarn_messages_strerror(code);
    }
}

}  // extern "C"
