// A capture file in the pcap format with nanosecond times and Ethernet link type, which tcpdump and
// Wireshark open. Written with plain system calls so that every write is checked and the file
// always ends on a whole record: after a failed write it is cut back to the last record the disk
// took whole, and records() counts exactly the records in it.
#ifndef TARN_RECORDING_PCAP_WRITER_H
#define TARN_RECORDING_PCAP_WRITER_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarn::recording {

// A write, flush or close that failed; the message is one line naming the file.
class WriteError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Not thread-safe: one thread writes.
class PcapWriter {
  public:
    // Creates or truncates the file and writes its header. Throws WriteError.
    explicit PcapWriter(const std::string& path);
    ~PcapWriter();
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    // One frame with its capture time. Buffered; a full buffer goes to the file. Throws
    // WriteError when the file refuses it (the writer is then failed: later calls throw too).
    void write(int64_t realtimeNs, const uint8_t* frame, std::size_t length);
    void write(std::chrono::system_clock::time_point when, const std::vector<uint8_t>& frame);
    // Hands the buffer to the file. Throws WriteError.
    void flush();
    // Flushes, makes the data durable and closes the file. Throws WriteError.
    void close();

    uint64_t records() const { return records_; }                // whole records in the file
    uint64_t bytes() const { return fileBytes_; }                // the file's length
    uint64_t unwritten() const { return accepted_ - records_; }  // taken by write(), not in it

  private:
    [[noreturn]] void fail(const std::string& what, int error);

    std::string path_;
    int fd_ = -1;
    bool failed_ = false;
    std::vector<uint8_t> buffer_;
    std::vector<std::size_t> ends_;  // where each buffered record ends in buffer_
    uint64_t accepted_ = 0;
    uint64_t records_ = 0;
    uint64_t fileBytes_ = 0;
};

}  // namespace tarn::recording

#endif  // TARN_RECORDING_PCAP_WRITER_H
