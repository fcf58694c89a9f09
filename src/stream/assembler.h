// The assembler of a stream: takes the datagrams the receiver queued, gathers each frame (see
// frame_assembly.h), writes it into the decode grid as it arrives while the decoder has nothing
// else to do with the grid (see IncrementalDecode), queues whole frames for the decoder and
// hands IMU samples to the IMU callbacks.
#ifndef TARN_STREAM_ASSEMBLER_H
#define TARN_STREAM_ASSEMBLER_H

#include <atomic>
#include <cstdint>
#include <memory>

#include "KESOApi.h"
#include "stream/counters.h"
#include "stream/datagram_queue.h"
#include "stream/datagram_run.h"
#include "stream/delivery_gate.h"
#include "stream/frame_assembly.h"
#include "stream/frame_queue.h"
#include "stream/incremental_decode.h"
#include "stream/publication.h"
#include "stream/receive_ring.h"
#include "stream/stream_storage.h"
#include "tarn/tarn.h"

namespace tarn::stream {

// The assembler begins to write a frame into the grid as it arrives only while no more than this
// many datagrams wait behind it: in a burst it gathers and the decoder decodes, each on its core.
constexpr uint64_t kMostBacklogForIncrementalDecode = 2 * kDatagramsBeforeWake;

class Assembler {
  public:
    // Works on storage's stop flag, pixel size, decode grid and KESO IMU callback; takes from
    // datagrams (slots of ring), pushes to frames, undoes a lost frame from publication, counts
    // in counters and calls the IMU callbacks through gate. logStream is the stream's handle as
    // its messages name it. All must remain live while the assembler is in use.
    Assembler(const StreamStorage& storage, DatagramQueue& datagrams, const ReceiveRing& ring,
              FrameQueue& frames, Publication& publication, StreamCounters& counters,
              DeliveryGate& gate, tarn_stream* const& logStream);
    Assembler(const Assembler&) = delete;
    Assembler& operator=(const Assembler&) = delete;

    // While the assembler does not run.
    void setCallback(tarn_imu_callback callback, void* user);
    // Where the runs of queued frames come from. Any thread.
    RunPool& runPool() { return *runPool_; }

    // ---- The assembler thread ----
    // Assembles until the stop flag is cleared; a stopped stream delivers nothing of what is
    // still queued. Starts and ends with an empty working frame.
    void run();
    // One step: handles the oldest queued datagram, if any; false when none was queued.
    bool assembleQueued();

  private:
    void deliverImu(const KESOImuData& sample);
    // Writes what arrived of the working frame into the decode grid, and undoes what was written
    // of a frame that will not be delivered.
    void decodeArrived();
    void undoArrived();
    void queueCompleted(const ReceiveTime& lastReceived);

    const std::atomic<bool>& running_;            // the stream's stop flag
    std::atomic<int32_t>& pixelBytes_;            // written here, read by any thread
    const Grid decodeGrid_;                       // see decodeArrived
    std::atomic<KESOImuCallback>& kesoCallback_;  // written only while no worker runs
    DatagramQueue& datagrams_;
    const ReceiveRing& ring_;
    FrameQueue& frames_;
    Publication& publication_;
    StreamCounters& counters_;  // the assembler's counters are written here only
    DeliveryGate& gate_;
    tarn_stream* const& logStream_;  // set before the first run
    // Written only while the assembler does not run.
    tarn_imu_callback callback_ = nullptr;
    void* callbackUser_ = nullptr;
    std::shared_ptr<RunPool> runPool_ = std::make_shared<RunPool>();
    // Assembler thread. The working frame's decode writes the decode grid only while the decoder
    // has finished every frame pushed to it (FrameQueue::decoderCaughtUp).
    WorkingFrame frame_;
    IncrementalDecode arriving_;
};

}  // namespace tarn::stream

#endif  // TARN_STREAM_ASSEMBLER_H
