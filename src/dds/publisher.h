// The DDS publisher: one participant, its sensors' writers, and the thread that writes queued
// messages and the diagnostics.
#ifndef TARN_DDS_PUBLISHER_H
#define TARN_DDS_PUBLISHER_H

#include <dds/dds.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "raw_sertype.h"
#include "tarn/dds.h"

struct tarn_dds_sensor;

namespace tarn::dds {

// The ROS 2 conventions, as pure functions.
// "rt/" + namespace + "/" + topic.
std::string topicName(const std::string& ns, const char* topic);
// "sensor_msgs/msg/PointCloud2" -> "sensor_msgs::msg::dds_::PointCloud2_".
std::string ddsTypeName(const std::string& rosType);
// True for a namespace of tokens of [A-Za-z0-9_] between single '/', none starting with a digit.
bool validNamespace(const std::string& ns);
// ROS_DOMAIN_ID as ROS 2 reads it: unset or empty is 0; -1 for a text that is not 0 to 232.
int domainFromEnvironment(const char* text);
// Appends key-values to the one status of a DiagnosticArray's CDR; false when the bytes are not
// one such array.
bool appendKeyValues(std::vector<uint8_t>& cdr,
                     const std::vector<std::pair<std::string, std::string>>& values);

// One topic's writer and its one-message queue. The queue is guarded by Publisher::mutex_.
struct Topic {
    dds_entity_t topic = 0;
    dds_entity_t writer = 0;
    const struct ddsi_sertype* type = nullptr;  // the topic's, for its samples
    struct ddsi_serdata* queued = nullptr;
    size_t lastSize = 0;  // the previous message's size, to size the next buffer at once
    std::atomic<uint64_t> offered{0};
    std::atomic<uint64_t> published{0};
    std::atomic<uint64_t> notPublished{0};
    std::atomic<uint64_t> failed{0};
};

class Publisher {
  public:
    ~Publisher();
    static int open(const tarn_dds_config& config, std::unique_ptr<Publisher>& out);
    int addSensor(const tarn_dds_sensor_config& config, tarn_dds_sensor** out);

    // Queues the first length of bytes on a topic, replacing (and counting) a message still
    // queued there. Bytes with kRawSamplePadding to spare are taken over without a copy.
    void enqueue(Topic& topic, SampleBytes&& bytes, size_t length);

  private:
    Publisher() = default;
    int createTopic(const std::string& name, int kind, const tarn_dds_qos& qos, Topic& topic);
    void run();
    void publishDiagnostics(tarn_dds_sensor& sensor, int64_t nowNs);

    tarn_dds_config config_{};
    dds_entity_t domain_ = 0;
    dds_entity_t participant_ = 0;
    std::mutex mutex_;  // the queues, sensors_ and stop_
    std::condition_variable wake_;
    bool stop_ = false;
    std::vector<std::unique_ptr<tarn_dds_sensor>> sensors_;
    std::thread thread_;
};

}  // namespace tarn::dds

// A sensor: its namespace, serialisers and topics.
struct tarn_dds_sensor {
    tarn::dds::Publisher* publisher = nullptr;
    std::string ns;
    tarn_messages* messages = nullptr;     // frames and IMU samples, on the callers' threads
    tarn_messages* diagnostics = nullptr;  // the diagnostics, on the publisher's thread
    bool hasImuLayout = false;
    std::atomic<tarn_stream*> stream{nullptr};
    int64_t nextDiagnosticsNs = 0;  // publisher thread only
    tarn::dds::Topic topics[TARN_DDS_TOPICS];
    ~tarn_dds_sensor();
};

#endif  // TARN_DDS_PUBLISHER_H
