// Writes the golden messages' CDR bytes and the definitions into a folder, for tests/js/golden.mjs
// to check against an independent serialiser: golden_dump OUT_DIR
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "golden_frame.h"

namespace golden = tarn::messages::golden;

namespace {

template <typename Serialise>
bool dump(const std::string& path, Serialise&& serialise) {
    size_t length = 0;
    if (serialise(nullptr, 0, &length) != TARN_ERR_BUFFER_TOO_SMALL) {
        return false;
    }
    std::vector<uint8_t> bytes(length);
    if (serialise(bytes.data(), bytes.size(), &length) != TARN_OK || length != bytes.size()) {
        return false;
    }
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(length));
    return out.good();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: golden_dump OUT_DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    tarn_imu_layout layout = golden::imuLayout();
    tarn_messages_config config;
    tarn_messages_config_init(&config);
    config.frame_id = golden::kFrameId;
    config.imu_layout = &layout;
    config.hardware_id = golden::kHardwareId;
    tarn_messages* m = nullptr;
    if (tarn_messages_open(&config, &m) != TARN_OK) {
        return 1;
    }
    tarn_frame_info info;
    const std::vector<tarn_point> grid = golden::frameGrid(info);
    const tarn_imu_sample sample = golden::imuSample();
    const int64_t imuNs = info.receive_realtime_ns + 500;
    const tarn_stream_stats earlier = golden::stats(false);
    const tarn_stream_stats later = golden::stats(true);

    bool ok = true;
    using Fn = int (*)(const tarn_messages*, const tarn_point*, const tarn_frame_info*, uint8_t*,
                       size_t, size_t*);
    const std::pair<const char*, Fn> frames[] = {
        {"point_cloud", tarn_messages_point_cloud},
        {"depth_image", tarn_messages_depth_image},
        {"intensity_image", tarn_messages_intensity_image}};
    for (const auto& frame : frames) {
        const Fn fn = frame.second;
        ok = ok && dump(dir + "/" + frame.first + ".cdr", [&](uint8_t* b, size_t c, size_t* l) {
                 return fn(m, grid.data(), &info, b, c, l);
             });
    }
    ok = ok && dump(dir + "/imu_raw.cdr", [&](uint8_t* b, size_t c, size_t* l) {
             return tarn_messages_imu_raw(m, &sample, imuNs, b, c, l);
         });
    ok = ok && dump(dir + "/imu.cdr", [&](uint8_t* b, size_t c, size_t* l) {
             return tarn_messages_imu(m, &sample, imuNs, b, c, l);
         });
    ok = ok && dump(dir + "/diagnostics_first.cdr", [&](uint8_t* b, size_t c, size_t* l) {
             return tarn_messages_diagnostics(m, &earlier, golden::kDiagnosticsNs, b, c, l);
         });
    ok = ok && dump(dir + "/diagnostics.cdr", [&](uint8_t* b, size_t c, size_t* l) {
             return tarn_messages_diagnostics(m, &later, golden::kDiagnosticsNs + 1000000000, b, c,
                                              l);
         });
    for (int kind = 0; kind < TARN_MESSAGE_KINDS; ++kind) {
        std::ofstream out(dir + "/definition_" + std::to_string(kind) + ".txt", std::ios::binary);
        out << tarn_message_type_name(kind) << '\n' << tarn_message_definition(kind);
        ok = ok && out.good();
    }
    tarn_messages_close(m);
    if (!ok) {
        std::fprintf(stderr, "golden_dump: could not serialise or write into %s\n", dir.c_str());
    }
    return ok ? 0 : 1;
}
