// The C interface of tarn/recording.h: handles that wrap the reader and the recorder, and no C++
// exception past any function.
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

#include "format/datagram_format.h"
#include "recording/c_handles.h"
#include "tarn/recording.h"

namespace tarn::recording {

static_assert(TARN_RECORDING_POINT_DATA == format::kPointDataType &&
                  TARN_RECORDING_IMU_DATA == format::kImuDataType,
              "the public data types are the format's");

void copyError(const std::string& text, char* error, std::size_t size) {
    if (error != nullptr && size > 0) {
        std::snprintf(error, size, "%s", text.c_str());
    }
}

void toDatagram(const Datagram& from, tarn_recording_datagram& to) {
    auto address = [](const Ipv4& a) {
        return static_cast<uint32_t>(a[0]) << 24 | static_cast<uint32_t>(a[1]) << 16 |
               static_cast<uint32_t>(a[2]) << 8 | a[3];
    };
    to = tarn_recording_datagram{};
    to.payload = from.payload;
    to.length = from.length;
    to.capture_realtime_ns = from.timeNs;
    to.source_address = address(from.route.source);
    to.source_port = from.route.sourcePort;
    to.destination_address = address(from.route.destination);
    to.destination_port = from.route.destinationPort;
    to.record = from.record;
    to.data_type =
        from.length >= format::kCommonHeaderBytes ? from.payload[format::kDataTypeOffset] : 0;
}

}  // namespace tarn::recording

using tarn::recording::copyError;

const char* tarn_recording_strerror(int code) {
    switch (code) {
#define TARN_RECORDING_TEXT_(name, value, text) \
    case name:                                  \
        return text;
        TARN_RECORDING_RESULT_MAP(TARN_RECORDING_TEXT_)
#undef TARN_RECORDING_TEXT_
        default:
            return tarn_strerror(code);
    }
}

int tarn_recording_open(const char* path, tarn_recording_reader** out, char* error,
                        size_t error_size) {
    if (path == nullptr || out == nullptr) {
        copyError("", error, error_size);
        return TARN_ERR_NULL_ARGUMENT;
    }
    try {
        auto reader = std::make_unique<tarn_recording_reader>();
        reader->rep = std::make_unique<tarn::recording::PcapReader>(path);
        copyError("", error, error_size);
        *out = reader.release();
        return TARN_OK;
    } catch (const std::bad_alloc&) {
        copyError("out of memory", error, error_size);
        return TARN_ERR_NO_MEMORY;
    } catch (const std::exception& e) {
        copyError(e.what(), error, error_size);
        return TARN_ERR_RECORDING_OPEN;
    }
}

int tarn_recording_next(tarn_recording_reader* reader, tarn_recording_datagram* datagram) {
    if (reader == nullptr) {
        return TARN_ERR_INVALID_HANDLE;
    }
    if (datagram == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    tarn::recording::Datagram read;
    tarn::recording::ReadResult result = tarn::recording::ReadResult::end;
    try {
        result = reader->rep->next(read);
    } catch (const std::bad_alloc&) {
        return TARN_ERR_NO_MEMORY;
    }
    switch (result) {
        case tarn::recording::ReadResult::datagram:
            tarn::recording::toDatagram(read, *datagram);
            return TARN_OK;
        case tarn::recording::ReadResult::damaged:
            return TARN_ERR_RECORDING_DAMAGED;
        case tarn::recording::ReadResult::end:
            break;
    }
    return TARN_RECORDING_END;
}

int tarn_recording_get_stats(tarn_recording_reader* reader, tarn_recording_stats* stats) {
    if (reader == nullptr) {
        return TARN_ERR_INVALID_HANDLE;
    }
    if (stats == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    *stats = reader->rep->stats();
    return TARN_OK;
}

const char* tarn_recording_error(tarn_recording_reader* reader) {
    return reader == nullptr ? "" : reader->rep->message().c_str();
}

void tarn_recording_close(tarn_recording_reader* reader) {
    delete reader;
}

int tarn_recording_writer_open(const char* path, size_t queue_datagrams,
                               tarn_recording_writer** out, char* error, size_t error_size) {
    copyError("", error, error_size);
    if (path == nullptr || out == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    try {
        auto writer = std::make_unique<tarn_recording_writer>();
        writer->rep = std::make_unique<tarn::recording::Recorder>(
            path, queue_datagrams == 0 ? TARN_RECORDING_DEFAULT_QUEUE : queue_datagrams);
        writer->rep->start();
        *out = writer.release();
        return TARN_OK;
    } catch (const std::bad_alloc&) {
        copyError("out of memory", error, error_size);
        return TARN_ERR_NO_MEMORY;
    } catch (const std::system_error& e) {
        copyError(std::string("cannot start the recording writer: ") + e.what(), error, error_size);
        return TARN_ERR_RECORDING_THREAD;
    } catch (const std::exception& e) {
        copyError(e.what(), error, error_size);
        return TARN_ERR_RECORDING_WRITE;
    }
}

void tarn_recording_writer_tap(const uint8_t* datagram, size_t length,
                               const tarn_datagram_meta* meta, void* writer) {
    if (datagram == nullptr || meta == nullptr || writer == nullptr) {
        return;
    }
    static_cast<tarn_recording_writer*>(writer)->rep->take(datagram, length, *meta);
}

int tarn_recording_writer_get_stats(tarn_recording_writer* writer,
                                    tarn_recording_writer_stats* stats) {
    if (writer == nullptr) {
        return TARN_ERR_INVALID_HANDLE;
    }
    if (stats == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    *stats = writer->rep->counts();
    return TARN_OK;
}

int tarn_recording_writer_finish(tarn_recording_writer* writer,
                                 tarn_recording_writer_stats* stats) {
    if (writer == nullptr) {
        return TARN_ERR_INVALID_HANDLE;
    }
    tarn_recording_writer_stats counts{};
    const bool ok = writer->rep->finish(counts);
    if (stats != nullptr) {
        *stats = counts;
    }
    if (!ok) {
        try {
            writer->error = writer->rep->error();
        } catch (const std::bad_alloc&) {
            writer->error.clear();
        }
        return TARN_ERR_RECORDING_WRITE;
    }
    return TARN_OK;
}

const char* tarn_recording_writer_error(tarn_recording_writer* writer) {
    return writer == nullptr ? "" : writer->error.c_str();
}

void tarn_recording_writer_close(tarn_recording_writer* writer) {
    delete writer;
}
