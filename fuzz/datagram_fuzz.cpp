// Feeds arbitrary datagrams through a whole stream minus its socket: the receive ring, assembly,
// the frame queue, decoding (two workers or one after the other) and publication; and the same
// datagrams through the socket-less decoder. The input is split into datagrams at 0xFF 0xFF
// markers, so each datagram carries its own pixel type and frame flag. Every IMU sample delivered
// must be the input's record with its timestamp divided by 1,000,000.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <string>

#include "stream/engine.h"
#include "stream/receiver.h"
#include "tarn/tarn.h"

namespace {

constexpr std::size_t kMaxDatagramLength = TARN_MAX_DATAGRAM_BYTES;
constexpr std::size_t kImuRecordOffset = 6;
constexpr std::size_t kImuTimestampOffset = 12;

std::list<std::string> splitIntoDatagrams(const uint8_t* data, std::size_t size) {
    std::list<std::string> datagrams(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (i + 1 < size && data[i] == 0xFF && data[i + 1] == 0xFF) {
            datagrams.emplace_back();
            ++i;
        } else if (datagrams.back().size() < kMaxDatagramLength) {
            datagrams.back().push_back(static_cast<char>(data[i]));
        }
    }
    return datagrams;
}

void checkImuSample(const std::string& datagram, const tarn_imu_sample& sample) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(datagram.data());
    uint64_t timestamp = 0;
    std::memcpy(&timestamp, bytes + kImuTimestampOffset, sizeof timestamp);  // little-endian host
    tarn_imu_sample expected;
    std::memcpy(&expected, bytes + kImuRecordOffset, sizeof expected);
    expected.timestamp = timestamp / 1000000;
    if (std::memcmp(&expected, &sample, sizeof sample) != 0) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static tarn_stream* const stream = new tarn_stream();
    static tarn_decoder* const decoder = [] {
        tarn_decoder* opened = nullptr;
        tarn_decoder_open(&opened);
        return opened;
    }();
    static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;

    tarn::stream::WorkingFrame working;
    for (const std::string& datagram : splitIntoDatagrams(data, size)) {
        if (datagram.empty()) {
            continue;
        }
        const auto* bytes = reinterpret_cast<const uint8_t*>(datagram.data());
        stream->storeDatagram(bytes, datagram.size(), tarn::stream::receiveTimeNow());
        while (stream->assembleQueued(working)) {
        }
        while (stream->decodeQueued()) {
        }
        if (tarn_decoder_push(decoder, bytes, datagram.size(), 0, 0) == TARN_IMU_READY) {
            tarn_imu_sample sample;
            tarn_decoder_imu(decoder, &sample);
            checkImuSample(datagram, sample);
        }
    }
    return 0;
}
