#include "publisher.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <ctime>

#include <dds/ddsi/ddsi_serdata.h>
#include <dds/ddsi/ddsi_sertype.h>

#include "raw_sertype.h"
#include "type_hash.h"

namespace tarn::dds {
namespace {

// The message kind each topic carries.
constexpr int kTopicKinds[TARN_DDS_TOPICS] = {
    TARN_MESSAGE_POINT_CLOUD, TARN_MESSAGE_DEPTH_IMAGE, TARN_MESSAGE_INTENSITY_IMAGE,
    TARN_MESSAGE_IMU_RAW,     TARN_MESSAGE_IMU,         TARN_MESSAGE_DIAGNOSTICS};
constexpr int kMaxDomain = 232;  // the highest domain id Cyclone DDS maps to ports

int64_t realtimeNs() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

uint32_t readU32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}
void writeU32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b[at + i] = uint8_t(v >> (8 * i));
    }
}
// CDR alignment counts from the end of the 4-byte encapsulation header.
size_t align4(size_t at) {
    return 4 + ((at - 4 + 3) & ~size_t(3));
}

// Skips a CDR string at at; 0 when it runs past the end.
size_t skipString(const std::vector<uint8_t>& b, size_t at) {
    at = align4(at);
    if (at + 4 > b.size()) {
        return 0;
    }
    size_t end = at + 4 + readU32(b, at);
    return end <= b.size() ? end : 0;
}

void appendString(std::vector<uint8_t>& b, const std::string& s) {
    b.resize(align4(b.size()), 0);
    size_t at = b.size();
    b.resize(at + 4);
    writeU32(b, at, uint32_t(s.size() + 1));
    b.insert(b.end(), s.begin(), s.end());
    b.push_back(0);
}

}  // namespace

std::string topicName(const std::string& ns, const char* topic) {
    return "rt/" + ns + "/" + topic;
}

std::string ddsTypeName(const std::string& rosType) {
    size_t last = rosType.rfind('/');
    std::string prefix = rosType.substr(0, last);
    std::string name;
    for (char c : prefix) {
        name += c == '/' ? std::string("::") : std::string(1, c);
    }
    return name + "::dds_::" + rosType.substr(last + 1) + "_";
}

bool validNamespace(const std::string& ns) {
    if (ns.empty() || ns.front() == '/' || ns.back() == '/') {
        return false;
    }
    bool tokenStart = true;
    for (char c : ns) {
        if (c == '/') {
            if (tokenStart) {
                return false;  // "//"
            }
            tokenStart = true;
            continue;
        }
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_') ||
            (tokenStart && std::isdigit(static_cast<unsigned char>(c)))) {
            return false;
        }
        tokenStart = false;
    }
    return true;
}

int domainFromEnvironment(const char* text) {
    if (text == nullptr || *text == '\0') {
        return 0;
    }
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    return (*end == '\0' && v >= 0 && v <= kMaxDomain) ? int(v) : -1;
}

bool appendKeyValues(std::vector<uint8_t>& cdr,
                     const std::vector<std::pair<std::string, std::string>>& values) {
    // header: stamp (8 bytes), frame_id; then the status count, one status: level, name,
    // message, hardware_id, values.
    if (cdr.size() < 12) {
        return false;
    }
    size_t at = skipString(cdr, 12);
    if (at == 0 || align4(at) + 5 > cdr.size() || readU32(cdr, align4(at)) != 1) {
        return false;
    }
    at = align4(at) + 5;  // past the count and the level
    for (int i = 0; i < 3 && at != 0; ++i) {
        at = skipString(cdr, at);
    }
    if (at == 0 || align4(at) + 4 > cdr.size()) {
        return false;
    }
    const size_t countAt = align4(at);
    writeU32(cdr, countAt, readU32(cdr, countAt) + uint32_t(values.size()));
    for (const auto& kv : values) {
        appendString(cdr, kv.first);
        appendString(cdr, kv.second);
    }
    return true;
}

Publisher::~Publisher() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
    sensors_.clear();  // drops queued samples and messages handles
    if (participant_ > 0) {
        dds_delete(participant_);  // and every topic and writer under it
    }
    if (domain_ > 0) {
        dds_delete(domain_);
    }
}

