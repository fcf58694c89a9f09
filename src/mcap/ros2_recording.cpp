#include "ros2_recording.h"

#include <cctype>
#include <cstring>
#include <string_view>

namespace tarn::mcap {
namespace {

struct TopicKind {
    const char* name;
    int kind;
};

constexpr TopicKind kTopicKinds[] = {
    {"points", TARN_MESSAGE_POINT_CLOUD},
    {"depth", TARN_MESSAGE_DEPTH_IMAGE},
    {"intensity", TARN_MESSAGE_INTENSITY_IMAGE},
    {"imu_raw", TARN_MESSAGE_IMU_RAW},
    {"imu", TARN_MESSAGE_IMU},
    {"diagnostics", TARN_MESSAGE_DIAGNOSTICS},
};

int resultCode(WriteResult result) {
    switch (result) {
        case WriteResult::kOk:
            return TARN_OK;
        case WriteResult::kOpen:
            return TARN_ERR_MCAP_OPEN;
        case WriteResult::kWrite:
            return TARN_ERR_MCAP_WRITE;
        case WriteResult::kCompress:
            return TARN_ERR_MCAP_COMPRESS;
        default:  // a write without an open file
            return TARN_ERR_MCAP_WRITE;
    }
}

// The header stamp right after the encapsulation, as nanoseconds (0 before the epoch).
uint64_t stampOf(const std::vector<uint8_t>& cdr) {
    int32_t sec;
    uint32_t nanosec;
    std::memcpy(&sec, cdr.data() + 4, sizeof sec);
    std::memcpy(&nanosec, cdr.data() + 8, sizeof nanosec);
    return sec < 0 ? 0 : static_cast<uint64_t>(sec) * 1000000000u + nanosec;
}

}  // namespace

bool topicPrefix(const char* topicNamespace, std::string& prefix) {
    std::string_view ns = topicNamespace == nullptr ? "" : topicNamespace;
    while (!ns.empty() && ns.front() == '/') {
        ns.remove_prefix(1);
    }
    while (!ns.empty() && ns.back() == '/') {
        ns.remove_suffix(1);
    }
    bool partStart = true;
    for (const char c : ns) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '/') {
            if (partStart) {
                return false;  // an empty part
            }
            partStart = true;
            continue;
        }
        if (!(std::isalnum(u) || c == '_') || (partStart && std::isdigit(u))) {
            return false;
        }
        partStart = false;
    }
    prefix = ns.empty() ? "/tarn/" : "/" + std::string(ns) + "/tarn/";
    return true;
}

Ros2Recording::~Ros2Recording() {
    close();
}

int Ros2Recording::open(const char* path, const tarn_mcap_config& config) {
    std::string prefix;
    if (!topicPrefix(config.topic_namespace, prefix)) {
        return TARN_ERR_MCAP_NAMESPACE;
    }
    McapWriter::Options options;
    switch (config.compression) {
        case TARN_MCAP_ZSTD:
            options.compression = Compression::kZstd;
            break;
        case TARN_MCAP_LZ4:
            options.compression = Compression::kLz4;
            break;
        case TARN_MCAP_NONE:
            options.compression = Compression::kNone;
            break;
        default:
            return TARN_ERR_MCAP_COMPRESSION;
    }
    if (config.chunk_bytes != 0) {
        options.chunkBytes = config.chunk_bytes;
    }
    options.profile = "ros2";
    options.library = std::string("tarn ") + tarn_version();
    const int opened = tarn_messages_open(&config.messages, &messages_);
    if (opened != TARN_OK) {
        return opened;
    }
    WriteResult result = writer_.open(path, options);
    uint16_t schemas[TARN_MESSAGE_KINDS] = {};
    for (int topic = 0; topic < kTopics && result == WriteResult::kOk; ++topic) {
        const int kind = kTopicKinds[topic].kind;
        if (kind == TARN_MESSAGE_IMU && config.messages.imu_layout == nullptr) {
            continue;
        }
        // Depth and intensity share the Image schema.
        uint16_t& schema =
            schemas[kind == TARN_MESSAGE_INTENSITY_IMAGE ? TARN_MESSAGE_DEPTH_IMAGE : kind];
        if (schema == 0) {
            result = writer_.addSchema(tarn_message_type_name(kind), "ros2msg",
                                       tarn_message_definition(kind), schema);
        }
        if (result == WriteResult::kOk) {
            result = writer_.addChannel(schema, prefix + kTopicKinds[topic].name, "cdr",
                                        channels_[topic]);
        }
    }
    if (result == WriteResult::kOk && config.queue_messages > 0) {
        thread_ = std::make_unique<WriterThread>(writer_, config.queue_messages);
    }
    return resultCode(result);
}

