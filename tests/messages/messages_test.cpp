// The messages library beyond the golden bytes (tests/js): which cells a decoded frame shows, the
// buffer protocol, stamps, IMU layouts and the diagnostics' levels.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "golden_frame.h"
#include "sim/frame_encoder.h"
#include "sim/scene.h"
#include "tarn/messages.h"

namespace {

namespace golden = tarn::messages::golden;
namespace sim = tarn::sim;

constexpr size_t kCloudData = TARN_CELLS * TARN_POINT_STEP;

struct Messages {
    explicit Messages(tarn_messages_config config = defaults()) {
        EXPECT_EQ(tarn_messages_open(&config, &m), TARN_OK);
    }
    ~Messages() { tarn_messages_close(m); }
    static tarn_messages_config defaults() {
        tarn_messages_config config;
        tarn_messages_config_init(&config);
        return config;
    }
    tarn_messages* m = nullptr;
};

template <typename Serialise>
std::vector<uint8_t> serialised(Serialise&& serialise) {
    size_t length = 0;
    EXPECT_EQ(serialise(nullptr, 0, &length), TARN_ERR_BUFFER_TOO_SMALL);
    std::vector<uint8_t> bytes(length);
    EXPECT_EQ(serialise(bytes.data(), bytes.size(), &length), TARN_OK);
    return bytes;
}

std::vector<uint8_t> cloud(const Messages& m, const tarn_point* grid, const tarn_frame_info& info) {
    return serialised([&](uint8_t* b, size_t c, size_t* l) {
        return tarn_messages_point_cloud(m.m, grid, &info, b, c, l);
    });
}

// The cloud's point data: the bytes before the closing is_dense.
const uint8_t* cloudData(const std::vector<uint8_t>& bytes) {
    return bytes.data() + bytes.size() - 1 - kCloudData;
}

float cloudX(const std::vector<uint8_t>& bytes, size_t cell) {
    float x;
    std::memcpy(&x, cloudData(bytes) + cell * TARN_POINT_STEP, sizeof x);
    return x;
}

// The stamp and frame_id right after the encapsulation header.
struct Head {
    int32_t sec;
    uint32_t nanosec;
    std::string frameId;
};

Head head(const std::vector<uint8_t>& bytes) {
    Head h;
    uint32_t length;
    std::memcpy(&h.sec, bytes.data() + 4, 4);
    std::memcpy(&h.nanosec, bytes.data() + 8, 4);
    std::memcpy(&length, bytes.data() + 12, 4);
    h.frameId.assign(reinterpret_cast<const char*>(bytes.data() + 16), length - 1);
    return h;
}

TEST(PointCloud, ShowsExactlyTheCellsTheDecoderWroteForTheFrame) {
    // Frame 2 loses a datagram: its cells keep frame 1's values in the grid, and the cloud
    // shows them as NaN; every other cell carries the frame's own coordinates.
    const sim::Scene scene({});
    tarn_decoder* decoder = nullptr;
    ASSERT_EQ(tarn_decoder_open(&decoder), TARN_OK);
    std::vector<tarn_point> grid(TARN_CELLS);
    tarn_frame_info info{};
    constexpr int kLost = 5;
    for (uint64_t frame = 1; frame <= 2; ++frame) {
        std::vector<sim::Datagram> datagrams =
            sim::encodeFrame(scene, frame, {sim::kPixelType10Bytes, 0, frame});
        if (frame == 2) {
            datagrams.erase(datagrams.begin() + kLost);
        }
        for (const sim::Datagram& d : datagrams) {
            tarn_decoder_push(decoder, d.data(), d.size(), 0, 0);
        }
    }
    ASSERT_EQ(tarn_decoder_frame(decoder, grid.data(), &info), TARN_OK);
    ASSERT_LT(info.cells_written, uint32_t{TARN_CELLS});
    // The simulated sensor cuts strips four columns wide from row 0 down, rowsPerDatagram rows
    // at a time: the lost datagram's cells, from that layout alone.
    const int rows = sim::rowsPerDatagram(sim::kPixelType10Bytes);
    const int perStrip = (TARN_ROWS + rows - 1) / rows;
    const int firstRow = (kLost % perStrip) * rows;
    const int firstColumn = (kLost / perStrip) * sim::kStripColumns;
    auto wasLost = [&](size_t cell) {
        const int r = static_cast<int>(cell) / TARN_COLUMNS;
        const int c = static_cast<int>(cell) % TARN_COLUMNS;
        return r >= firstRow && r < firstRow + rows && c >= firstColumn &&
               c < firstColumn + sim::kStripColumns;
    };

    Messages m;
    const std::vector<uint8_t> bytes = cloud(m, grid.data(), info);
    uint32_t shown = 0;
    for (size_t cell = 0; cell < TARN_CELLS; ++cell) {
        const float x = cloudX(bytes, cell);
        ASSERT_EQ(std::isnan(x), wasLost(cell)) << "cell " << cell;
        if (!wasLost(cell)) {
            ASSERT_EQ(x, grid[cell].x) << "cell " << cell;
            ++shown;
        }
    }
    EXPECT_EQ(shown, info.cells_written);
    tarn_decoder_close(decoder);
}

TEST(PointCloud, CompleteFrameShowsEveryCellEmptyFrameNoneAndIntensitiesStayUnsigned) {
    tarn_frame_info info;
    std::vector<tarn_point> grid = golden::frameGrid(info);
    Messages m;
    info.cells_written = TARN_CELLS;  // stale timestamps do not matter then
    grid[TARN_CELLS - 1].row = grid[TARN_CELLS - 1].column = 0;  // an application's own grid
    const std::vector<uint8_t> complete = cloud(m, grid.data(), info);
    EXPECT_EQ(cloudX(complete, TARN_CELLS - 1), 149.5f);
    uint16_t place[2];
    std::memcpy(place, cloudData(complete) + (TARN_CELLS - 1) * TARN_POINT_STEP + 20, 4);
    EXPECT_EQ(place[0], 149);
    EXPECT_EQ(place[1], 359);
    info.cells_written = 0;
    EXPECT_TRUE(std::isnan(cloudX(cloud(m, grid.data(), info), 0)));

    info.cells_written = TARN_CELLS - 1;
    grid[7].intensity = 0x80000001u;
    const std::vector<uint8_t> bytes = cloud(m, grid.data(), info);
    float intensity;
    std::memcpy(&intensity, cloudData(bytes) + 7 * TARN_POINT_STEP + 12, 4);
    EXPECT_EQ(intensity, 2147483648.0f);
    EXPECT_EQ(cloudX(bytes, 8), 0.5f);
    EXPECT_TRUE(std::isnan(cloudX(bytes, TARN_CELLS - 1)));  // a stale row
}

TEST(Buffers, TooSmallWritesNothingAndTellsTheSize) {
    tarn_frame_info info;
    std::vector<tarn_point> grid = golden::frameGrid(info);
    Messages m;
    const std::vector<uint8_t> whole = cloud(m, grid.data(), info);
    // Encapsulation, header ("tarn", padded), height, width and field count, the seven fields
    // (each name padded to 4, offset, datatype padded to 4, count), is_bigendian padded, steps
    // and data length, data, is_dense.
    EXPECT_EQ(whole.size(), 4u + 20 + 12 + 160 + 4 + 12 + kCloudData + 1);
    std::vector<uint8_t> small(whole.size() - 1, 0xEE);
    size_t length = 0;
    EXPECT_EQ(
        tarn_messages_point_cloud(m.m, grid.data(), &info, small.data(), small.size(), &length),
        TARN_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, whole.size());
    EXPECT_EQ(small, std::vector<uint8_t>(whole.size() - 1, 0xEE));
    EXPECT_EQ(tarn_messages_point_cloud(m.m, nullptr, &info, small.data(), small.size(), &length),
              TARN_ERR_NULL_ARGUMENT);
}

TEST(Headers, FrameIdAndStampFollowTheConfiguration) {
    tarn_frame_info info;
    std::vector<tarn_point> grid = golden::frameGrid(info);
    info.receive_realtime_ns = -1;  // just before the epoch
    Head h = head(cloud(Messages(), grid.data(), info));
    EXPECT_EQ(h.frameId, "tarn");
    EXPECT_EQ(h.sec, -1);
    EXPECT_EQ(h.nanosec, 999999999u);

    tarn_messages_config config = Messages::defaults();
    config.frame_id = "front";
    config.stamp_source = TARN_STAMP_SENSOR_TIME;
    config.sensor_tick_ns = 1000;  // a microsecond clock
    info.last_timestamp = 3000002500;
    h = head(cloud(Messages(config), grid.data(), info));
    EXPECT_EQ(h.frameId, "front");
    EXPECT_EQ(h.sec, 3000);
    EXPECT_EQ(h.nanosec, 2500000u);

    config.stamp_source = 7;
    tarn_messages* m = nullptr;
    EXPECT_EQ(tarn_messages_open(&config, &m), TARN_ERR_STAMP_SOURCE);
    EXPECT_EQ(m, nullptr);
}

TEST(Imu, LayoutsAreCheckedAndReadInTheirByteOrder) {
    tarn_imu_sample sample = golden::imuSample();
    const float rate = -1.5f;
    uint32_t bits;
    std::memcpy(&bits, &rate, 4);
    for (int i = 0; i < 4; ++i) {
        sample.sample[12 + i] = static_cast<uint8_t>(bits >> (24 - 8 * i));  // big-endian
    }
    const uint8_t acceleration[4] = {0xFF, 0xFF, 0xFF, 0xFE};  // 4294967294 as uint32
    std::memcpy(sample.sample + 16, acceleration, 4);

    tarn_imu_layout layout{};
    for (int i = 0; i < 3; ++i) {
        layout.angular_velocity[i] = {12, TARN_IMU_FLOAT32, 2.0};
        layout.linear_acceleration[i] = {16, TARN_IMU_UINT32, 0.5};
    }
    layout.big_endian = 1;
    tarn_messages_config config = Messages::defaults();
    config.imu_layout = &layout;
    const std::vector<uint8_t> bytes = serialised([&](uint8_t* b, size_t c, size_t* l) {
        return tarn_messages_imu(Messages(config).m, &sample, 0, b, c, l);
    });
    // After the header ("tarn", 20 bytes from 4) and padding to 8: orientation, its covariance.
    double values[6];
    std::memcpy(values, bytes.data() + 4 + 24 + 32 + 72, 24);
    std::memcpy(values + 3, bytes.data() + 4 + 24 + 32 + 72 + 24 + 72, 24);
    EXPECT_EQ(values[0], -3.0);
    EXPECT_EQ(values[5], 2147483647.0);

    layout.linear_acceleration[2] = {24, TARN_IMU_INT32, 1.0};  // past the 26 bytes
    tarn_messages* m = nullptr;
    EXPECT_EQ(tarn_messages_open(&config, &m), TARN_ERR_IMU_LAYOUT);
    layout.linear_acceleration[2] = {0, TARN_IMU_INT16, 0.0};
    EXPECT_EQ(tarn_messages_open(&config, &m), TARN_ERR_IMU_LAYOUT);
    size_t length = 0;
    EXPECT_EQ(tarn_messages_imu(Messages().m, &sample, 0, nullptr, 0, &length),
              TARN_ERR_IMU_LAYOUT);
}

TEST(Diagnostics, WarnOnlyWhileFramesAreBeingLostAndSizeQueriesDoNotCount) {
    Messages m;
    auto level = [&](const tarn_stream_stats& stats, int64_t ns) {
        const std::vector<uint8_t> bytes = serialised([&](uint8_t* b, size_t c, size_t* l) {
            return tarn_messages_diagnostics(m.m, &stats, ns, b, c, l);
        });
        // After the header ("tarn", 20 bytes from 4) and the status count.
        return bytes.at(4 + 20 + 4);
    };
    tarn_stream_stats stats{};
    EXPECT_EQ(level(stats, 1), 0);
    stats.frames_queue_full = 1;
    EXPECT_EQ(level(stats, 2), 1);
    EXPECT_EQ(level(stats, 3), 0);  // no new loss since
    stats.frames_too_long = 1;
    size_t length = 0;
    EXPECT_EQ(tarn_messages_diagnostics(m.m, &stats, 4, nullptr, 0, &length),
              TARN_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(level(stats, 4), 1);
}

TEST(Definitions, NameEachKindAndRefuseOthers) {
    EXPECT_STREQ(tarn_message_type_name(TARN_MESSAGE_INTENSITY_IMAGE), "sensor_msgs/msg/Image");
    EXPECT_EQ(tarn_message_definition(TARN_MESSAGE_KINDS), nullptr);
    EXPECT_EQ(tarn_message_type_name(-1), nullptr);
    EXPECT_STREQ(tarn_messages_strerror(TARN_ERR_BUFFER_TOO_SMALL),
                 "the buffer is smaller than the message");
}

}  // namespace
