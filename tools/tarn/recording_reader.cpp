#include "tools/tarn/recording_reader.h"

#include <cstdio>

#include "tools/tarn/exit_status.h"

namespace tarn::cli {
namespace {

constexpr std::size_t kErrorBytes = 512;

}  // namespace

RecordingReader::RecordingReader(const std::string& path, const char* prefix) : prefix_(prefix) {
    char error[kErrorBytes] = {};
    const int result = tarn_recording_open(path.c_str(), &reader_, error, sizeof error);
    if (result != TARN_OK) {
        throw Failure(ExitStatus::file,
                      error[0] != '\0' ? std::string(error) : tarn_recording_strerror(result));
    }
}

RecordingReader::~RecordingReader() {
    tarn_recording_close(reader_);
}

bool RecordingReader::next(tarn_recording_datagram& datagram) {
    const int result = tarn_recording_next(reader_, &datagram);
    if (result == TARN_OK) {
        return true;
    }
    if (result != TARN_RECORDING_END) {
        throw Failure(ExitStatus::file, tarn_recording_error(reader_));
    }
    if (stats().cut && !warned_ && prefix_ != nullptr) {
        warned_ = true;
        std::fprintf(stderr, "%s: warning: %s\n", prefix_, tarn_recording_error(reader_));
    }
    return false;
}

tarn_recording_stats RecordingReader::stats() const {
    tarn_recording_stats stats{};
    tarn_recording_get_stats(reader_, &stats);
    return stats;
}

uint64_t RecordingReader::otherPackets() const {
    const tarn_recording_stats s = stats();
    return s.records - s.measurement;
}

Ipv4 ipv4Of(uint32_t hostOrder) {
    return {static_cast<uint8_t>(hostOrder >> 24), static_cast<uint8_t>(hostOrder >> 16),
            static_cast<uint8_t>(hostOrder >> 8), static_cast<uint8_t>(hostOrder)};
}

}  // namespace tarn::cli
