#include "stream/frame_assembly.h"

#include <cstring>
#include <utility>

#include "api/log.h"
#include "format/datagram_format.h"
#include "stream/frame_queue.h"

namespace tarn::stream {

namespace {

using log::Destination;

void count(StreamCounters* counters, Counter StreamCounters::*counter) {
    if (counters != nullptr) {
        bump(counters->*counter);
    }
}

void resetFrame(WorkingFrame& frame) {
    frame.earlier.clear();
    if (frame.current != nullptr) {
        frame.current->clear();
    }
    frame.count = 0;
    frame.queued = false;
    frame.merged = false;
    frame.redelivered = false;
    frame.begunWithFirst = false;
    frame.discarding = false;
    ++frame.starts;
}

AssemblyResult appendToWorkingList(const uint8_t* datagram, std::size_t length, WorkingFrame& frame,
                                   const AssemblyContext& context) {
    if (frame.discarding) {
        return AssemblyResult::kDropped;
    }
    if (frame.count >= kMaxWorkingListDatagrams) {
        if (frame.begunWithFirst && !frame.merged) {
            log::format(context.logStream, Destination::kStandardOutput,
                        "frame assembly: a frame of more than %zu datagrams, discarded up to "
                        "the next first datagram\n",
                        kMaxWorkingListDatagrams);
        } else {
            log::format(context.logStream, Destination::kStandardOutput,
                        "frame assembly: %zu datagrams without a first datagram, discarded\n",
                        frame.count + 1);
        }
        resetFrame(frame);
        frame.discarding = true;
        count(context.counters, &StreamCounters::framesTooLong);
        return AssemblyResult::kWorkingListFull;
    }
    if (frame.queued) {
        frame.queued = false;
        frame.merged = true;
        frame.redelivered = false;
    }
    if (frame.current == nullptr) {
        frame.current = context.pool.take();
    }
    frame.current->append(datagram, length);
    ++frame.count;
    return AssemblyResult::kAppended;
}

// UDP may deliver a datagram twice. A first datagram equal to the one the frame in hand began
// with is such a copy.
bool isRepeatedFirst(const uint8_t* datagram, std::size_t length, const WorkingFrame& frame) {
    return frame.begunWithFirst && !frame.queued && frame.current != nullptr &&
           frame.current->firstIs(datagram, length);
}

// A last datagram equal to the last one of the frame just queued, with nothing in between.
bool isRepeatedLast(const uint8_t* datagram, std::size_t length, const WorkingFrame& frame) {
    return frame.queued && !frame.earlier.empty() && frame.earlier.back()->lastIs(datagram, length);
}

// A first datagram ends the frame in hand: if that one never got its last datagram, it is lost.
void startFrame(WorkingFrame& frame, const AssemblyContext& context) {
    if (frame.count != 0 && !frame.queued) {
        count(context.counters, &StreamCounters::framesLostLast);
    }
    resetFrame(frame);
    frame.begunWithFirst = true;
}

AssemblyResult assemblePointDatagram(const uint8_t* datagram, std::size_t length,
                                     WorkingFrame& frame, const AssemblyContext& context) {
    if (length < kPointHeaderBytes) {
        count(context.counters, &StreamCounters::invalidShort);
        return AssemblyResult::kDropped;
    }
    const PointHeader header = readPointHeader(datagram);
    if (header.versionMinor != kSupportedVersionMinor) {
        log::format(context.logStream, Destination::kStandardOutput,
                    "version_minor is %d ,unsupported\n", header.versionMinor);
        count(context.counters, &StreamCounters::invalidVersion);
        return AssemblyResult::kDropped;
    }
    const int pixelBytes = pixelBytesOfType(header.pixelType);
    if (pixelBytes == 0) {
        log::format(context.logStream, Destination::kStandardOutput, "data type %d is invalid\n",
                    header.pixelType);
        count(context.counters, &StreamCounters::invalidPixelType);
        return AssemblyResult::kDropped;
    }
    context.pixelBytes.store(pixelBytes, std::memory_order_relaxed);

    switch (header.frameFlag) {
        case kFirstDatagram:
            if (isRepeatedFirst(datagram, length, frame)) {
                return AssemblyResult::kDropped;
            }
            startFrame(frame, context);
            return appendToWorkingList(datagram, length, frame, context);
        case kMiddleDatagram:
            return appendToWorkingList(datagram, length, frame, context);
        case kLastDatagram: {
            // A repeated last datagram delivers the frame just queued again, as it always has
            // (callers may rely on it), but says so instead of calling it merged.
            const bool repeated = isRepeatedLast(datagram, length, frame);
            const bool wasMerged = frame.merged;
            const AssemblyResult appended = appendToWorkingList(datagram, length, frame, context);
            if (appended != AssemblyResult::kAppended) {
                return appended;
            }
            if (repeated) {
                frame.merged = wasMerged;
                frame.redelivered = true;
            }
            count(context.counters, &StreamCounters::framesCompleted);
            // The run is complete: it goes out shared and read-only, and stays for a merge.
            frame.earlier.push_back(std::move(frame.current));
            frame.current = nullptr;
            frame.queued = true;
            if (frame.redelivered) {
                count(context.counters, &StreamCounters::framesRedelivered);
            } else if (frame.merged) {
                count(context.counters, &StreamCounters::framesMerged);
            }
            return AssemblyResult::kFrameCompleted;
        }
        default:
            log::format(context.logStream, Destination::kStandardOutput,
                        "frameFlag is %d ,unsupported\n", header.frameFlag);
            count(context.counters, &StreamCounters::invalidFrameFlag);
            return AssemblyResult::kDropped;
    }
}

AssemblyResult assembleImuDatagram(const uint8_t* datagram, std::size_t length,
                                   KESOImuData* imuSample, const AssemblyContext& context) {
    if (length < kImuDatagramBytes) {
        count(context.counters, &StreamCounters::invalidShort);
        return AssemblyResult::kDropped;
    }
    if (datagram[kImuSampleFlagOffset] != kImuSampleValid) {
        count(context.counters, &StreamCounters::invalidImuFlag);
        return AssemblyResult::kDropped;
    }
    std::memcpy(imuSample, datagram + kImuRecordOffset, sizeof(KESOImuData));
    imuSample->timestamp = readU64Le(datagram + kImuTimestampOffset) / kImuTimestampDivisor;
    count(context.counters, &StreamCounters::imuSamples);
    return AssemblyResult::kImuSample;
}

}  // namespace

AssemblyResult assembleDatagram(const uint8_t* datagram, std::size_t length, WorkingFrame& frame,
                                KESOImuData* imuSample, const AssemblyContext& context) {
    if (length < kCommonHeaderBytes) {
        count(context.counters, &StreamCounters::invalidShort);
        return AssemblyResult::kDropped;
    }
    if (readU16Le(datagram + kMagicOffset) != kMagic) {
        count(context.counters, &StreamCounters::invalidMagic);
        return AssemblyResult::kDropped;
    }
    switch (datagram[kDataTypeOffset]) {
        case kPointDataType:
            return assemblePointDatagram(datagram, length, frame, context);
        case kImuDataType:
            return assembleImuDatagram(datagram, length, imuSample, context);
        default:
            count(context.counters, &StreamCounters::invalidType);
            return AssemblyResult::kDropped;
    }
}

QueuedFrame frameToQueue(const WorkingFrame& frame, const ReceiveTime& lastReceived) {
    QueuedFrame queued;
    queued.runs.assign(frame.earlier.begin(), frame.earlier.end());
    queued.merged = frame.merged;
    queued.redelivered = frame.redelivered;
    queued.lastReceived = lastReceived;
    for (const SharedRun& run : queued.runs) {
        queued.bytes += run->datagramBytes() + run->count() * kQueuedDatagramOverheadBytes;
    }
    return queued;
}

namespace {
void appendStrings(const DatagramRun& run, std::list<std::string>& datagrams) {
    run.forEach([&](const uint8_t* bytes, std::size_t length) {
        datagrams.emplace_back(reinterpret_cast<const char*>(bytes), length);
        return true;
    });
}
}  // namespace

std::list<std::string> datagramsOf(const WorkingFrame& frame) {
    std::list<std::string> datagrams;
    for (const SharedRun& run : frame.earlier) {
        appendStrings(*run, datagrams);
    }
    if (frame.current != nullptr) {
        appendStrings(*frame.current, datagrams);
    }
    return datagrams;
}

std::list<std::string> datagramsOf(const QueuedFrame& frame) {
    std::list<std::string> datagrams;
    for (const SharedRun& run : frame.runs) {
        appendStrings(*run, datagrams);
    }
    return datagrams;
}

QueuedFrame queuedFrameOf(const std::list<std::string>& datagrams, RunPool& pool) {
    QueuedFrame queued;
    if (datagrams.empty()) {
        return queued;
    }
    OwnedRun run = pool.take();
    for (const std::string& datagram : datagrams) {
        run->append(reinterpret_cast<const uint8_t*>(datagram.data()), datagram.size());
        queued.bytes += datagram.size() + kQueuedDatagramOverheadBytes;
    }
    queued.runs.push_back(std::move(run));
    return queued;
}

}  // namespace tarn::stream
