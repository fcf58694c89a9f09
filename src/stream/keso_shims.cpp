// The functions of the KESO data path that work on the default stream's objects by name: thread
// bodies, queue operations and the receive ring. Each is a thin shim over the default Engine.
#include <list>
#include <string>

#include "stream/assembler.h"
#include "stream/decoder.h"
#include "stream/engine.h"
#include "stream/receiver.h"

namespace tarn::stream {

uint64_t queuedDatagramPointers() {
    return defaultStream().queuedDatagramPointers();
}

bool storeDatagram(const uint8_t* bytes, std::size_t length) {
    return defaultStream().storeDatagram(bytes, length, receiveTimeNow());
}

}  // namespace tarn::stream

bool PushOringinDataPack(OriginDataPack* pack) {
    return tarn::stream::defaultStream().pushDatagram(pack);
}

bool FrontOringinDataPack(OriginDataPack** pack) {
    return tarn::stream::defaultStream().takeDatagram(pack);
}

bool ClearOringinDataQueue() {
    tarn::stream::defaultStream().clearDatagrams();
    return true;
}

void threadReceiveData(std::string deviceIp, unsigned short devicePort) {
    tarn::stream::defaultStream().runReceiver(tarn::stream::SourceFilter::forAddressText(
        deviceIp.c_str(), devicePort, tarn::stream::kAlternateDevicePort));
}

bool PushPackgedData(std::list<std::string> frame) {
    tarn::stream::Engine& stream = tarn::stream::defaultStream();
    return stream.pushFrame(tarn::stream::queuedFrameOf(frame, stream.runPool()));
}

std::list<std::string> FrontPackgedData() {
    tarn::stream::QueuedFrame frame;
    tarn::stream::defaultStream().takeFrame(frame);
    return tarn::stream::datagramsOf(frame);
}

void threadDataPacking() {
    tarn::stream::defaultStream().runAssembler();
}

void threadGetPointCloud() {
    tarn::stream::defaultStream().runDecoder();
}
