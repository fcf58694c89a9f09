#include "tools/tarn/capture/pcap_writer.h"

#include <stdexcept>

namespace tarn::capture {
namespace {

constexpr int kSnapLength = 65535;

}  // namespace

PcapWriter::PcapWriter(const std::string& path) : path_(path) {
    pcap_ =
        pcap_open_dead_with_tstamp_precision(DLT_EN10MB, kSnapLength, PCAP_TSTAMP_PRECISION_NANO);
    if (pcap_ == nullptr) {
        throw std::runtime_error("cannot write " + path + ": libpcap refused the link type");
    }
    dumper_ = pcap_dump_open(pcap_, path.c_str());
    if (dumper_ == nullptr) {
        const std::string reason = pcap_geterr(pcap_);
        pcap_close(pcap_);
        throw std::runtime_error("cannot write " + path + ": " + reason);
    }
}

PcapWriter::~PcapWriter() {
    if (dumper_ != nullptr) {
        pcap_dump_close(dumper_);
    }
    pcap_close(pcap_);
}

void PcapWriter::write(std::chrono::system_clock::time_point when,
                       const std::vector<uint8_t>& frame) {
    if (dumper_ == nullptr) {
        throw std::logic_error("write after close of " + path_);
    }
    const auto since = when.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    pcap_pkthdr header{};
    header.ts.tv_sec = static_cast<time_t>(seconds.count());
    // A nanosecond capture file keeps nanoseconds where the field says microseconds.
    header.ts.tv_usec = static_cast<suseconds_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
    header.caplen = static_cast<bpf_u_int32>(frame.size());
    header.len = header.caplen;
    pcap_dump(reinterpret_cast<u_char*>(dumper_), &header, frame.data());
}

void PcapWriter::close() {
    if (dumper_ == nullptr) {
        return;
    }
    const bool flushed = pcap_dump_flush(dumper_) == 0;
    pcap_dump_close(dumper_);
    dumper_ = nullptr;
    if (!flushed) {
        throw std::runtime_error("cannot write " + path_ + ": the data did not reach the file");
    }
}

}  // namespace tarn::capture
