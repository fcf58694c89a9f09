// The MCAP writer's refusals and its end on a full disk, and its files played back as frames;
// tests/js/mcap_check.mjs reads its files with Foxglove's readers.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
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

// Two frames (one partial, one whole) and an IMU sample between them, in the namespace "front".
std::string recordTwoFrames(const std::string& name, int compression, uint64_t chunkBytes) {
    const std::string path = ::testing::TempDir() + name;
    tarn_mcap_config config;
    tarn_mcap_config_init(&config);
    config.compression = compression;
    config.topic_namespace = "front";
    config.chunk_bytes = chunkBytes;
    tarn_mcap_writer* writer = nullptr;
    EXPECT_EQ(tarn_mcap_open(path.c_str(), &config, &writer), TARN_OK);
    tarn_frame_info info;
    std::vector<tarn_point> grid = golden::frameGrid(info);
    EXPECT_EQ(tarn_mcap_write_frame(writer, grid.data(), &info), TARN_OK);
    const tarn_imu_sample sample = golden::imuSample();
    EXPECT_EQ(tarn_mcap_write_imu(writer, &sample, 7), TARN_OK);
    info.cells_written = TARN_CELLS;
    info.receive_realtime_ns += 50000000;
    EXPECT_EQ(tarn_mcap_write_frame(writer, grid.data(), &info), TARN_OK);
    EXPECT_EQ(tarn_mcap_close(writer), TARN_OK);
    return path;
}

void expectCellsOf(const std::vector<tarn_point>& read, uint32_t rowsWritten) {
    tarn_frame_info info;
    const std::vector<tarn_point> written = golden::frameGrid(info);
    for (std::size_t i = 0; i < TARN_CELLS; ++i) {
        const tarn_point& a = read[i];
        const tarn_point& b = written[i];
        ASSERT_EQ(a.row, b.row);
        ASSERT_EQ(a.column, b.column);
        if (b.row < rowsWritten) {
            ASSERT_EQ(std::memcmp(&a.x, &b.x, 3 * sizeof(float)), 0) << i;
            ASSERT_EQ(a.distance, b.distance) << i;
            ASSERT_EQ(a.intensity, b.intensity) << i;
        } else {
            ASSERT_TRUE(std::isnan(a.x) && std::isnan(a.y) && std::isnan(a.z) &&
                        std::isnan(a.distance) && a.intensity == 0)
                << i;
        }
    }
}

TEST(McapReader, FramesReadBackEqualTheFramesWrittenCellForCell) {
    for (const int compression : {TARN_MCAP_ZSTD, TARN_MCAP_LZ4, TARN_MCAP_NONE}) {
        SCOPED_TRACE(compression);
        const std::string path = recordTwoFrames("tarn_read_back.mcap", compression, 0);
        tarn_mcap_reader* reader = nullptr;
        char error[256];
        ASSERT_EQ(tarn_mcap_reader_open(path.c_str(), "front", &reader, error, sizeof error),
                  TARN_OK);
        std::vector<tarn_point> grid(TARN_CELLS);
        tarn_frame_info info;
        ASSERT_EQ(tarn_mcap_reader_next_frame(reader, grid.data(), &info), TARN_OK);
        EXPECT_EQ(info.sequence, 1u);
        EXPECT_EQ(info.cells_written, 100u * TARN_COLUMNS);
        EXPECT_EQ(info.complete, 0);
        EXPECT_EQ(info.receive_realtime_ns, 1765000000123456789);
        expectCellsOf(grid, 100);
        tarn_imu_sample samples[4];
        size_t count = 9;
        EXPECT_EQ(tarn_mcap_reader_imu(reader, samples, 4, &count, nullptr), TARN_OK);
        EXPECT_EQ(count, 0u);  // recorded after the first frame

        ASSERT_EQ(tarn_mcap_reader_next_frame(reader, grid.data(), &info), TARN_OK);
        EXPECT_EQ(info.sequence, 2u);
        EXPECT_EQ(info.cells_written, static_cast<uint32_t>(TARN_CELLS));
        EXPECT_EQ(info.complete, 1);
        expectCellsOf(grid, TARN_ROWS);
        EXPECT_EQ(tarn_mcap_reader_imu(reader, samples, 4, &count, nullptr), TARN_OK);
        ASSERT_EQ(count, 1u);
        const tarn_imu_sample sample = golden::imuSample();
        EXPECT_EQ(samples[0].sample_flag, 1);
        const uint64_t readStamp = samples[0].timestamp;  // by value: the member is unaligned
        const uint64_t writtenStamp = sample.timestamp;
        EXPECT_EQ(readStamp, writtenStamp);
        EXPECT_EQ(std::memcmp(samples[0].sample, sample.sample, sizeof sample.sample), 0);

        EXPECT_EQ(tarn_mcap_reader_next_frame(reader, grid.data(), &info), TARN_MCAP_END);
        EXPECT_STREQ(tarn_mcap_reader_error(reader), "");
        tarn_mcap_reader_close(reader);
        std::remove(path.c_str());
    }
}

TEST(McapReader, ACutFileKeepsItsWholeChunksAndOtherFilesAreRefusedClearly) {
    // One message per chunk, uncompressed: the file ends with the second frame's cloud (1.3 MB),
    // depth (216 kB) and intensity (108 kB) chunks and the summary.
    const std::string path = recordTwoFrames("tarn_cut.mcap", TARN_MCAP_NONE, 1);
    tarn_mcap_reader* reader = nullptr;
    char error[256] = {};
    // Another namespace has no points; a file that is not MCAP is refused at once.
    ASSERT_EQ(tarn_mcap_reader_open(path.c_str(), "rear", &reader, error, sizeof error), TARN_OK);
    std::vector<tarn_point> grid(TARN_CELLS);
    tarn_frame_info info;
    EXPECT_EQ(tarn_mcap_reader_next_frame(reader, grid.data(), &info), TARN_ERR_MCAP_NO_POINTS);
    EXPECT_STREQ(tarn_mcap_reader_error(reader),
                 "the file has no topic /rear/tarn/points of sensor_msgs/msg/PointCloud2 in CDR");
    tarn_mcap_reader_close(reader);
    EXPECT_EQ(tarn_mcap_reader_open("/etc/hostname", nullptr, &reader, error, sizeof error),
              TARN_ERR_MCAP_READ);
    EXPECT_STREQ(error, "not an MCAP file (no MCAP magic)");

    std::FILE* file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    std::fseek(file, 0, SEEK_END);
    const long size = std::ftell(file);
    std::fclose(file);
    ASSERT_EQ(truncate(path.c_str(), size - 1000000), 0);  // inside the second cloud
    ASSERT_EQ(tarn_mcap_reader_open(path.c_str(), "", &reader, error, sizeof error), TARN_OK);
    EXPECT_EQ(tarn_mcap_reader_next_frame(reader, grid.data(), &info), TARN_OK);
    expectCellsOf(grid, 100);
    EXPECT_EQ(tarn_mcap_reader_next_frame(reader, grid.data(), &info), TARN_MCAP_END);
    EXPECT_NE(std::strstr(tarn_mcap_reader_error(reader), "cut short"), nullptr)
        << tarn_mcap_reader_error(reader);
    tarn_mcap_reader_close(reader);
    std::remove(path.c_str());
}

}  // namespace
