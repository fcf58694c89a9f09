#include "stream/assembler.h"

#include <cstdio>
#include <cstring>

#include "stream/datagram_format.h"
#include "stream/pause.h"
#include "stream/receiver.h"
#include "stream/stream_state.h"

namespace tarn::stream {

namespace {

void printLine(const char* format, int value) {
    std::printf(format, value);
    std::fflush(stdout);
}

AssemblyResult appendToWorkingList(const uint8_t* datagram, std::size_t length,
                                   std::list<std::string>& workingList) {
    if (workingList.size() >= kMaxWorkingListDatagrams) {
        std::printf("frame assembly: %zu datagrams without a first datagram, discarded\n",
                    workingList.size() + 1);
        std::fflush(stdout);
        workingList.clear();
        return AssemblyResult::kWorkingListFull;
    }
    workingList.emplace_back(reinterpret_cast<const char*>(datagram), length);
    return AssemblyResult::kAppended;
}

AssemblyResult assemblePointDatagram(const uint8_t* datagram, std::size_t length,
                                     std::list<std::string>& workingList) {
    if (length < kPointHeaderBytes) {
        return AssemblyResult::kDropped;
    }
    const PointHeader header = readPointHeader(datagram);
    if (header.versionMinor != kSupportedVersionMinor) {
        printLine("version_minor is %d ,unsupported\n", header.versionMinor);
        return AssemblyResult::kDropped;
    }
    const int pixelBytes = pixelBytesOfType(header.pixelType);
    if (pixelBytes == 0) {
        printLine("data type %d is invalid\n", header.pixelType);
        return AssemblyResult::kDropped;
    }
    m_one_pixel_len.store(pixelBytes, std::memory_order_relaxed);

    switch (header.frameFlag) {
        case kFirstDatagram:
            workingList.clear();
            return appendToWorkingList(datagram, length, workingList);
        case kMiddleDatagram:
            return appendToWorkingList(datagram, length, workingList);
        case kLastDatagram: {
            const AssemblyResult appended = appendToWorkingList(datagram, length, workingList);
            return appended == AssemblyResult::kAppended ? AssemblyResult::kFrameCompleted
                                                         : appended;
        }
        default:
            printLine("frameFlag is %d ,unsupported\n", header.frameFlag);
            return AssemblyResult::kDropped;
    }
}

AssemblyResult assembleImuDatagram(const uint8_t* datagram, std::size_t length,
                                   KESOImuData* imuSample) {
    if (length < kImuDatagramBytes || datagram[kImuSampleFlagOffset] != kImuSampleValid) {
        return AssemblyResult::kDropped;
    }
    std::memcpy(imuSample, datagram + kImuRecordOffset, sizeof(KESOImuData));
    imuSample->timestamp = readU64Le(datagram + kImuTimestampOffset) / kImuTimestampDivisor;
    return AssemblyResult::kImuSample;
}

}  // namespace

AssemblyResult assembleDatagram(const uint8_t* datagram, std::size_t length,
                                std::list<std::string>& workingList, KESOImuData* imuSample) {
    if (length < kCommonHeaderBytes || readU16Le(datagram + kMagicOffset) != kMagic) {
        return AssemblyResult::kDropped;
    }
    switch (datagram[kDataTypeOffset]) {
        case kPointDataType:
            return assemblePointDatagram(datagram, length, workingList);
        case kImuDataType:
            return assembleImuDatagram(datagram, length, imuSample);
        default:
            return AssemblyResult::kDropped;
    }
}

}  // namespace tarn::stream

bool PushPackgedData(std::list<std::string> frame) {
    return packgedDataQueue.try_enqueue(std::move(frame));
}

std::list<std::string> FrontPackgedData() {
    std::list<std::string> frame;
    packgedDataQueue.try_dequeue(frame);
    return frame;
}

void threadDataPacking() {
    using tarn::stream::AssemblyResult;
    std::list<std::string> workingList;
    while (linkDeviceFlag.load()) {
        OriginDataPack* pack = nullptr;
        if (!FrontOringinDataPack(&pack)) {
            tarn::stream::pauseMicroseconds(tarn::stream::kAssemblerIdleMicroseconds);
            continue;
        }
        const std::size_t length = pack->len < kMaxDatagramBytes ? pack->len : kMaxDatagramBytes;
        KESOImuData sample{};
        switch (tarn::stream::assembleDatagram(pack->data, length, workingList, &sample)) {
            case AssemblyResult::kFrameCompleted:
                PushPackgedData(workingList);
                break;
            case AssemblyResult::kImuSample:
                if (KESOImuCallback callback = imuUpdateFunc.load()) {
                    callback(sample);
                }
                break;
            default:
                break;
        }
    }
}