int Publisher::open(const tarn_dds_config& config, std::unique_ptr<Publisher>& out) {
    if (config.data_qos.depth < 1 || config.diagnostics_qos.depth < 1) {
        return TARN_ERR_DDS_QOS;
    }
    int domain = config.domain_id;
    if (domain == -1) {
        domain = domainFromEnvironment(std::getenv("ROS_DOMAIN_ID"));
    }
    if (domain < 0 || domain > kMaxDomain) {
        return TARN_ERR_DDS_DOMAIN;
    }
    std::unique_ptr<Publisher> p(new (std::nothrow) Publisher);
    if (!p) {
        return TARN_ERR_NO_MEMORY;
    }
    p->config_ = config;
    p->config_.cyclonedds_config = nullptr;  // not kept
    if (config.cyclonedds_config != nullptr && *config.cyclonedds_config != '\0') {
        std::string text = config.cyclonedds_config;
        // Cyclone DDS takes XML or URIs; a plain path becomes a file URI.
        if (text.front() != '<' && text.find("://") == std::string::npos) {
            text = "file://" + text;
        }
        p->domain_ = dds_create_domain(dds_domainid_t(domain), text.c_str());
        if (p->domain_ < 0) {
            p->domain_ = 0;
            return TARN_ERR_DDS;
        }
    }
    dds_qos_t* qos = dds_create_qos();
    static const char kUserData[] = "enclave=/;";  // as ROS 2 participants announce themselves
    dds_qset_userdata(qos, kUserData, sizeof kUserData - 1);
    p->participant_ = dds_create_participant(dds_domainid_t(domain), qos, nullptr);
    dds_delete_qos(qos);
    if (p->participant_ < 0) {
        p->participant_ = 0;
        return TARN_ERR_DDS;
    }
    try {
        p->thread_ = std::thread([raw = p.get()] { raw->run(); });
    } catch (...) {
        return TARN_ERR_THREAD;
    }
    out = std::move(p);
    return TARN_OK;
}

int Publisher::createTopic(const std::string& name, int kind, const tarn_dds_qos& q, Topic& topic) {
    const std::string rosType = tarn_message_type_name(kind);
    struct ddsi_sertype* type = newRawSertype(ddsTypeName(rosType).c_str());
    if (type == nullptr) {
        return TARN_ERR_NO_MEMORY;
    }
    topic.topic =
        dds_create_topic_sertype(participant_, name.c_str(), &type, nullptr, nullptr, nullptr);
    if (topic.topic < 0) {
        ddsi_sertype_unref(type);
        topic.topic = 0;
        return TARN_ERR_DDS;
    }
    topic.type = type;
    dds_qos_t* qos = dds_create_qos();
    dds_qset_reliability(qos, q.reliable ? DDS_RELIABILITY_RELIABLE : DDS_RELIABILITY_BEST_EFFORT,
                         DDS_MSECS(100));
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, q.depth);
    dds_qset_durability(qos, DDS_DURABILITY_VOLATILE);
    dds_data_representation_id_t xcdr1 = DDS_DATA_REPRESENTATION_XCDR1;
    dds_qset_data_representation(qos, 1, &xcdr1);
    const std::string userData = "typehash=" + typeHash(rosType) + ";";
    dds_qset_userdata(qos, userData.data(), userData.size());
    topic.writer = dds_create_writer(participant_, topic.topic, qos, nullptr);
    dds_delete_qos(qos);
    if (topic.writer < 0) {
        topic.writer = 0;
        return TARN_ERR_DDS;
    }
    return TARN_OK;
}

int Publisher::addSensor(const tarn_dds_sensor_config& config, tarn_dds_sensor** out) {
    std::string ns = config.namespace_name != nullptr && *config.namespace_name != '\0'
                         ? config.namespace_name
                         : "tarn";
    if (!validNamespace(ns)) {
        return TARN_ERR_DDS_NAMESPACE;
    }
    std::unique_ptr<tarn_dds_sensor> s(new (std::nothrow) tarn_dds_sensor);
    if (!s) {
        return TARN_ERR_NO_MEMORY;
    }
    s->publisher = this;
    s->ns = ns;
    s->hasImuLayout = config.messages.imu_layout != nullptr;
    s->stream.store(config.stream);
    int rc = tarn_messages_open(&config.messages, &s->messages);
    if (rc == TARN_OK) {
        rc = tarn_messages_open(&config.messages, &s->diagnostics);
    }
    for (int t = 0; t < TARN_DDS_TOPICS && rc == TARN_OK; ++t) {
        if (t == TARN_DDS_IMU && !s->hasImuLayout) {
            continue;
        }
        if (t == TARN_DDS_DIAGNOSTICS && config_.diagnostics_period_ms <= 0) {
            continue;
        }
        rc = createTopic(topicName(ns, tarn_dds_topic_name(t)), kTopicKinds[t],
                         t == TARN_DDS_DIAGNOSTICS ? config_.diagnostics_qos : config_.data_qos,
                         s->topics[t]);
    }
    if (rc != TARN_OK) {
        return rc;
    }
    *out = s.get();
    std::lock_guard<std::mutex> lock(mutex_);
    sensors_.push_back(std::move(s));
    return TARN_OK;
}

