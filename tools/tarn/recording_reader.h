// A recording read through the library's tarn_recording reader, for tarn info, export and replay:
// a damaged file is a Failure, a cut one ends at its cut with one warning line.
#ifndef TARN_TOOLS_TARN_RECORDING_READER_H
#define TARN_TOOLS_TARN_RECORDING_READER_H

#include <string>

#include "tarn/recording.h"
#include "tools/tarn/address.h"

namespace tarn::cli {

class RecordingReader {
  public:
    // Throws Failure (ExitStatus::file) when the file cannot be read. prefix ("tarn info") starts
    // the warning line and must outlive the reader; null says nothing of a cut.
    RecordingReader(const std::string& path, const char* prefix);
    ~RecordingReader();
    RecordingReader(const RecordingReader&) = delete;
    RecordingReader& operator=(const RecordingReader&) = delete;

    // The next measurement datagram; false at the end. At a cut, prints the warning line once on
    // standard error. Throws Failure (ExitStatus::file) on a damaged record.
    bool next(tarn_recording_datagram& datagram);
    tarn_recording_stats stats() const;
    // Records passed over: no measurement datagram, or not readable as one.
    uint64_t otherPackets() const;

  private:
    tarn_recording_reader* reader_ = nullptr;
    const char* prefix_;
    bool warned_ = false;
};

Ipv4 ipv4Of(uint32_t hostOrder);

}  // namespace tarn::cli

#endif  // TARN_TOOLS_TARN_RECORDING_READER_H
