// The handles of the C interfaces of this component: each wraps its C++ object.
#ifndef TARN_RECORDING_C_HANDLES_H
#define TARN_RECORDING_C_HANDLES_H

#include <cstddef>
#include <memory>
#include <string>

#include "recording/pcap_reader.h"
#include "recording/recorder.h"
#include "tarn/recording.h"

struct tarn_recording_reader {
    std::unique_ptr<tarn::recording::PcapReader> rep;
};

struct tarn_recording_writer {
    std::unique_ptr<tarn::recording::Recorder> rep;
    std::string error;  // finish()'s error, kept for tarn_recording_writer_error
};

namespace tarn::recording {

// Writes text into a caller's buffer of size bytes (cut to fit), when there is one.
void copyError(const std::string& text, char* error, std::size_t size);
void toDatagram(const Datagram& from, tarn_recording_datagram& to);

}  // namespace tarn::recording

#endif  // TARN_RECORDING_C_HANDLES_H
