// The C interface of include/tarn/mcap.h: one-line forwards to the Ros2Recording and the
// Ros2Playback.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "ros2_playback.h"
#include "ros2_recording.h"
#include "tarn/mcap.h"

struct tarn_mcap_writer {
    tarn::mcap::Ros2Recording rep;
};

struct tarn_mcap_reader {
    tarn::mcap::Ros2Playback rep;
};

namespace {

void copyError(const std::string& text, char* error, size_t size) {
    if (error != nullptr && size > 0) {
        std::snprintf(error, size, "%s", text.c_str());
    }
}

}  // namespace

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

int tarn_mcap_reader_open(const char* path, const char* topic_namespace, tarn_mcap_reader** out,
                          char* error, size_t error_size) {
    copyError("", error, error_size);
    if (path == nullptr || out == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    auto* reader = new (std::nothrow) tarn_mcap_reader;
    if (reader == nullptr) {
        return TARN_ERR_NO_MEMORY;
    }
    std::FILE* file = std::fopen(path, "rb");
    const int result =
        file == nullptr ? TARN_ERR_MCAP_READ : reader->rep.open(file, topic_namespace);
    if (result != TARN_OK) {
        copyError(
            file == nullptr ? std::string(path) + ": " + std::strerror(errno) : reader->rep.error(),
            error, error_size);
        delete reader;
        return result;
    }
    *out = reader;
    return TARN_OK;
}

int tarn_mcap_reader_next_frame(tarn_mcap_reader* reader, tarn_point* grid, tarn_frame_info* info) {
    if (reader == nullptr || grid == nullptr || info == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    return reader->rep.nextFrame(grid, *info);
}

int tarn_mcap_reader_imu(tarn_mcap_reader* reader, tarn_imu_sample* samples, size_t capacity,
                         size_t* count, uint64_t* dropped) {
    if (reader == nullptr || (samples == nullptr && capacity > 0) || count == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    *count = reader->rep.takeImu(samples, capacity);
    if (dropped != nullptr) {
        *dropped = reader->rep.imuDropped();
    }
    return TARN_OK;
}

const char* tarn_mcap_reader_error(const tarn_mcap_reader* reader) {
    return reader == nullptr ? "" : reader->rep.error().c_str();
}

void tarn_mcap_reader_close(tarn_mcap_reader* reader) {
    delete reader;
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
        case TARN_ERR_MCAP_READ:
            return "not an MCAP file, or a damaged one";
        case TARN_ERR_MCAP_NO_POINTS:
            return "the MCAP file has no points topic to read frames from";
        case TARN_ERR_MCAP_LAYOUT:
            return "the MCAP file's point cloud is not in tarn's point layout";
        case TARN_MCAP_END:
            return "the MCAP file holds no further frame";
        default:
            return tarn_messages_strerror(code);
    }
}

}  // extern "C"
