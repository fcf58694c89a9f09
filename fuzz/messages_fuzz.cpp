// The ROS 2 message writers over frames with any field values and any frame_id: every message
// decodes back to its input, and no write goes past the size the writer asked for. The same text
// as an MCAP topic namespace is refused or makes a file.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tarn/mcap.h"
#include "tarn/messages.h"

namespace {

// Takes bytes from the input, zeros once it is used up.
struct Input {
    const uint8_t* data;
    size_t size;
    template <typename T>
    T take() {
        T value{};
        const size_t n = size < sizeof value ? size : sizeof value;
        std::memcpy(&value, data, n);
        data += n;
        size -= n;
        return value;
    }
};

// Reads back what the writer wrote, with the same alignment rules, and stops the run on a
// mismatch.
struct Reader {
    const std::vector<uint8_t>& bytes;
    size_t at = 4;
    void check(bool ok) {
        if (!ok) {
            std::abort();
        }
    }
    template <typename T>
    T get() {
        at += (sizeof(T) - (at - 4) % sizeof(T)) % sizeof(T);
        check(at + sizeof(T) <= bytes.size());
        T value;
        std::memcpy(&value, bytes.data() + at, sizeof value);
        at += sizeof value;
        return value;
    }
    std::string string() {
        const uint32_t length = get<uint32_t>();
        check(length >= 1 && at + length <= bytes.size() && bytes[at + length - 1] == 0);
        std::string s(reinterpret_cast<const char*>(bytes.data() + at), length - 1);
        at += length;
        return s;
    }
};

template <typename Serialise>
std::vector<uint8_t> serialised(Serialise&& serialise) {
    size_t length = 0;
    if (serialise(nullptr, 0, &length) != TARN_ERR_BUFFER_TOO_SMALL) {
        std::abort();
    }
    std::vector<uint8_t> bytes(length);
    if (serialise(bytes.data(), bytes.size(), &length) != TARN_OK || length != bytes.size()) {
        std::abort();
    }
    return bytes;
}

bool sameFloat(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    const uint8_t idLength = in.take<uint8_t>() % 40;
    std::string frameId;
    for (uint8_t i = 0; i < idLength; ++i) {
        frameId += static_cast<char>(in.take<uint8_t>());
    }
    frameId = frameId.c_str();  // the configuration is a C string
    tarn_messages_config config;
    tarn_messages_config_init(&config);
    config.frame_id = frameId.c_str();
    config.stamp_source = in.take<uint8_t>() & 1;
    config.sensor_tick_ns = in.take<uint16_t>();
    tarn_messages* m = nullptr;
    if (tarn_messages_open(&config, &m) != TARN_OK) {
        std::abort();
    }

    tarn_frame_info info{};
    info.cells_written = in.take<uint32_t>() % (TARN_CELLS + 2);
    info.first_timestamp = in.take<uint8_t>();
    info.last_timestamp = in.take<uint8_t>();
    info.receive_realtime_ns = in.take<int64_t>();
    // The rest of the input, over and over, as the cells' values.
    std::vector<tarn_point> grid(TARN_CELLS);
    const Input cells = in;
    for (size_t i = 0; i < grid.size() && cells.size > 0; ++i) {
        Input cell{cells.data + (i * 7) % cells.size, cells.size - (i * 7) % cells.size};
        grid[i].x = cell.take<float>();
        grid[i].y = cell.take<float>();
        grid[i].z = cell.take<float>();
        grid[i].distance = cell.take<float>();
        grid[i].intensity = cell.take<uint32_t>();
        grid[i].timestamp = cell.take<uint8_t>();
    }

    const std::vector<uint8_t> cloud = serialised([&](uint8_t* b, size_t c, size_t* l) {
        return tarn_messages_point_cloud(m, grid.data(), &info, b, c, l);
    });
    Reader r{cloud};
    r.get<int32_t>();
    r.get<uint32_t>();
    r.check(r.string() == (frameId.empty() ? "tarn" : frameId));
    r.check(r.get<uint32_t>() == TARN_ROWS && r.get<uint32_t>() == TARN_COLUMNS);
    const uint32_t fields = r.get<uint32_t>();
    for (uint32_t i = 0; i < fields; ++i) {
        r.string();
        r.get<uint32_t>();
        r.get<uint8_t>();
        r.get<uint32_t>();
    }
    r.get<uint8_t>();
    r.check(r.get<uint32_t>() == TARN_POINT_STEP);
    r.get<uint32_t>();
    r.check(r.get<uint32_t>() == TARN_CELLS * TARN_POINT_STEP);
    const uint8_t* points = cloud.data() + r.at;
    r.check(r.at + TARN_CELLS * TARN_POINT_STEP + 1 == cloud.size());
    const uint64_t low =
        info.first_timestamp < info.last_timestamp ? info.first_timestamp : info.last_timestamp;
    const uint64_t high = info.first_timestamp ^ info.last_timestamp ^ low;
    for (size_t i = 0; i < TARN_CELLS; ++i) {
        const tarn_point& cell = grid[i];
        const bool written =
            info.cells_written >= TARN_CELLS ||
            (info.cells_written > 0 && cell.timestamp >= low && cell.timestamp <= high);
        float v[5];
        uint16_t place[2];
        std::memcpy(v, points + i * TARN_POINT_STEP, sizeof v);
        std::memcpy(place, points + i * TARN_POINT_STEP + 20, sizeof place);
        r.check(place[0] == i / TARN_COLUMNS && place[1] == i % TARN_COLUMNS);
        if (written) {
            r.check(sameFloat(v[0], cell.x) && sameFloat(v[1], cell.y) && sameFloat(v[2], cell.z) &&
                    sameFloat(v[3], static_cast<float>(cell.intensity)) &&
                    sameFloat(v[4], cell.distance));
        } else {
            r.check(std::isnan(v[0]) && std::isnan(v[1]) && std::isnan(v[2]) && v[3] == 0.0f);
        }
    }

    // The images and the other messages only need to measure and write consistently.
    serialised([&](uint8_t* b, size_t c, size_t* l) {
        return tarn_messages_depth_image(m, grid.data(), &info, b, c, l);
    });
    serialised([&](uint8_t* b, size_t c, size_t* l) {
        return tarn_messages_intensity_image(m, grid.data(), &info, b, c, l);
    });
    tarn_stream_stats stats{};
    stats.frames_lost_last = info.first_timestamp;
    stats.frames_decoded = static_cast<uint64_t>(info.receive_realtime_ns);
    serialised([&](uint8_t* b, size_t c, size_t* l) {
        return tarn_messages_diagnostics(m, &stats, info.receive_realtime_ns, b, c, l);
    });
    tarn_messages_close(m);

    tarn_mcap_config mcap;
    tarn_mcap_config_init(&mcap);
    mcap.topic_namespace = frameId.c_str();
    tarn_mcap_writer* writer = nullptr;
    const int opened = tarn_mcap_open("/dev/null", &mcap, &writer);
    if (opened == TARN_OK) {
        if (tarn_mcap_close(writer) != TARN_OK) {
            std::abort();
        }
    } else if (opened != TARN_ERR_MCAP_NAMESPACE || writer != nullptr) {
        std::abort();
    }
    return 0;
}
