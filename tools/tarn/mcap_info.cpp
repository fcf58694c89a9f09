// Reads an MCAP file's footer and summary section (its channels and statistics). A file without
// a summary (cut short, or written without one) is scanned record by record instead: its chunk
// headers still give the time span and its unchunked channels and messages their counts.
#include "tools/tarn/mcap_info.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <vector>

#include "tools/tarn/exit_status.h"

namespace tarn::cli {
namespace {

constexpr char kMagic[] = "\x89MCAP0\r\n";
constexpr std::size_t kMagicBytes = 8;
constexpr std::size_t kFooterBytes = 1 + 8 + 8 + 8 + 4;  // opcode, length, two offsets, CRC
constexpr uint8_t kOpChannel = 0x04;
constexpr uint8_t kOpMessage = 0x05;
constexpr uint8_t kOpChunk = 0x06;
constexpr uint8_t kOpFooter = 0x02;
constexpr uint8_t kOpStatistics = 0x0B;
constexpr double kNanosecondsPerSecond = 1e9;

// Little-endian fields of one record; any read past its end throws.
class Fields {
  public:
    Fields(const std::string& path, const uint8_t* data, std::size_t size)
        : path_(path), data_(data), size_(size) {}
    uint64_t number(std::size_t bytes) {
        need(bytes);
        uint64_t value = 0;
        for (std::size_t i = 0; i < bytes; ++i) {
            value |= static_cast<uint64_t>(data_[at_ + i]) << (8 * i);
        }
        at_ += bytes;
        return value;
    }
    std::string text() {
        const auto length = static_cast<std::size_t>(number(4));
        need(length);
        std::string value(reinterpret_cast<const char*>(data_ + at_), length);
        at_ += length;
        return value;
    }
    void skip(uint64_t bytes) {
        need(bytes);
        at_ += static_cast<std::size_t>(bytes);
    }
    std::size_t left() const { return size_ - at_; }

  private:
    void need(uint64_t bytes) const {
        if (bytes > size_ - at_) {
            throw Failure(ExitStatus::file, path_ + ": a record of the MCAP file is cut short");
        }
    }
    const std::string& path_;
    const uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

struct Summary {
    std::map<uint16_t, std::string> topics;
    std::map<uint16_t, uint64_t> counts;
    uint64_t messages = 0;
    uint64_t chunks = 0;
    uint64_t startNs = 0;
    uint64_t endNs = 0;
    bool fromSummary = false;
};

// Reads the records of data[0, size) into summary.
void readRecords(const std::string& path, const uint8_t* data, std::size_t size, Summary& s) {
    Fields records(path, data, size);
    while (records.left() >= 9) {
        const auto op = static_cast<uint8_t>(records.number(1));
        const uint64_t length = records.number(8);
        if (length > records.left()) {
            break;  // cut inside this record: what came before stands
        }
        const std::size_t offset = size - records.left();
        Fields f(path, data + offset, static_cast<std::size_t>(length));
        if (op == kOpChannel) {
            const auto id = static_cast<uint16_t>(f.number(2));
            f.number(2);
            s.topics[id] = f.text();
        } else if (op == kOpStatistics) {
            s.messages = f.number(8);
            f.number(2);
            f.number(4);
            f.number(4);
            f.number(4);
            s.chunks = f.number(4);
            s.startNs = f.number(8);
            s.endNs = f.number(8);
            const uint64_t mapBytes = f.number(4);
            for (uint64_t read = 0; read + 10 <= mapBytes; read += 10) {
                const auto id = static_cast<uint16_t>(f.number(2));
                s.counts[id] = f.number(8);
            }
            s.fromSummary = true;
        } else if (op == kOpChunk && !s.fromSummary) {
            const uint64_t start = f.number(8);
            const uint64_t end = f.number(8);
            s.startNs = s.chunks == 0 || start < s.startNs ? start : s.startNs;
            s.endNs = end > s.endNs ? end : s.endNs;
            ++s.chunks;
        } else if (op == kOpMessage && !s.fromSummary) {
            ++s.counts[static_cast<uint16_t>(f.number(2))];
            ++s.messages;
        } else if (op == kOpFooter) {
            break;
        }
        records.skip(length);
    }
}

}  // namespace

bool isMcapFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    char head[kMagicBytes] = {};
    return file.read(head, kMagicBytes) && std::memcmp(head, kMagic, kMagicBytes) == 0;
}

void printMcapInfo(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw Failure(ExitStatus::file, "cannot read " + path);
    }
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), {});
    if (bytes.size() < kMagicBytes || std::memcmp(bytes.data(), kMagic, kMagicBytes) != 0) {
        throw Failure(ExitStatus::file, path + " is not an MCAP file");
    }
    Summary s;
    const bool whole = bytes.size() >= 2 * kMagicBytes + kFooterBytes &&
                       std::memcmp(bytes.data() + bytes.size() - kMagicBytes, kMagic,
                                   kMagicBytes) == 0;
    if (whole) {
        const std::size_t footer = bytes.size() - kMagicBytes - kFooterBytes;
        Fields f(path, bytes.data() + footer, kFooterBytes);
        f.number(1);
        f.number(8);
        const uint64_t summaryStart = f.number(8);
        if (summaryStart != 0 && summaryStart < footer) {
            readRecords(path, bytes.data() + summaryStart,
                        footer - static_cast<std::size_t>(summaryStart), s);
        }
    }
    if (!s.fromSummary) {
        s = Summary{};
        readRecords(path, bytes.data() + kMagicBytes, bytes.size() - kMagicBytes, s);
    }
    const double span = static_cast<double>(s.endNs - s.startNs) / kNanosecondsPerSecond;
    std::printf("%s\n", path.c_str());
    std::printf("  format        MCAP, %s\n",
                s.fromSummary ? "read from its summary"
                              : "no summary (cut short?): scanned; messages inside chunks "
                                "are not counted");
    std::printf("  messages      %" PRIu64 " in %" PRIu64 " chunks\n", s.messages, s.chunks);
    std::printf("  duration      %.3f s\n", span);
    for (const auto& [id, topic] : s.topics) {
        const auto count = s.counts.count(id) != 0 ? s.counts.at(id) : 0;
        if (span > 0.0 && count > 1) {
            std::printf("  %-22s %8" PRIu64 " messages  %.2f /s\n", topic.c_str(), count,
                        static_cast<double>(count - 1) / span);
        } else {
            std::printf("  %-22s %8" PRIu64 " messages\n", topic.c_str(), count);
        }
    }
}

}  // namespace tarn::cli
