#include "sim/sensor.h"

#include <arpa/inet.h>

#include <array>
#include <cmath>
#include <cstring>

#include "sim/frame_encoder.h"

namespace tarn::sim {
namespace {

using Seconds = std::chrono::duration<double>;

// A frame's datagrams go out in small bursts spread over part of the frame period, as a sensor's
// do, so a receiver with a modest socket buffer keeps up and pacing costs few sleeps.
constexpr std::size_t kDatagramsPerBurst = 8;
constexpr float kGravity = 9.80665f;
constexpr double kNanosecondsPerSecond = 1e9;
constexpr double kSwayDegreesPerSecond = 0.1;
// So that 5 s at 15 fps make 75 frames, not 76 by rounding.
constexpr double kEpsilon = 1e-9;
constexpr std::array<uint8_t, 4> kInitialNetmask = {255, 0, 0, 0};
constexpr std::array<uint8_t, 4> kInitialGateway = {127, 0, 0, 1};
constexpr std::array<uint8_t, 6> kInitialMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

// A sensor at rest: gravity along -z and a slow sway on the gyroscope.
ImuSample restingSample(double seconds) {
    ImuSample sample;
    sample.accel = {0.0f, 0.0f, -kGravity};
    sample.gyro = {static_cast<float>(kSwayDegreesPerSecond * std::sin(seconds)), 0.0f, 0.0f};
    return sample;
}

std::array<uint8_t, 4> dotted(const std::string& address) {
    in_addr parsed{};
    inet_pton(AF_INET, address.c_str(), &parsed);
    std::array<uint8_t, 4> bytes{};
    std::memcpy(bytes.data(), &parsed.s_addr, bytes.size());
    return bytes;
}

}  // namespace

SettingsRecord initialSettings(const SensorConfig& config, uint16_t sourcePort) {
    NetSettings settings;
    settings.address = dotted(config.control);
    settings.netmask = kInitialNetmask;
    settings.gateway = kInitialGateway;
    settings.hostAddress = dotted(config.sender.destinationAddress);
    settings.dataPort = sourcePort;
    settings.hostPort = config.sender.destinationPort;
    settings.mac = kInitialMac;
    return encodeSettings(settings);
}

Sensor::Sensor(const SensorConfig& config) : config_(config), scene_(config.scene) {
    if (config_.streaming) {
        sender_ = std::make_unique<StreamSender>(config_.sender);
        faults_.setRandom(config_.random);
        for (const DatagramFault& fault : config_.faults) {
            faults_.add(fault);
        }
    }
    if (!config_.control.empty()) {
        control_ = std::make_unique<ControlServer>(config_.control);
        if (!control_->listening()) {
            throw ControlUnavailable("cannot serve the control port on " + config_.control +
                                     ":6501 (in use, or not a local address)");
        }
        control_->setReportedPkgSize(config_.pkgSize);
        control_->setSettings(initialSettings(config_, sourcePort()));
        for (const ControlFaultSetting& setting : config_.controlFaults) {
            control_->setFault(setting.command, setting.plan);
        }
    }
}

Sensor::~Sensor() {
    stop();
}

uint16_t Sensor::sourcePort() const {
    return sender_ ? sender_->sourcePort() : config_.sender.sourcePort;
}

void Sensor::start() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (sender_ == nullptr || started_ || stopping_) {
            return;
        }
        started_ = true;
    }
    try {
        thread_ = std::thread([this] { run(); });
    } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        started_ = false;
        throw;
    }
}

bool Sensor::wait(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto done = [this] { return finished_ || !started_; };
    if (timeout.count() < 0) {
        changed_.wait(lock, done);
        return true;
    }
    return changed_.wait_for(lock, timeout, done);
}

void Sensor::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

SensorCounts Sensor::counts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return published_;
}

void Sensor::publish() {
    const SenderCounters sent = sender_->counters();
    SensorCounts counts;
    counts.frames = framesSent_;
    counts.datagrams = sent.datagramsSent;
    counts.imuDatagrams = sent.imuSent;
    counts.pointDatagrams = sent.datagramsSent - sent.imuSent;
    counts.sendErrors = sent.sendErrors;
    counts.faults = faults_.counters();
    std::lock_guard<std::mutex> lock(mutex_);
    published_ = counts;
}

void Sensor::run() {
    start_ = Clock::now();
    imuPeriod_ = config_.imuRate > 0.0
                     ? std::chrono::duration_cast<Clock::duration>(Seconds(1.0 / config_.imuRate))
                     : Clock::duration::zero();
    nextImu_ = start_;
    const auto period = std::chrono::duration_cast<Clock::duration>(Seconds(1.0 / config_.fps));
    bool going = true;
    for (uint64_t k = 0; going && (config_.frames == 0 || k < config_.frames); ++k) {
        if (config_.seconds > 0.0 &&
            static_cast<double>(k) / config_.fps >= config_.seconds - kEpsilon) {
            break;
        }
        const Clock::time_point frameStart = start_ + period * static_cast<long>(k);
        const uint64_t number = config_.firstFrame + k;
        const FrameFormat format{config_.pixelType, config_.tag, number};
        const std::vector<Outgoing> outgoing =
            faults_.apply(k, encodeFrame(scene_, number, format));
        for (std::size_t i = 0; going && i < outgoing.size(); ++i) {
            if (i % kDatagramsPerBurst == 0) {
                publish();
                const double share = static_cast<double>(i) / static_cast<double>(outgoing.size());
                going = waitUntil(frameStart + std::chrono::duration_cast<Clock::duration>(
                                                   period * config_.spread * share));
            }
            if (going) {
                if (outgoing[i].foreignPort) {
                    sender_->sendFromForeignPort(outgoing[i].bytes);
                } else {
                    sender_->send(outgoing[i].bytes);
                }
            }
        }
        framesSent_ += going ? 1 : 0;
    }
    publish();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        finished_ = true;
    }
    changed_.notify_all();
}

bool Sensor::waitUntil(Clock::time_point until) {
    while (imuPeriod_ > Clock::duration::zero() && nextImu_ <= until) {
        if (!sleepUntil(nextImu_)) {
            return false;
        }
        sendImu(nextImu_);
        nextImu_ += imuPeriod_;
    }
    return sleepUntil(until);
}

bool Sensor::sleepUntil(Clock::time_point until) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !changed_.wait_until(lock, until, [this] { return stopping_; });
}

void Sensor::sendImu(Clock::time_point due) {
    const double elapsed = std::chrono::duration_cast<Seconds>(due - start_).count();
    ImuFields fields;
    fields.timestamp = static_cast<uint64_t>(elapsed * kNanosecondsPerSecond);
    fields.sample = packImuSample(restingSample(elapsed));
    sender_->sendImu(fields);
    publish();
}

}  // namespace tarn::sim
