// The C interface of include/tarn/mcap.h: one-line forwards to the Ros2Recording.
#include <new>

#include "ros2_recording.h"
#include "tarn/mcap.h"

struct tarn_mcap_writer {
    tarn::mcap::Ros2Recording rep;
};

extern "C" {

void tarn_mcap_config_init(tarn_mcap_config* config) {
    if (config == nullptr) {
        return;
    }
    *config = tarn_mcap_config{};
    config->compression = TARN_MCAP_ZSTD;
    tarn_messages_config_init(&config->messages);
}

int tarn_mcap_open(const char* path, const tarn_mcap_config* config, tarn_mcap_writer** out) {
    if (path == nullptr || config == nullptr || out == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    auto* writer = new (std::nothrow) tarn_mcap_writer;
    if (writer == nullptr) {
        return TARN_ERR_NO_MEMORY;
    }
    const int result = writer->rep.open(path, *config);
    if (result != TARN_OK) {
        delete writer;
        return result;
    }
    *out = writer;
    return TARN_OK;
}

int tarn_mcap_write_frame(tarn_mcap_writer* writer, const tarn_point* grid,
                          const tarn_frame_info* info) {
    if (writer == nullptr || grid == nullptr || info == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    return writer->rep.writeFrame(grid, *info);
}

int tarn_mcap_write_imu(tarn_mcap_writer* writer, const tarn_imu_sample* sample,
                        int64_t receive_realtime_ns) {
    if (writer == nullptr || sample == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    return writer->rep.writeImu(*sample, receive_realtime_ns);
}

int tarn_mcap_write_diagnostics(tarn_mcap_writer* writer, const tarn_stream_stats* stats,
                                int64_t stamp_realtime_ns) {
    if (writer == nullptr || stats == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    return writer->rep.writeDiagnostics(*stats, stamp_realtime_ns);
}

uint64_t tarn_mcap_messages(const tarn_mcap_writer* writer) {
    return writer == nullptr ? 0 : writer->rep.messages();
}

uint64_t tarn_mcap_dropped(const tarn_mcap_writer* writer) {
    return writer == nullptr ? 0 : writer->rep.dropped();
}

int tarn_mcap_close(tarn_mcap_writer* writer) {
    if (writer == nullptr) {
        return TARN_OK;
    }
    const int result = writer->rep.close();
    delete writer;
    return result;
}

const char* tarn_mcap_strerror(int code) {
    switch (code) {
        case TARN_ERR_MCAP_OPEN:
            return "the MCAP file could not be created";
        case TARN_ERR_MCAP_WRITE:
            return "writing the MCAP file failed: the recording has ended";
        case TARN_ERR_MCAP_COMPRESS:
            return "an MCAP chunk could not be compressed: the recording has ended";
        case TARN_ERR_MCAP_NAMESPACE:
            return "the topic namespace is not a ROS 2 name";
        case TARN_ERR_MCAP_COMPRESSION:
            return "unknown MCAP compression";
        default:
            return tarn_messages_strerror(code);
    }
}

}  // extern "C"
