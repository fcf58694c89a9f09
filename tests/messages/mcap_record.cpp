// Records a simulated stream into MCAP files for tests/js/mcap_check.mjs: frames from the simulated
// sensor through the socket-less decoder, with a datagram lost in one frame and a last datagram
// lost in another, IMU samples between frames and diagnostics after each frame. For every file it
// writes NAME.mcap and NAME.json (what was recorded: frame infos, counts, topics), and for every
// recorded frame frame-N.f32 (the grid's x, y, z per cell). The lz4 file is written by the
// writer thread.
//   mcap_record OUT_DIR
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "sim/datagram.h"
#include "sim/frame_encoder.h"
#include "sim/scene.h"
#include "tarn/mcap.h"

namespace sim = tarn::sim;

namespace {

constexpr int kFrames = 6;
constexpr int64_t kStartNs = 1765000000000000000;
constexpr int64_t kFrameNs = 50000000;  // 20 frames a second

struct Recorded {
    std::vector<tarn_frame_info> frames;
    int imu = 0;
    int diagnostics = 0;
};

bool record(const std::string& dir, const std::string& name, int compression,
            const char* topicNamespace, bool dumpGrids, uint32_t queue = 0) {
    tarn_mcap_config config;
    tarn_mcap_config_init(&config);
    config.queue_messages = queue;  // room for every message: none is dropped
    config.compression = compression;
    config.topic_namespace = topicNamespace;
    config.chunk_bytes = 1u << 20;  // several chunks per file
    tarn_mcap_writer* writer = nullptr;
    if (tarn_mcap_open((dir + "/" + name + ".mcap").c_str(), &config, &writer) != TARN_OK) {
        return false;
    }
    tarn_decoder* decoder = nullptr;
    tarn_decoder_open(&decoder);
    const sim::Scene scene({});
    std::vector<tarn_point> grid(TARN_CELLS);
    Recorded recorded;
    bool ok = true;
    for (uint64_t frame = 1; frame <= kFrames; ++frame) {
        std::vector<sim::Datagram> datagrams =
            sim::encodeFrame(scene, frame, {sim::kPixelType10Bytes, 0, frame * 1000});
        if (frame == 3) {
            datagrams.erase(datagrams.begin() + 7);  // a lost middle datagram
        }
        if (frame == 4) {
            datagrams.pop_back();  // a lost last datagram: frame 4 joins frame 5
        }
        const int64_t ns = kStartNs + static_cast<int64_t>(frame) * kFrameNs;
        for (const sim::Datagram& d : datagrams) {
            if (tarn_decoder_push(decoder, d.data(), d.size(), ns, ns) == TARN_FRAME_READY) {
                tarn_frame_info info;
                tarn_decoder_frame(decoder, grid.data(), &info);
                ok = ok && tarn_mcap_write_frame(writer, grid.data(), &info) == TARN_OK;
                recorded.frames.push_back(info);
                if (dumpGrids) {
                    std::vector<float> xyz;
                    for (const tarn_point& p : grid) {
                        xyz.insert(xyz.end(), {p.x, p.y, p.z});
                    }
                    std::ofstream(dir + "/frame-" + std::to_string(info.sequence) + ".f32",
                                  std::ios::binary)
                        .write(reinterpret_cast<const char*>(xyz.data()),
                               static_cast<std::streamsize>(xyz.size() * sizeof(float)));
                }
                tarn_stream_stats stats;
                tarn_decoder_get_stats(decoder, &stats);
                ok = ok && tarn_mcap_write_diagnostics(writer, &stats, ns) == TARN_OK;
                ++recorded.diagnostics;
            }
        }
        sim::ImuFields fields;
        fields.timestamp = static_cast<uint64_t>(ns);
        fields.sampleFlag = 1;
        const sim::Datagram imu = sim::encodeImuDatagram(fields);
        if (tarn_decoder_push(decoder, imu.data(), imu.size(), ns, ns) == TARN_IMU_READY) {
            tarn_imu_sample sample;
            tarn_decoder_imu(decoder, &sample);
            ok = ok && tarn_mcap_write_imu(writer, &sample, ns + 1) == TARN_OK;
            ++recorded.imu;
        }
    }
    tarn_decoder_close(decoder);
    ok = tarn_mcap_close(writer) == TARN_OK && ok;

    std::ofstream json(dir + "/" + name + ".json");
    json << "{\"prefix\": \"" << (topicNamespace ? std::string("/") + topicNamespace : "")
         << "/tarn/\", \"imu\": " << recorded.imu << ", \"diagnostics\": " << recorded.diagnostics
         << ", \"frames\": [";
    for (std::size_t i = 0; i < recorded.frames.size(); ++i) {
        const tarn_frame_info& info = recorded.frames[i];
        json << (i ? ", " : "") << "{\"sequence\": " << info.sequence
             << ", \"cells_written\": " << info.cells_written << ", \"stamp\": \""
             << info.receive_realtime_ns << "\"}";
    }
    json << "]}\n";
    return ok && json.good();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: mcap_record OUT_DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    const bool ok = record(dir, "zstd", TARN_MCAP_ZSTD, nullptr, true) &&
                    record(dir, "lz4", TARN_MCAP_LZ4, "front", false, 64) &&
                    record(dir, "none", TARN_MCAP_NONE, "robot_1/left", false);
    if (!ok) {
        std::fprintf(stderr, "mcap_record: recording into %s failed\n", dir.c_str());
    }
    return ok ? 0 : 1;
}
