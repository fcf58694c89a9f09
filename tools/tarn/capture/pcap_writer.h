// A capture file in the pcap format with nanosecond times and Ethernet link type, written with
// libpcap, which tcpdump and Wireshark open.
#ifndef TARN_TOOLS_TARN_CAPTURE_PCAP_WRITER_H
#define TARN_TOOLS_TARN_CAPTURE_PCAP_WRITER_H

#include <pcap/pcap.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace tarn::capture {

// Not thread-safe: one thread writes.
class PcapWriter {
  public:
    // Creates or truncates the file. Throws std::runtime_error naming the path.
    explicit PcapWriter(const std::string& path);
    ~PcapWriter();
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    // One frame with its capture time.
    void write(std::chrono::system_clock::time_point when, const std::vector<uint8_t>& frame);
    // Flushes and closes the file; throws std::runtime_error when the data did not reach it.
    void close();

  private:
    std::string path_;
    pcap_t* pcap_ = nullptr;
    pcap_dumper_t* dumper_ = nullptr;
};

}  // namespace tarn::capture

#endif  // TARN_TOOLS_TARN_CAPTURE_PCAP_WRITER_H
