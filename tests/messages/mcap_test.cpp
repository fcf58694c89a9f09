// The MCAP writer's refusals and its end on a full disk; tests/js/mcap_check.mjs reads its files.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "golden_frame.h"
#include "tarn/mcap.h"

namespace {

namespace golden = tarn::messages::golden;

TEST(Mcap, AFullDiskEndsTheRecordingWithAnErrorThatStays) {
    tarn_mcap_config config;
    tarn_mcap_config_init(&config);
    tarn_mcap_writer* writer = nullptr;
    EXPECT_EQ(tarn_mcap_open("/dev/full", &config, &writer), TARN_ERR_MCAP_WRITE);
    EXPECT_EQ(writer, nullptr);

    // A file size limit stands in for a disk that fills up during the recording.
    const std::string path = ::testing::TempDir() + "tarn_full_disk.mcap";
    config.chunk_bytes = 1;  // every message is its own chunk, written at once
    ASSERT_EQ(tarn_mcap_open(path.c_str(), &config, &writer), TARN_OK);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit limit = old;
    limit.rlim_cur = 400000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    tarn_frame_info info;
    const std::vector<tarn_point> grid = golden::frameGrid(info);
    int result = TARN_OK;
    for (int frame = 0; frame < 10 && result == TARN_OK; ++frame) {
        result = tarn_mcap_write_frame(writer, grid.data(), &info);
    }
    EXPECT_EQ(result, TARN_ERR_MCAP_WRITE);
    const tarn_imu_sample sample = golden::imuSample();
    EXPECT_EQ(tarn_mcap_write_imu(writer, &sample, 0), TARN_ERR_MCAP_WRITE);
    EXPECT_EQ(tarn_mcap_close(writer), TARN_ERR_MCAP_WRITE);
    setrlimit(RLIMIT_FSIZE, &old);
    std::remove(path.c_str());
}

TEST(Mcap, NamespacesAreRos2NamesAndSettingsAreChecked) {
    tarn_mcap_config config;
    tarn_mcap_config_init(&config);
    tarn_mcap_writer* writer = nullptr;
    for (const char* bad : {"1front", "front//left", "front-left"}) {
        config.topic_namespace = bad;
        EXPECT_EQ(tarn_mcap_open("/dev/null", &config, &writer), TARN_ERR_MCAP_NAMESPACE) << bad;
    }
    config.topic_namespace = "/robot_1/front/";
    config.compression = 3;
    EXPECT_EQ(tarn_mcap_open("/dev/null", &config, &writer), TARN_ERR_MCAP_COMPRESSION);
    config.compression = TARN_MCAP_LZ4;
    EXPECT_EQ(tarn_mcap_open("/nonexistent/dir/file.mcap", &config, &writer), TARN_ERR_MCAP_OPEN);
    EXPECT_EQ(writer, nullptr);
    ASSERT_EQ(tarn_mcap_open("/dev/null", &config, &writer), TARN_OK);
    EXPECT_EQ(tarn_mcap_close(writer), TARN_OK);
}

TEST(Mcap, AFullQueueDropsWholeFramesAndCountsThem) {
    tarn_mcap_config config;
    tarn_mcap_config_init(&config);
    config.queue_messages = 2;  // never room for a frame's three messages
    tarn_mcap_writer* writer = nullptr;
    ASSERT_EQ(tarn_mcap_open("/dev/null", &config, &writer), TARN_OK);
    tarn_frame_info info;
    const std::vector<tarn_point> grid = golden::frameGrid(info);
    EXPECT_EQ(tarn_mcap_write_frame(writer, grid.data(), &info), TARN_OK);
    const tarn_imu_sample sample = golden::imuSample();
    EXPECT_EQ(tarn_mcap_write_imu(writer, &sample, 0), TARN_OK);
    EXPECT_EQ(tarn_mcap_messages(writer), 1u);
    EXPECT_EQ(tarn_mcap_dropped(writer), 3u);
    EXPECT_EQ(tarn_mcap_close(writer), TARN_OK);
}

}  // namespace
