// The C interface of tarn/source.h over the frame sources; no C++ exception passes it.
#include <arpa/inet.h>

#include <memory>
#include <new>
#include <stdexcept>
#include <system_error>

#include "recording/c_handles.h"
#include "recording/frame_source.h"
#include "tarn/source.h"

struct tarn_source {
    std::unique_ptr<tarn::recording::FrameSource> rep;
};

namespace {

constexpr int kMaxPort = 65535;

}  // namespace

int tarn_source_open_stream(const tarn_stream_config* config, size_t queue_frames,
                            tarn_source** out) {
    if (config == nullptr || out == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    try {
        auto source = std::make_unique<tarn_source>();
        std::unique_ptr<tarn::recording::LiveSource> live;
        const int result = tarn::recording::LiveSource::open(
            *config, queue_frames == 0 ? TARN_SOURCE_DEFAULT_QUEUE : queue_frames, live);
        if (result != TARN_OK) {
            return result;
        }
        source->rep = std::move(live);
        *out = source.release();
        return TARN_OK;
    } catch (const std::bad_alloc&) {
        return TARN_ERR_NO_MEMORY;
    } catch (const std::length_error&) {
        return TARN_ERR_NO_MEMORY;  // a queue larger than memory
    } catch (const std::system_error&) {
        return TARN_ERR_THREAD;
    }
}

int tarn_source_open_recording(const char* path, const char* device_address, int device_port,
                               tarn_source** out, char* error, size_t error_size) {
    tarn::recording::copyError("", error, error_size);
    if (path == nullptr || out == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    const bool anyAddress = device_address == nullptr || device_address[0] == '\0';
    in_addr address{};
    if (!anyAddress && inet_pton(AF_INET, device_address, &address) != 1) {
        return TARN_ERR_DEVICE_ADDRESS;
    }
    if (device_port < 0 || device_port > kMaxPort) {
        return TARN_ERR_DEVICE_PORT;
    }
    try {
        auto source = std::make_unique<tarn_source>();
        source->rep = std::make_unique<tarn::recording::RecordedSource>(
            path, anyAddress, ntohl(address.s_addr), device_port);
        *out = source.release();
        return TARN_OK;
    } catch (const std::bad_alloc&) {
        tarn::recording::copyError("out of memory", error, error_size);
        return TARN_ERR_NO_MEMORY;
    } catch (const std::exception& e) {
        tarn::recording::copyError(e.what(), error, error_size);
        return TARN_ERR_RECORDING_OPEN;
    }
}

int tarn_source_next(tarn_source* source, int timeout_ms, tarn_point* grid, tarn_frame_info* info) {
    if (source == nullptr) {
        return TARN_ERR_INVALID_HANDLE;
    }
    try {
        return source->rep->next(timeout_ms, grid, info);
    } catch (const std::bad_alloc&) {
        return TARN_ERR_NO_MEMORY;
    }
}

int tarn_source_imu(tarn_source* source, tarn_imu_sample* samples, size_t capacity, size_t* count) {
    if (source == nullptr) {
        return TARN_ERR_INVALID_HANDLE;
    }
    if (count == nullptr || (samples == nullptr && capacity > 0)) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    *count = source->rep->takeImu(samples, capacity);
    return TARN_OK;
}

int tarn_source_get_stats(tarn_source* source, tarn_source_stats* stats) {
    if (source == nullptr) {
        return TARN_ERR_INVALID_HANDLE;
    }
    if (stats == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    *stats = source->rep->stats();
    return TARN_OK;
}

tarn_stream* tarn_source_stream(tarn_source* source) {
    return source == nullptr ? nullptr : source->rep->stream();
}

const char* tarn_source_error(tarn_source* source) {
    return source == nullptr ? "" : source->rep->error();
}

void tarn_source_close(tarn_source* source) {
    delete source;
}
