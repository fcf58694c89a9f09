#include "stream/keso_shims.h"

#include "format/datagram_format.h"
#include "stream/engine.h"
#include "stream/frame_decode.h"
#include "stream/stream_state.h"

namespace tarn::stream {

namespace {

template <typename Callback>
int registerCallback(std::atomic<Callback>& registered, Callback callback) {
    if (linkDeviceFlag.load()) {
        return KESO_ERR_CONNECTED;
    }
    if (callback != nullptr) {
        registered.store(callback);
    }
    return KESO_OK;
}

}  // namespace

bool storeDatagram(const uint8_t* bytes, std::size_t length) {
    return defaultStream().receiver().store(bytes, length, receiveTimeNow());
}

uint64_t queuedDatagramPointers() {
    return defaultStream().datagrams().queued();
}

void publishFrame(KESOPointData (*grid)[KESO_COLUMNS]) {
    if (grid != nullptr) {
        defaultStream().publication().publish(grid, nullptr);
    }
}

int copyPublishedFrame(KESOPointData (*grid)[KESO_COLUMNS]) {
    if (grid == nullptr) {
        return KESO_ERR_NO_FRAME;
    }
    return defaultStream().publication().copy(grid, nullptr);
}

int registerFrameCallback(KESOFrameCallback callback) {
    return registerCallback(frameUpdateFunc, callback);
}

int registerImuCallback(KESOImuCallback callback) {
    return registerCallback(imuUpdateFunc, callback);
}

void waitForWorkersToReturn() {
    defaultStream().workers().waitForAll();
}

bool waitForWorkersToReturnFor(std::chrono::milliseconds limit) {
    return defaultStream().workers().waitForAllFor(limit);
}

int runningWorkers() {
    return defaultStream().workers().running();
}

AssemblyResult assembleDatagram(const uint8_t* datagram, std::size_t length,
                                std::list<std::string>& workingList, KESOImuData* imuSample) {
    RunPool& pool = spareRunPool();
    WorkingFrame frame;
    if (!workingList.empty()) {
        frame.current = pool.take();
        for (const std::string& kept : workingList) {
            frame.current->append(reinterpret_cast<const uint8_t*>(kept.data()), kept.size());
        }
        frame.count = workingList.size();
        const std::string& first = workingList.front();
        frame.begunWithFirst = first.size() > kFrameFlagOffset &&
                               static_cast<uint8_t>(first[kFrameFlagOffset]) == kFirstDatagram;
    }
    const AssemblyContext context{m_one_pixel_len, nullptr, defaultStream().logStream(), pool};
    const AssemblyResult result = assembleDatagram(datagram, length, frame, imuSample, context);
    workingList = datagramsOf(frame);
    return result;
}

void decodeFrame(const std::list<std::string>& frame, Grid grid) {
    RunPool& pool = spareRunPool();
    decodeFrame(queuedFrameOf(frame, pool), grid, defaultStream().logStream());
}

}  // namespace tarn::stream

bool PushOringinDataPack(OriginDataPack* pack) {
    return tarn::stream::defaultStream().datagrams().push(pack);
}

bool FrontOringinDataPack(OriginDataPack** pack) {
    return tarn::stream::defaultStream().datagrams().take(pack);
}

bool ClearOringinDataQueue() {
    tarn::stream::defaultStream().datagrams().clear();
    return true;
}

void threadReceiveData(std::string deviceIp, unsigned short devicePort) {
    tarn::stream::defaultStream().receiver().run(tarn::stream::SourceFilter::forAddressText(
        deviceIp.c_str(), devicePort, tarn::stream::kAlternateDevicePort));
}

void threadDataPacking() {
    tarn::stream::defaultStream().assembler().run();
}

void threadGetPointCloud() {
    tarn::stream::defaultStream().decoder().run();
}

bool PushPackgedData(std::list<std::string> frame) {
    tarn::stream::Engine& stream = tarn::stream::defaultStream();
    return stream.frames().push(tarn::stream::queuedFrameOf(frame, stream.assembler().runPool()));
}

std::list<std::string> FrontPackgedData() {
    tarn::stream::QueuedFrame frame;
    tarn::stream::defaultStream().frames().take(frame);
    return tarn::stream::datagramsOf(frame);
}
