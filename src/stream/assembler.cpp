#include "stream/assembler.h"

#include <cstring>
#include <utility>

#include "api/log.h"
#include "stream/datagram_format.h"
#include "stream/engine.h"

namespace tarn::stream {

namespace {

using log::Destination;

void count(StreamCounters* counters, Counter StreamCounters::*counter) {
    if (counters != nullptr) {
        bump(counters->*counter);
    }
}

AssemblyResult appendToWorkingList(const uint8_t* datagram, std::size_t length,
                                   WorkingFrame& frame, const AssemblyContext& context) {
    if (frame.datagrams.size() >= kMaxWorkingListDatagrams) {
        log::format(context.logStream, Destination::kStandardOutput,
                    "frame assembly: %zu datagrams without a first datagram, discarded\n",
                    frame.datagrams.size() + 1);
        frame = WorkingFrame{};
        count(context.counters, &StreamCounters::framesTooLong);
        return AssemblyResult::kWorkingListFull;
    }
    if (frame.queued) {
        frame.queued = false;
        frame.merged = true;
    }
    frame.datagrams.emplace_back(reinterpret_cast<const char*>(datagram), length);
    return AssemblyResult::kAppended;
}

// A first datagram ends the frame in hand: if that one never got its last datagram, it is lost.
void startFrame(WorkingFrame& frame, const AssemblyContext& context) {
    if (!frame.datagrams.empty() && !frame.queued) {
        count(context.counters, &StreamCounters::framesLostLast);
    }
    frame = WorkingFrame{};
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
            startFrame(frame, context);
            return appendToWorkingList(datagram, length, frame, context);
        case kMiddleDatagram:
            return appendToWorkingList(datagram, length, frame, context);
        case kLastDatagram: {
            const AssemblyResult appended = appendToWorkingList(datagram, length, frame, context);
            if (appended != AssemblyResult::kAppended) {
                return appended;
            }
            count(context.counters, &StreamCounters::framesCompleted);
            frame.queued = true;
            if (frame.merged) {
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

AssemblyResult assembleDatagram(const uint8_t* datagram, std::size_t length,
                                std::list<std::string>& workingList, KESOImuData* imuSample) {
    WorkingFrame frame;
    frame.datagrams.swap(workingList);
    const AssemblyContext context{m_one_pixel_len, nullptr, defaultStream().handle()};
    const AssemblyResult result = assembleDatagram(datagram, length, frame, imuSample, context);
    workingList.swap(frame.datagrams);
    return result;
}

QueuedFrame frameToQueue(const WorkingFrame& frame, const ReceiveTime& lastReceived) {
    QueuedFrame queued;
    queued.datagrams = frame.datagrams;
    queued.merged = frame.merged;
    queued.lastReceived = lastReceived;
    for (const std::string& datagram : frame.datagrams) {
        queued.bytes += datagram.size() + kQueuedDatagramOverheadBytes;
    }
    return queued;
}

}  // namespace tarn::stream

bool PushPackgedData(std::list<std::string> frame) {
    tarn::stream::QueuedFrame queued;
    for (const std::string& datagram : frame) {
        queued.bytes += datagram.size() + tarn::stream::kQueuedDatagramOverheadBytes;
    }
    queued.datagrams = std::move(frame);
    return tarn::stream::defaultStream().pushFrame(std::move(queued));
}

std::list<std::string> FrontPackgedData() {
    tarn::stream::QueuedFrame frame;
    tarn::stream::defaultStream().takeFrame(frame);
    return std::move(frame.datagrams);
}

void threadDataPacking() {
    tarn::stream::defaultStream().runAssembler();
}
