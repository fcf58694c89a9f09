#include "tools/tarn/view_source.h"

#include <time.h>

#include <cstdio>

#include "KESOApi.h"
#include "tools/tarn/exit_status.h"

namespace tarn::cli {
namespace {

constexpr int kDefaultLocalPort = 7001;
constexpr const char* kLoopback = "127.0.0.1";

int64_t realtimeNs() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

}  // namespace

ViewFeed::ViewFeed(const SourceOptions& options, tarn_view* view, int sensor, bool angle)
    : options_(options), view_(view), sensor_(sensor), angle_(angle) {
    int result = TARN_OK;
    if (options_.device.empty()) {
        // The simulated sensor sends to a port the stream picked: bind first, then aim it there.
        result = open(kLoopback, TARN_DEFAULT_ALTERNATE_PORT, options_.localPort);
        if (result == TARN_OK) {
            options_.sim.set("from", std::string(kLoopback) + ":0");
            options_.sim.set("to", std::string(kLoopback) + ":" + std::to_string(localPort_));
            try {
                sim_ = std::make_unique<SimSensor>(options_.sim);
            } catch (const Failure& e) {
                tarn_stream_close(stream_);
                throw Failure(
                    ExitStatus::socket,
                    std::string("cannot start the embedded simulated sensor: ") + e.what());
            }
            // The stream accepts the simulated sensor's port as its device port.
            tarn_stream_close(stream_);
            stream_ = nullptr;
            result = open(kLoopback, sim_->sourcePort(), localPort_);
        }
    } else {
        const int port = options_.localPort != 0 ? options_.localPort : kDefaultLocalPort;
        result = open(options_.device, options_.devicePort, port);
    }
    if (result != TARN_OK) {
        sim_.reset();
        throw Failure(result == TARN_ERR_BIND || result == TARN_ERR_SOCKET ? ExitStatus::socket
                                                                           : ExitStatus::failure,
                      "cannot listen on a local port: " + std::string(tarn_strerror(result)));
    }
    if (sim_) {
        sim_->start();
    }
}

ViewFeed::~ViewFeed() {
    if (sim_) {
        sim_->stop();
    }
    if (stream_ != nullptr) {
        tarn_stream_close(stream_);
    }
}

int ViewFeed::open(const std::string& device, int devicePort, int localPort) {
    tarn_stream_config config;
    tarn_stream_config_init(&config);
    const std::string localAddress = !options_.localAddress.empty() ? options_.localAddress
                                     : options_.device.empty()      ? kLoopback
                                                                    : "";
    config.local_address = localAddress.c_str();
    config.local_port = localPort;
    config.device_address = device.c_str();
    config.device_port = devicePort;
    config.receive_buffer_bytes = options_.receiveBuffer;
    config.on_frame = onFrame;
    config.frame_user = this;
    config.on_imu = onImu;
    config.imu_user = this;
    const int result = tarn_stream_open(&config, &stream_);
    if (result == TARN_OK) {
        tarn_stream_local_port(stream_, &localPort_);
    }
    return result;
}

void ViewFeed::onFrame(const tarn_point* grid, const tarn_frame_info* info, void* user) {
    auto* self = static_cast<ViewFeed*>(user);
    tarn_view_publish_frame(self->view_, self->sensor_, grid, info);
    if (self->angle_) {
        float angle = 0.0f;
        // tarn_point and KESOPointData are the same 40 bytes; the measurement only reads them.
        const KESOAngleResult result = KESOGetPlaneAngle(
            reinterpret_cast<KESOPointData(*)[KESO_COLUMNS]>(const_cast<tarn_point*>(grid)),
            &angle);
        tarn_view_publish_angle(self->view_, self->sensor_, result.code == 0 ? 1 : 0, angle,
                                result.code == 0 ? "" : result.message);
    }
}

void ViewFeed::onImu(const tarn_imu_sample* sample, void* user) {
    auto* self = static_cast<ViewFeed*>(user);
    tarn_view_publish_imu(self->view_, self->sensor_, sample, realtimeNs());
}

void ViewFeed::publishStats() {
    tarn_stream_stats s{};
    if (tarn_stream_get_stats(stream_, &s) == TARN_OK) {
        tarn_view_publish_stats(view_, sensor_, &s, realtimeNs());
    }
}

tarn_stream_stats ViewFeed::stats() const {
    tarn_stream_stats s{};
    tarn_stream_get_stats(stream_, &s);
    return s;
}

std::string ViewFeed::description() const {
    char text[200];
    if (sim_) {
        const tarn_sim_summary s = options_.sim.summary();
        std::snprintf(text, sizeof text,
                      "the embedded simulated sensor (a wall tilted %.2f degrees, %.1f fps) on "
                      "local port %d",
                      s.tilt_degrees, s.fps, localPort_);
    } else {
        std::snprintf(text, sizeof text, "%s port %d on local port %d", options_.device.c_str(),
                      options_.devicePort, localPort_);
    }
    return text;
}

}  // namespace tarn::cli
