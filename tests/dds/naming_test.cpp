// ROS 2's names and type hashes, as a table written from ROS 2's documentation (topic "/ns/x" is
// DDS topic "rt/ns/x"; type "pkg/msg/T" is "pkg::msg::dds_::T_"; the hashes are the ones ROS 2
// Iron and later generate), checked on what the publisher announces on the wire.
#include <gtest/gtest.h>

#include <dds/dds.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>

#include "publisher.h"
#include "tarn/dds.h"
#include "type_hash.h"

namespace {

struct Expected {
    const char* topic;
    const char* type;
    const char* hash;
};

const std::map<std::string, Expected>& rosTable() {
    static const std::map<std::string, Expected> table = {
        {"points",
         {"rt/tarn/points", "sensor_msgs::msg::dds_::PointCloud2_",
          "RIHS01_9198cabf7da3796ae6fe19c4cb3bdd3525492988c70522628af5daa124bae2b5"}},
        {"depth/image",
         {"rt/tarn/depth/image", "sensor_msgs::msg::dds_::Image_",
          "RIHS01_d31d41a9a4c4bc8eae9be757b0beed306564f7526c88ea6a4588fb9582527d47"}},
        {"intensity/image",
         {"rt/tarn/intensity/image", "sensor_msgs::msg::dds_::Image_",
          "RIHS01_d31d41a9a4c4bc8eae9be757b0beed306564f7526c88ea6a4588fb9582527d47"}},
        {"imu",
         {"rt/tarn/imu", "sensor_msgs::msg::dds_::Imu_",
          "RIHS01_7d9a00ff131080897a5ec7e26e315954b8eae3353c3f995c55faf71574000b5b"}},
        {"diagnostics",
         {"rt/tarn/diagnostics", "diagnostic_msgs::msg::dds_::DiagnosticArray_",
          "RIHS01_5a8a36efb05fb25070fa0fb3810290c0e6cd4862b54a8fb975a1ee8dc55a333e"}},
        // The project's own message: its hash is computed the same way, from its .msg.
        {"imu_raw", {"rt/tarn/imu_raw", "tarn_msgs::msg::dds_::ImuRaw_", nullptr}},
    };
    return table;
}

TEST(DdsNaming, TypeHashesAreROS2sForEveryTypeAndItsParts) {
    using tarn::dds::typeHash;
    EXPECT_EQ(typeHash("std_msgs/msg/Header"),
              "RIHS01_f49fb3ae2cf070f793645ff749683ac6b06203e41c891e17701b1cb597ce6a01");
    EXPECT_EQ(typeHash("sensor_msgs/msg/PointField"),
              "RIHS01_5c6a4750728c2bcfbbf7037225b20b02d4429634732146b742dee1726637ef01");
    EXPECT_EQ(typeHash("geometry_msgs/msg/Vector3"),
              "RIHS01_cc12fe83e4c02719f1ce8070bfd14aecd40f75a96696a67a2a1f37f7dbb0765d");
    EXPECT_EQ(tarn::dds::sha256Hex("abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    for (int kind = 0; kind < TARN_MESSAGE_KINDS; ++kind) {
        const std::string h = tarn_dds_type_hash(kind);
        EXPECT_EQ(h.size(), 7u + 64u);
        EXPECT_EQ(h.rfind("RIHS01_", 0), 0u);
    }
}

TEST(DdsNaming, NamespacesFollowROS2sRules) {
    using tarn::dds::validNamespace;
    for (const char* good : {"tarn", "robot/front", "a_1/b2", "_private"}) {
        EXPECT_TRUE(validNamespace(good)) << good;
    }
    for (const char* bad : {"", "/tarn", "tarn/", "a//b", "1st", "a/2b", "with space", "a-b", "é"}) {
        EXPECT_FALSE(validNamespace(bad)) << bad;
    }
    EXPECT_EQ(tarn::dds::domainFromEnvironment(nullptr), 0);
    EXPECT_EQ(tarn::dds::domainFromEnvironment(""), 0);
    EXPECT_EQ(tarn::dds::domainFromEnvironment("42"), 42);
    EXPECT_EQ(tarn::dds::domainFromEnvironment("233"), -1);
    EXPECT_EQ(tarn::dds::domainFromEnvironment("4x"), -1);
}

// What the publisher's endpoints and participant announce, read from the built-in discovery
// topics of a second participant.
TEST(DdsNaming, EndpointsAnnounceROS2TopicTypeNamesAndTypeHashes) {
    constexpr int kDomain = 46;
    setenv("CYCLONEDDS_URI", "file://" TARN_DDS_LOOPBACK_CONFIG, 1);
    tarn_dds_config config;
    tarn_dds_config_init(&config);
    config.domain_id = kDomain;
    tarn_dds* dds = nullptr;
    ASSERT_EQ(tarn_dds_open(&config, &dds), TARN_OK);
    tarn_imu_layout layout{};
    for (int i = 0; i < 3; ++i) {
        layout.angular_velocity[i] = {uint32_t(2 * i), TARN_IMU_INT16, 1.0};
        layout.linear_acceleration[i] = {uint32_t(6 + 2 * i), TARN_IMU_INT16, 1.0};
    }
    tarn_dds_sensor_config sc;
    tarn_dds_sensor_config_init(&sc);
    sc.messages.imu_layout = &layout;
    tarn_dds_sensor* sensor = nullptr;
    ASSERT_EQ(tarn_dds_add_sensor(dds, &sc, &sensor), TARN_OK);

    dds_entity_t observer = dds_create_participant(kDomain, nullptr, nullptr);
    ASSERT_GT(observer, 0);
    dds_entity_t publications = dds_create_reader(observer, DDS_BUILTIN_TOPIC_DCPSPUBLICATION,
                                                  nullptr, nullptr);
    std::map<std::string, std::string> seen;  // topic -> "type userdata"
    for (int i = 0; i < 400 && seen.size() < rosTable().size(); ++i) {
        void* samples[8] = {};
        dds_sample_info_t infos[8];
        int n = dds_take(publications, samples, infos, 8, 8);
        for (int k = 0; k < n; ++k) {
            if (!infos[k].valid_data) {
                continue;
            }
            auto* ep = static_cast<dds_builtintopic_endpoint_t*>(samples[k]);
            void* ud = nullptr;
            size_t size = 0;
            dds_qget_userdata(ep->qos, &ud, &size);
            seen[ep->topic_name] =
                std::string(ep->type_name) + " " + std::string(static_cast<char*>(ud), size);
            dds_free(ud);
        }
        if (n > 0) {
            dds_return_loan(publications, samples, n);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));  // bounded polling
    }
    for (const auto& [topic, e] : rosTable()) {
        ASSERT_EQ(seen.count(e.topic), 1u) << e.topic;
        const std::string hash = e.hash ? e.hash : tarn::dds::typeHash("tarn_msgs/msg/ImuRaw");
        EXPECT_EQ(seen[e.topic], std::string(e.type) + " typehash=" + hash + ";") << topic;
    }
    dds_delete(observer);
    tarn_dds_close(dds);
}

TEST(DdsNaming, PublisherCountsAppendToTheDiagnosticsStatus) {
    tarn_messages* m = nullptr;
    tarn_messages_config mc;
    tarn_messages_config_init(&mc);
    mc.frame_id = "odd";  // a length that leaves the status count unaligned without padding
    ASSERT_EQ(tarn_messages_open(&mc, &m), TARN_OK);
    tarn_stream_stats stats{};
    std::vector<uint8_t> bytes(8192);
    size_t length = 0;
    ASSERT_EQ(tarn_messages_diagnostics(m, &stats, 0, bytes.data(), bytes.size(), &length),
              TARN_OK);
    bytes.resize(length);
    std::vector<uint8_t> before = bytes;
    ASSERT_TRUE(tarn::dds::appendKeyValues(bytes, {{"not_published_points", "3"}}));
    // Only the values count changed (by one) in the bytes before, and the pair follows with
    // CDR's alignment.
    size_t changed = 0;
    for (size_t i = 0; i < before.size(); ++i) {
        changed += bytes[i] != before[i];
    }
    EXPECT_EQ(changed, 1u);
    ASSERT_GE(bytes.size(), before.size() + 34);
    EXPECT_EQ((bytes.size() - 34 - 4) % 4, 0u);
    EXPECT_EQ(std::string(bytes.end() - 34, bytes.end()),
              std::string("\x15\0\0\0not_published_points\0\0\0\0\x02\0\0\0003\0", 34));
    std::vector<uint8_t> notDiagnostics = {0, 1, 0, 0, 1};
    EXPECT_FALSE(tarn::dds::appendKeyValues(notDiagnostics, {}));
    tarn_messages_close(m);
}

}  // namespace
