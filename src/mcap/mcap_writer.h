// Writes one MCAP file: schemas and channels at the start of the data section, messages in
// compressed chunks each followed by its message indexes, then the data end record with the data
// section's CRC, and a summary (schemas, channels, statistics, chunk indexes) with its offsets and
// CRC, so readers can seek. A file cut short keeps every chunk written before the cut: each chunk
// is written whole and flushed.
//
// One thread at a time. Every call after a failed write returns the same error.
#ifndef TARN_MCAP_MCAP_WRITER_H
#define TARN_MCAP_MCAP_WRITER_H

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "compression.h"
#include "mcap_format.h"

namespace tarn::mcap {

// Results: 0, or one of these (the C interface's codes).
enum class WriteResult { kOk = 0, kOpen, kWrite, kCompress, kClosed };

class McapWriter {
  public:
    struct Options {
        Compression compression = Compression::kZstd;
        uint64_t chunkBytes = 4u << 20;  // uncompressed records before a chunk is written
        std::string profile;
        std::string library;
    };

    McapWriter() = default;
    ~McapWriter();  // closes a file still open
    McapWriter(const McapWriter&) = delete;
    McapWriter& operator=(const McapWriter&) = delete;

    WriteResult open(const std::string& path, const Options& options);
    // Ids count from 1, in the order added.
    WriteResult addSchema(std::string_view name, std::string_view encoding, std::string_view data,
                          uint16_t& id);
    WriteResult addChannel(uint16_t schemaId, std::string_view topic,
                           std::string_view messageEncoding, uint16_t& id);
    WriteResult write(uint16_t channelId, uint64_t logTime, uint64_t publishTime,
                      const uint8_t* data, std::size_t size);
    // Writes the last chunk, the data end, the summary and the footer, and closes the file.
    WriteResult close();

    uint64_t messagesWritten() const { return messageCount_; }

  private:
    WriteResult fail(WriteResult result);
    WriteResult put(const std::vector<uint8_t>& bytes, bool countInDataCrc = true);
    WriteResult flushChunk();
    void summaryGroup(Opcode op, const RecordBuffer& records, RecordBuffer& summary,
                      std::vector<std::pair<Opcode, std::pair<uint64_t, uint64_t>>>& groups);

    std::FILE* file_ = nullptr;
    WriteResult error_ = WriteResult::kClosed;
    Options options_;
    uint64_t offset_ = 0;
    uint32_t dataCrc_ = 0;

    RecordBuffer schemas_;   // the schema records, again for the summary
    RecordBuffer channels_;  // likewise the channel records
    RecordBuffer chunkIndexes_;
    uint16_t schemaCount_ = 0;
    uint16_t channelCount_ = 0;
    std::map<uint16_t, uint32_t> sequences_;
    std::map<uint16_t, uint64_t> channelMessages_;
    uint64_t messageCount_ = 0;
    uint32_t chunkCount_ = 0;
    uint64_t startTime_ = UINT64_MAX;
    uint64_t endTime_ = 0;

    // The open chunk.
    std::unique_ptr<Compressor> compressor_;
    RecordBuffer chunk_;
    std::vector<uint8_t> compressed_;
    uint64_t chunkStart_ = UINT64_MAX;
    uint64_t chunkEnd_ = 0;
    std::map<uint16_t, std::vector<std::pair<uint64_t, uint64_t>>> messageIndex_;
};

}  // namespace tarn::mcap

#endif  // TARN_MCAP_MCAP_WRITER_H