void Publisher::enqueue(Topic& topic, SampleBytes&& bytes, size_t length) {
    topic.offered.fetch_add(1);
    topic.lastSize = length;
    struct ddsi_serdata* sample = newRawSample(topic.type, std::move(bytes), length);
    if (sample == nullptr) {
        topic.notPublished.fetch_add(1);
        topic.failed.fetch_add(1);
        return;
    }
    struct ddsi_serdata* replaced = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        replaced = topic.queued;
        topic.queued = sample;
    }
    if (replaced != nullptr) {
        topic.notPublished.fetch_add(1);
        ddsi_serdata_unref(replaced);
    }
    wake_.notify_one();
}

void Publisher::publishDiagnostics(tarn_dds_sensor& sensor, int64_t nowNs) {
    Topic& topic = sensor.topics[TARN_DDS_DIAGNOSTICS];
    topic.offered.fetch_add(1);
    tarn_stream_stats stats{};
    tarn_stream* stream = sensor.stream.load();
    if (stream != nullptr && tarn_stream_get_stats(stream, &stats) != TARN_OK) {
        stats = tarn_stream_stats{};
    }
    std::vector<uint8_t> bytes(topic.lastSize != 0 ? topic.lastSize + 1024 : 4096);
    size_t length = 0;
    int rc = tarn_messages_diagnostics(sensor.diagnostics, &stats, nowNs, bytes.data(),
                                       bytes.size(), &length);
    if (rc == TARN_ERR_BUFFER_TOO_SMALL) {
        bytes.resize(length);
        rc = tarn_messages_diagnostics(sensor.diagnostics, &stats, nowNs, bytes.data(),
                                       bytes.size(), &length);
    }
    bytes.resize(std::min(length, bytes.size()));
    std::vector<std::pair<std::string, std::string>> counts;
    for (int t = 0; t < TARN_DDS_DIAGNOSTICS; ++t) {
        if (sensor.topics[t].writer != 0) {
            counts.emplace_back(std::string("not_published_") + tarn_dds_topic_name(t),
                                std::to_string(sensor.topics[t].notPublished.load()));
        }
    }
    if (rc != TARN_OK || !appendKeyValues(bytes, counts)) {
        topic.notPublished.fetch_add(1);
        topic.failed.fetch_add(1);
        return;
    }
    topic.lastSize = bytes.size();
    SampleBytes sampleBytes(bytes.begin(), bytes.end());
    struct ddsi_serdata* sample = newRawSample(topic.type, std::move(sampleBytes), bytes.size());
    if (sample == nullptr || dds_writecdr(topic.writer, sample) < 0) {
        topic.notPublished.fetch_add(1);
        topic.failed.fetch_add(1);
        return;
    }
    topic.published.fetch_add(1);
}

void Publisher::run() {
    const int64_t period = int64_t(config_.diagnostics_period_ms) * 1000000;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        // Take every queued message, then write them without the lock so callers never wait on
        // DDS.
        std::vector<std::pair<Topic*, struct ddsi_serdata*>> batch;
        for (auto& sensor : sensors_) {
            for (Topic& topic : sensor->topics) {
                if (topic.queued != nullptr) {
                    batch.emplace_back(&topic, topic.queued);
                    topic.queued = nullptr;
                }
            }
        }
        std::vector<std::pair<tarn_dds_sensor*, int64_t>> due;  // and its scheduled time
        const int64_t now = realtimeNs();
        int64_t next = now + 1000000000;
        if (period > 0) {
            for (auto& sensor : sensors_) {
                if (sensor->nextDiagnosticsNs == 0) {
                    sensor->nextDiagnosticsNs = now + period;
                } else if (now >= sensor->nextDiagnosticsNs) {
                    due.emplace_back(sensor.get(), sensor->nextDiagnosticsNs);
                    sensor->nextDiagnosticsNs += period;
                    if (sensor->nextDiagnosticsNs <= now) {
                        sensor->nextDiagnosticsNs = now + period;  // after a long stall
                    }
                }
                next = std::min(next, sensor->nextDiagnosticsNs);
            }
        }
        if (batch.empty() && due.empty()) {
            wake_.wait_for(lock, std::chrono::nanoseconds(std::max<int64_t>(next - now, 1000000)));
            continue;
        }
        lock.unlock();
        for (auto& [topic, sample] : batch) {
            if (dds_writecdr(topic->writer, sample) < 0) {  // takes the sample either way
                topic->notPublished.fetch_add(1);
                topic->failed.fetch_add(1);
            } else {
                topic->published.fetch_add(1);
            }
        }
        // Stamped with their schedule, so reports are exactly a period apart.
        for (auto& [sensor, stamp] : due) {
            publishDiagnostics(*sensor, stamp);
        }
        lock.lock();
    }
}

}  // namespace tarn::dds

tarn_dds_sensor::~tarn_dds_sensor() {
    for (tarn::dds::Topic& topic : topics) {
        if (topic.queued != nullptr) {
            ddsi_serdata_unref(topic.queued);
        }
    }
    tarn_messages_close(messages);
    tarn_messages_close(diagnostics);
}