int Ros2Recording::room(std::size_t count, bool& fits) {
    fits = true;
    if (!thread_) {
        return TARN_OK;
    }
    if (thread_->error() != WriteResult::kOk) {
        return resultCode(thread_->error());
    }
    fits = thread_->reserve(count);
    return TARN_OK;
}

template <typename Call>
int Ros2Recording::record(Topic topic, Call&& serialise) {
    size_t length = 0;
    int result = serialise(scratch_.data(), scratch_.size(), &length);
    if (result == TARN_ERR_BUFFER_TOO_SMALL) {
        scratch_.resize(length);
        result = serialise(scratch_.data(), scratch_.size(), &length);
    }
    if (result != TARN_OK) {
        return result;
    }
    const uint64_t stamp = stampOf(scratch_);
    ++recorded_;
    if (!thread_) {
        return resultCode(writer_.write(channels_[topic], stamp, stamp, scratch_.data(), length));
    }
    scratch_.resize(length);
    thread_->push(channels_[topic], stamp, std::move(scratch_));
    scratch_ = thread_->buffer();
    return TARN_OK;
}

int Ros2Recording::writeFrame(const tarn_point* grid, const tarn_frame_info& info) {
    bool fits = true;
    int result = room(3, fits);
    if (result != TARN_OK || !fits) {
        return result;
    }
    result = record(kPoints, [&](uint8_t* b, size_t c, size_t* l) {
        return tarn_messages_point_cloud(messages_, grid, &info, b, c, l);
    });
    if (result == TARN_OK) {
        result = record(kDepth, [&](uint8_t* b, size_t c, size_t* l) {
            return tarn_messages_depth_image(messages_, grid, &info, b, c, l);
        });
    }
    if (result == TARN_OK) {
        result = record(kIntensity, [&](uint8_t* b, size_t c, size_t* l) {
            return tarn_messages_intensity_image(messages_, grid, &info, b, c, l);
        });
    }
    return result;
}

int Ros2Recording::writeImu(const tarn_imu_sample& sample, int64_t receiveNs) {
    bool fits = true;
    int result = room(channels_[kImu] != 0 ? 2 : 1, fits);
    if (result != TARN_OK || !fits) {
        return result;
    }
    result = record(kImuRaw, [&](uint8_t* b, size_t c, size_t* l) {
        return tarn_messages_imu_raw(messages_, &sample, receiveNs, b, c, l);
    });
    if (result == TARN_OK && channels_[kImu] != 0) {
        result = record(kImu, [&](uint8_t* b, size_t c, size_t* l) {
            return tarn_messages_imu(messages_, &sample, receiveNs, b, c, l);
        });
    }
    return result;
}

int Ros2Recording::writeDiagnostics(const tarn_stream_stats& stats, int64_t stampNs) {
    bool fits = true;
    const int result = room(1, fits);
    if (result != TARN_OK || !fits) {
        return result;
    }
    return record(kDiagnostics, [&](uint8_t* b, size_t c, size_t* l) {
        return tarn_messages_diagnostics(messages_, &stats, stampNs, b, c, l);
    });
}

int Ros2Recording::close() {
    if (thread_) {
        thread_->finish();
        thread_.reset();
    }
    const WriteResult result = writer_.close();
    tarn_messages_close(messages_);
    messages_ = nullptr;
    return result == WriteResult::kClosed ? TARN_OK : resultCode(result);
}

}  // namespace tarn::mcap
