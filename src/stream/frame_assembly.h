// Frame assembly, one datagram at a time: validates each received datagram, gathers the point
// datagrams of a frame into a working frame and says when it is complete or an IMU sample came.
// Pure functions over the working frame; the Assembler (assembler.h) runs them on a stream.
#ifndef TARN_STREAM_FRAME_ASSEMBLY_H
#define TARN_STREAM_FRAME_ASSEMBLY_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "KESOApi.h"
#include "stream/counters.h"
#include "stream/datagram_run.h"
#include "stream/queued_frame.h"
#include "stream/receive_time.h"

namespace tarn::stream {

// A working list never holds more datagrams than this; a stream without first datagrams would
// otherwise grow it without end.
constexpr std::size_t kMaxWorkingListDatagrams = 1000;

enum class AssemblyResult {
    kDropped,          // not a usable datagram, a duplicated first datagram, or the rest of a
                       // discarded frame; nothing changed but perhaps the pixel size
    kAppended,         // a first or middle point datagram, now in the working list
    kFrameCompleted,   // a last point datagram: the working list is a frame to queue
    kImuSample,        // an IMU datagram: the sample is ready for the IMU callback
    kWorkingListFull,  // the working list would have grown too long and was discarded
};

// The frame being gathered.
struct WorkingFrame {
    // Runs of already queued frames that this one continues, because its first datagram was lost.
    std::vector<SharedRun> earlier;
    OwnedRun current;       // the datagrams since; null until the first one
    std::size_t count = 0;  // datagrams in earlier and current
    // Its datagrams already went out as a frame at a last datagram, and no first datagram came
    // since: what is appended now belongs to a frame whose first datagram was lost.
    bool queued = false;
    bool merged = false;  // it holds a queued frame's datagrams and newer ones
    // Completed by a duplicate of the last datagram of the frame queued before: the same frame
    // again.
    bool redelivered = false;
    bool begunWithFirst = false;  // its current run started at a first datagram
    // The working list grew too long and was discarded: datagrams are dropped up to the next
    // first datagram.
    bool discarding = false;
    // How often the frame was begun anew (a first datagram, a discard), so that what was decoded
    // of it can tell that it belongs to an earlier frame.
    uint64_t starts = 0;
};

// What one assembler works with besides its working frame.
struct AssemblyContext {
    std::atomic<int32_t>& pixelBytes;  // the latest accepted pixel size (m_one_pixel_len)
    StreamCounters* counters;          // may be null
    tarn_stream* logStream;            // the stream its messages belong to
    RunPool& pool;                     // where new runs come from
};

// Handles one received datagram of `length` bytes: checks its header, records the pixel size, and
// updates the working frame; for an IMU datagram fills *imuSample instead. Prints the assembler's
// messages and counts what it drops.
AssemblyResult assembleDatagram(const uint8_t* datagram, std::size_t length, WorkingFrame& frame,
                                KESOImuData* imuSample, const AssemblyContext& context);

// The frame that the last datagram just completed, as the decoder receives it: it shares the
// working frame's runs, copying no datagram.
QueuedFrame frameToQueue(const WorkingFrame& frame, const ReceiveTime& lastReceived);

// The datagrams of a working or queued frame as separate strings, in order.
std::list<std::string> datagramsOf(const WorkingFrame& frame);
std::list<std::string> datagramsOf(const QueuedFrame& frame);
// A queued frame holding these datagrams in one run.
QueuedFrame queuedFrameOf(const std::list<std::string>& datagrams, RunPool& pool);

}  // namespace tarn::stream

#endif  // TARN_STREAM_FRAME_ASSEMBLY_H
