// The C interface of include/tarn/messages.h: one-line forwards to the Serialiser.
#include <new>

#include "definitions.h"
#include "serialiser.h"
#include "tarn/messages.h"

struct tarn_messages {
    tarn::messages::Serialiser rep;
};

namespace {

using tarn::messages::CdrWriter;

// Measures the message, then writes it into the caller's buffer if it fits. Measuring skips the
// bulk of a frame's data, so it costs little beside the writing.
template <typename Write>
int serialise(uint8_t* buffer, size_t capacity, size_t* length, Write&& write) {
    CdrWriter measure(nullptr, 0);
    write(measure);
    *length = measure.size();
    if (buffer == nullptr || capacity < measure.size()) {
        return TARN_ERR_BUFFER_TOO_SMALL;
    }
    CdrWriter w(buffer, capacity);
    write(w);
    return TARN_OK;
}

}  // namespace

extern "C" {

void tarn_messages_config_init(tarn_messages_config* config) {
    if (config == nullptr) {
        return;
    }
    *config = tarn_messages_config{};
    config->frame_id = tarn::messages::kDefaultFrameId;
    config->stamp_source = TARN_STAMP_RECEIVE_TIME;
    config->sensor_tick_ns = 1;
}

int tarn_messages_open(const tarn_messages_config* config, tarn_messages** out) {
    if (config == nullptr || out == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    const int valid = tarn::messages::Serialiser::validate(*config);
    if (valid != TARN_OK) {
        return valid;
    }
    auto* messages = new (std::nothrow) tarn_messages{tarn::messages::Serialiser(*config)};
    if (messages == nullptr) {
        return TARN_ERR_NO_MEMORY;
    }
    *out = messages;
    return TARN_OK;
}

int tarn_messages_close(tarn_messages* messages) {
    delete messages;
    return TARN_OK;
}

const char* tarn_message_type_name(int kind) {
    const tarn::messages::MessageType* type = tarn::messages::messageType(kind);
    return type == nullptr ? nullptr : type->name;
}

const char* tarn_message_definition(int kind) {
    const tarn::messages::MessageType* type = tarn::messages::messageType(kind);
    return type == nullptr ? nullptr : type->definition;
}

int tarn_messages_point_cloud(const tarn_messages* messages, const tarn_point* grid,
                              const tarn_frame_info* info, uint8_t* buffer, size_t capacity,
                              size_t* length) {
    if (messages == nullptr || grid == nullptr || info == nullptr || length == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    return serialise(buffer, capacity, length,
                     [&](CdrWriter& w) { messages->rep.pointCloud(w, grid, *info); });
}

int tarn_messages_depth_image(const tarn_messages* messages, const tarn_point* grid,
                              const tarn_frame_info* info, uint8_t* buffer, size_t capacity,
                              size_t* length) {
    if (messages == nullptr || grid == nullptr || info == nullptr || length == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    return serialise(buffer, capacity, length,
                     [&](CdrWriter& w) { messages->rep.depthImage(w, grid, *info); });
}

int tarn_messages_intensity_image(const tarn_messages* messages, const tarn_point* grid,
                                  const tarn_frame_info* info, uint8_t* buffer, size_t capacity,
                                  size_t* length) {
    if (messages == nullptr || grid == nullptr || info == nullptr || length == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    return serialise(buffer, capacity, length,
                     [&](CdrWriter& w) { messages->rep.intensityImage(w, grid, *info); });
}

int tarn_messages_imu_raw(const tarn_messages* messages, const tarn_imu_sample* sample,
                          int64_t receive_realtime_ns, uint8_t* buffer, size_t capacity,
                          size_t* length) {
    if (messages == nullptr || sample == nullptr || length == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    return serialise(buffer, capacity, length,
                     [&](CdrWriter& w) { messages->rep.imuRaw(w, *sample, receive_realtime_ns); });
}

int tarn_messages_imu(const tarn_messages* messages, const tarn_imu_sample* sample,
                      int64_t receive_realtime_ns, uint8_t* buffer, size_t capacity,
                      size_t* length) {
    if (messages == nullptr || sample == nullptr || length == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    if (!messages->rep.hasImuLayout()) {
        return TARN_ERR_IMU_LAYOUT;
    }
    return serialise(buffer, capacity, length,
                     [&](CdrWriter& w) { messages->rep.imu(w, *sample, receive_realtime_ns); });
}

int tarn_messages_diagnostics(tarn_messages* messages, const tarn_stream_stats* stats,
                              int64_t stamp_realtime_ns, uint8_t* buffer, size_t capacity,
                              size_t* length) {
    if (messages == nullptr || stats == nullptr || length == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    const int result = serialise(buffer, capacity, length, [&](CdrWriter& w) {
        messages->rep.diagnostics(w, *stats, stamp_realtime_ns);
    });
    if (result == TARN_OK) {
        messages->rep.commitDiagnostics(*stats, stamp_realtime_ns);
    }
    return result;
}

const char* tarn_messages_strerror(int code) {
    switch (code) {
        case TARN_ERR_BUFFER_TOO_SMALL:
            return "the buffer is smaller than the message";
        case TARN_ERR_IMU_LAYOUT:
            return "no IMU layout, or a value outside the sample or of an unknown type or scale";
        case TARN_ERR_STAMP_SOURCE:
            return "unknown stamp source";
        default:
            return tarn_strerror(code);
    }
}

}  // extern "C"
