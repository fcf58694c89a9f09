// The decoder of a stream: decodes each queued frame into the decode grid (see frame_decode.h)
// unless the assembler already wrote it as it arrived, numbers it, publishes it and hands it to
// the frame callbacks.
#ifndef TARN_STREAM_DECODER_H
#define TARN_STREAM_DECODER_H

#include <atomic>
#include <cstdint>

#include "KESOApi.h"
#include "stream/counters.h"
#include "stream/delivery_gate.h"
#include "stream/frame_decode.h"
#include "stream/frame_queue.h"
#include "stream/publication.h"
#include "stream/stream_storage.h"
#include "tarn/tarn.h"

namespace tarn::stream {

class Decoder {
  public:
    // Works on storage's stop flag, decode grid and KESO frame callback; takes from frames,
    // publishes to publication, counts in counters and calls the frame callbacks through gate.
    // logStream is the stream's handle as its messages name it. All must remain live while the
    // decoder is in use.
    Decoder(const StreamStorage& storage, FrameQueue& frames, Publication& publication,
            StreamCounters& counters, DeliveryGate& gate, tarn_stream* const& logStream);
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    // ---- While the decoder does not run ----
    void setCallback(tarn_frame_callback callback, void* user);
    // Numbers the next frame 1 again.
    void resetSequence() { sequence_ = 0; }

    // ---- The decoder thread ----
    // Decodes until the stop flag is cleared, after finishing the frame in hand (decoded,
    // published and handed to the frame callbacks).
    void run();
    // One step: decodes, publishes and hands out the oldest queued frame, if any; false when none
    // was queued.
    bool decodeQueued();

  private:
    void deliver(const tarn_frame_info& info);

    const std::atomic<bool>& running_;              // the stream's stop flag
    const Grid decodeGrid_;                         // the decoder's, but see FrameQueue
    std::atomic<KESOFrameCallback>& kesoCallback_;  // written only while no worker runs
    FrameQueue& frames_;
    Publication& publication_;
    StreamCounters& counters_;  // the decoder's counters are written here only
    DeliveryGate& gate_;
    tarn_stream* const& logStream_;  // set before the first run
    // Written only while the decoder does not run.
    tarn_frame_callback callback_ = nullptr;
    void* callbackUser_ = nullptr;
    uint64_t sequence_ = 0;  // decoder thread
};

}  // namespace tarn::stream

#endif  // TARN_STREAM_DECODER_H
