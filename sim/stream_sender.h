// The simulated sensor's measurement side: a UDP sender on loopback that sends single datagrams,
// whole frames of a scene, IMU datagrams and paced streams, with optional fault injection.
//
// Typical use in a test:
//   tarn::sim::StreamSender sender({"127.0.0.1", 0, "127.0.0.1", localPort});
//   tarn::sim::Scene scene({});
//   sender.sendFrame(scene, 0, {tarn::sim::kPixelType10Bytes, 7, 0});
//   // ... wait for the library to publish, then compare with scene.point(row, column, 0)
#ifndef TARN_SIM_STREAM_SENDER_H
#define TARN_SIM_STREAM_SENDER_H

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/datagram.h"
#include "sim/faults.h"
#include "sim/frame_encoder.h"
#include "sim/scene.h"

namespace tarn::sim {

struct SenderConfig {
    std::string sourceAddress = "127.0.0.1";  // any 127.x.y.z
    uint16_t sourcePort = 0;                  // 0: any free port (see StreamSender::sourcePort)
    std::string destinationAddress = "127.0.0.1";
    uint16_t destinationPort = 0;
};

// A paced stream: frames at fps, and IMU samples at imuRate per second between them.
struct StreamPlan {
    uint64_t frames = 0;   // frames to send; 0 means until `seconds` have passed
    double seconds = 0.0;  // upper bound on the duration; 0 means no bound
    double fps = 10.0;
    double imuRate = 0.0;  // IMU datagrams per second; 0 sends none
    uint8_t pixelType = kPixelType10Bytes;
    uint8_t tag = 0;
    uint64_t firstFrame = 0;  // scene frame number of the first frame
    // Spread each frame's datagrams over this share of the frame period, as a sensor does,
    // instead of sending them in one burst.
    double spread = 0.5;
    const std::atomic<bool>* stop = nullptr;  // optional: ends the stream early when true
};

struct SenderCounters {
    uint64_t datagramsSent = 0;  // every datagram handed to the network, of all kinds
    uint64_t framesSent = 0;
    uint64_t imuSent = 0;
    uint64_t sendErrors = 0;
    FaultCounters faults;
};

// Not thread-safe: one thread at a time sends and reads the counters.
class StreamSender {
  public:
    // Opens the socket bound to the source address and port. Throws std::invalid_argument for
    // an address outside 127.0.0.0/8, std::system_error when the socket cannot be bound.
    explicit StreamSender(const SenderConfig& config);
    ~StreamSender();
    StreamSender(const StreamSender&) = delete;
    StreamSender& operator=(const StreamSender&) = delete;

    uint16_t sourcePort() const { return sourcePort_; }
    // The port used for foreign-port sends (opened on first use; 0 before).
    uint16_t foreignPort() const { return foreignPort_; }

    // One datagram as it is, without faults. False when the system refused it.
    bool send(const Datagram& datagram);
    // One datagram from another source port of the same address.
    bool sendFromForeignPort(const Datagram& datagram);

    // A whole frame of datagrams, with the configured faults; counts as one frame.
    void sendFrame(const std::vector<Datagram>& datagrams);
    // Frame number frameIndex of scene in the given format, with the configured faults.
    void sendFrame(const Scene& scene, uint64_t frameIndex, const FrameFormat& format);

    // One IMU datagram.
    bool sendImu(const ImuFields& fields);

    // count frames of scene (frame numbers 0 to count - 1, each stamped with its frame number as
    // timestamp) paced at fps.
    void sendFrames(const Scene& scene, uint64_t count, double fps,
                    uint8_t pixelType = kPixelType10Bytes);
    // A paced stream of frames and IMU datagrams. Each frame's timestamp is its frame number;
    // each IMU timestamp is the time since the start of the stream in nanoseconds. Throws
    // std::invalid_argument for fps <= 0, spread outside 0 to 1, or neither frames nor seconds.
    void stream(const Scene& scene, const StreamPlan& plan);

    // Faults for the frames sent from now on.
    void setRandomFaults(const RandomFaults& faults) { faults_.setRandom(faults); }
    void addFault(const DatagramFault& fault) { faults_.add(fault); }
    void clearFaults() { faults_.clear(); }

    SenderCounters counters() const;

  private:
    bool sendFrom(int socket, const Datagram& datagram);
    bool sendOutgoing(const Outgoing& outgoing);
    // Applies the faults to a frame's datagrams and counts the frame.
    std::vector<Outgoing> prepareFrame(const std::vector<Datagram>& datagrams);
    int openForeignSocket();

    int socket_ = -1;
    int foreignSocket_ = -1;
    uint16_t sourcePort_ = 0;
    uint16_t foreignPort_ = 0;
    std::string sourceAddress_;
    uint32_t destinationAddress_ = 0;  // network byte order
    uint16_t destinationPort_ = 0;
    FaultInjector faults_;
    SenderCounters counters_;
};

}  // namespace tarn::sim

#endif  // TARN_SIM_STREAM_SENDER_H
