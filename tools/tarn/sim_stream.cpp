#include "tools/tarn/sim_stream.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "sim/datagram.h"
#include "sim/frame_encoder.h"

namespace tarn::cli {
namespace {

using Seconds = std::chrono::duration<double>;

// A frame's datagrams go out in small bursts spread over half the frame period, as a sensor's
// do, so a receiver with a modest socket buffer keeps up.
constexpr std::size_t kDatagramsPerBurst = 8;
constexpr double kFrameSpread = 0.5;
constexpr float kGravity = 9.80665f;
constexpr double kNanosecondsPerSecond = 1e9;
constexpr double kSwayDegreesPerSecond = 0.1;
// Frames carry their frame number as timestamp, from 1.
constexpr uint64_t kFirstFrameNumber = 1;

// A sensor at rest: gravity along -z and a slow sway on the gyroscope.
sim::ImuSample restingSample(double seconds) {
    sim::ImuSample sample;
    sample.accel = {0.0f, 0.0f, -kGravity};
    sample.gyro = {static_cast<float>(kSwayDegreesPerSecond * std::sin(seconds)), 0.0f, 0.0f};
    return sample;
}

}  // namespace

SimStream::SimStream(const SimStreamPlan& plan)
    : plan_(plan), sender_(plan.sender), scene_(plan.scene) {
    if (!(plan.fps > 0.0) || plan.imuRate < 0.0 || sim::pixelBytes(plan.pixelType) == 0) {
        throw std::invalid_argument("the frame rate must be positive and the pixel type 0, 1 or 2");
    }
    faults_.setRandom(plan.random);
    for (const sim::DatagramFault& fault : plan.faults) {
        faults_.add(fault);
    }
}

void SimStream::run(Clock::time_point end, const Sleeper& sleep,
                    const std::function<void()>& tick) {
    sleep_ = &sleep;
    tick_ = &tick;
    start_ = Clock::now();
    nextTick_ = start_ + std::chrono::seconds(1);
    imuPeriod_ = plan_.imuRate > 0.0
                     ? std::chrono::duration_cast<Clock::duration>(Seconds(1.0 / plan_.imuRate))
                     : Clock::duration::zero();
    nextImu_ = start_;
    const auto period = std::chrono::duration_cast<Clock::duration>(Seconds(1.0 / plan_.fps));

    for (uint64_t k = 0; plan_.frames == 0 || k < plan_.frames; ++k) {
        const Clock::time_point frameStart = start_ + period * static_cast<long>(k);
        if (frameStart >= end) {
            break;
        }
        const sim::FrameFormat format{plan_.pixelType, 0, kFirstFrameNumber + k};
        const std::vector<sim::Outgoing> outgoing =
            faults_.apply(k, sim::encodeFrame(scene_, kFirstFrameNumber + k, format));
        bool going = true;
        for (std::size_t i = 0; going && i < outgoing.size(); ++i) {
            if (i % kDatagramsPerBurst == 0) {
                const double share = static_cast<double>(i) / static_cast<double>(outgoing.size());
                going = waitUntil(frameStart + std::chrono::duration_cast<Clock::duration>(
                                                   period * kFrameSpread * share));
            }
            if (going) {
                const sim::Outgoing& datagram = outgoing[i];
                if (datagram.foreignPort) {
                    sender_.sendFromForeignPort(datagram.bytes);
                } else {
                    sender_.send(datagram.bytes);
                }
            }
        }
        if (!going) {
            break;
        }
        ++frames_;
    }
    sleep_ = nullptr;
    tick_ = nullptr;
}

bool SimStream::waitUntil(Clock::time_point until) {
    for (;;) {
        const bool imuDue = imuPeriod_ > Clock::duration::zero() && nextImu_ <= until;
        const Clock::time_point next = std::min({until, nextTick_, imuDue ? nextImu_ : until});
        if (!(*sleep_)(next)) {
            return false;
        }
        if (imuDue && nextImu_ == next) {
            sendImu(nextImu_);
            nextImu_ += imuPeriod_;
        } else if (nextTick_ == next) {
            (*tick_)();
            nextTick_ += std::chrono::seconds(1);
        } else {
            return true;
        }
    }
}

void SimStream::sendImu(Clock::time_point due) {
    const double elapsed = std::chrono::duration_cast<Seconds>(due - start_).count();
    sim::ImuFields fields;
    fields.timestamp = static_cast<uint64_t>(elapsed * kNanosecondsPerSecond);
    fields.sample = sim::packImuSample(restingSample(elapsed));
    sender_.sendImu(fields);
}

SimCounts SimStream::counts() const {
    const sim::SenderCounters sent = sender_.counters();
    SimCounts counts;
    counts.frames = frames_;
    counts.imuDatagrams = sent.imuSent;
    counts.pointDatagrams = sent.datagramsSent - sent.imuSent;
    counts.sendErrors = sent.sendErrors;
    counts.faults = faults_.counters();
    return counts;
}

}  // namespace tarn::cli
