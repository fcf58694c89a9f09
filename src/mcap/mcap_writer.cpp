#include "mcap_writer.h"

#include <zlib.h>

#include <algorithm>

namespace tarn::mcap {
namespace {

uint32_t crc32Of(uint32_t crc, const uint8_t* data, std::size_t n) {
    // zlib's crc32 takes at most 4 GiB at a time.
    while (n > 0) {
        const uInt part = static_cast<uInt>(std::min<std::size_t>(n, 1u << 30));
        crc = static_cast<uint32_t>(::crc32(crc, data, part));
        data += part;
        n -= part;
    }
    return crc;
}

}  // namespace

McapWriter::~McapWriter() {
    if (file_ != nullptr) {
        close();
    }
}

WriteResult McapWriter::fail(WriteResult result) {
    if (error_ == WriteResult::kOk) {
        error_ = result;
    }
    return error_;
}

WriteResult McapWriter::put(const std::vector<uint8_t>& bytes, bool countInDataCrc) {
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) {
        return fail(WriteResult::kWrite);
    }
    if (countInDataCrc) {
        dataCrc_ = crc32Of(dataCrc_, bytes.data(), bytes.size());
    }
    offset_ += bytes.size();
    return WriteResult::kOk;
}

WriteResult McapWriter::open(const std::string& path, const Options& options) {
    if (file_ != nullptr) {
        return WriteResult::kOpen;
    }
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) {
        return WriteResult::kOpen;
    }
    error_ = WriteResult::kOk;
    options_ = options;
    compressor_ = std::make_unique<Compressor>(options.compression);
    RecordBuffer head;
    head.raw(kMagic, sizeof kMagic);
    head.begin(kHeader);
    head.string(options.profile);
    head.string(options.library);
    head.end();
    return put(head.bytes());
}

WriteResult McapWriter::addSchema(std::string_view name, std::string_view encoding,
                                  std::string_view data, uint16_t& id) {
    if (error_ != WriteResult::kOk) {
        return error_;
    }
    id = ++schemaCount_;
    RecordBuffer record;
    record.begin(kSchema);
    record.u16(id);
    record.string(name);
    record.string(encoding);
    record.string(data);  // bytes, with the same 32-bit length
    record.end();
    schemas_.raw(record.bytes().data(), record.size());
    return put(record.bytes());
}

WriteResult McapWriter::addChannel(uint16_t schemaId, std::string_view topic,
                                   std::string_view messageEncoding, uint16_t& id) {
    if (error_ != WriteResult::kOk) {
        return error_;
    }
    id = ++channelCount_;
    RecordBuffer record;
    record.begin(kChannel);
    record.u16(id);
    record.u16(schemaId);
    record.string(topic);
    record.string(messageEncoding);
    record.u32(0);  // no metadata
    record.end();
    channels_.raw(record.bytes().data(), record.size());
    channelMessages_[id] = 0;
    return put(record.bytes());
}

WriteResult McapWriter::write(uint16_t channelId, uint64_t logTime, uint64_t publishTime,
                              const uint8_t* data, std::size_t size) {
    if (error_ != WriteResult::kOk) {
        return error_;
    }
    messageIndex_[channelId].emplace_back(logTime, chunk_.size());
    chunk_.begin(kMessage);
    chunk_.u16(channelId);
    chunk_.u32(sequences_[channelId]++);
    chunk_.u64(logTime);
    chunk_.u64(publishTime);
    chunk_.raw(data, size);
    chunk_.end();
    chunkStart_ = std::min(chunkStart_, logTime);
    chunkEnd_ = std::max(chunkEnd_, logTime);
    ++channelMessages_[channelId];
    ++messageCount_;
    return chunk_.size() >= options_.chunkBytes ? flushChunk() : WriteResult::kOk;
}

WriteResult McapWriter::flushChunk() {
    if (chunk_.size() == 0) {
        return WriteResult::kOk;
    }
    const std::vector<uint8_t>& records = chunk_.bytes();
    const uint32_t recordsCrc = crc32Of(0, records.data(), records.size());
    const bool none = compressor_->compression() == Compression::kNone;
    if (!none && !compressor_->compress(records, compressed_)) {
        return fail(WriteResult::kCompress);
    }
    const std::vector<uint8_t>& stored = none ? records : compressed_;

    RecordBuffer head;
    head.begin(kChunk);
    head.u64(chunkStart_);
    head.u64(chunkEnd_);
    head.u64(records.size());
    head.u32(recordsCrc);
    head.string(compressionName(compressor_->compression()));
    head.u64(stored.size());
    const uint64_t length = head.size() - kRecordPrefix + stored.size();
    std::memcpy(head.bytes().data() + 1, &length, sizeof length);
    const uint64_t chunkOffset = offset_;
    // Uncompressed records are summed once: their CRC joins the data section's.
    if (put(head.bytes()) != WriteResult::kOk || put(stored, !none) != WriteResult::kOk) {
        return error_;
    }
    if (none) {
        dataCrc_ = static_cast<uint32_t>(
            crc32_combine(dataCrc_, recordsCrc, static_cast<z_off_t>(records.size())));
    }
    const uint64_t chunkLength = offset_ - chunkOffset;

    RecordBuffer indexes;
    std::vector<std::pair<uint16_t, uint64_t>> indexOffsets;
    for (const auto& [channel, entries] : messageIndex_) {
        indexOffsets.emplace_back(channel, offset_ + indexes.size());
        indexes.begin(kMessageIndex);
        indexes.u16(channel);
        indexes.u32(static_cast<uint32_t>(entries.size() * 16));
        for (const auto& [time, at] : entries) {
            indexes.u64(time);
            indexes.u64(at);
        }
        indexes.end();
    }
    if (put(indexes.bytes()) != WriteResult::kOk) {
        return error_;
    }

    chunkIndexes_.begin(kChunkIndex);
    chunkIndexes_.u64(chunkStart_);
    chunkIndexes_.u64(chunkEnd_);
    chunkIndexes_.u64(chunkOffset);
    chunkIndexes_.u64(chunkLength);
    chunkIndexes_.u32(static_cast<uint32_t>(indexOffsets.size() * 10));
    for (const auto& [channel, at] : indexOffsets) {
        chunkIndexes_.u16(channel);
        chunkIndexes_.u64(at);
    }
    chunkIndexes_.u64(indexes.size());
    chunkIndexes_.string(compressionName(compressor_->compression()));
    chunkIndexes_.u64(stored.size());
    chunkIndexes_.u64(records.size());
    chunkIndexes_.end();

    startTime_ = std::min(startTime_, chunkStart_);
    endTime_ = std::max(endTime_, chunkEnd_);
    ++chunkCount_;
    chunk_.clear();
    messageIndex_.clear();
    chunkStart_ = UINT64_MAX;
    chunkEnd_ = 0;
    // Whole chunks reach the file one by one, so a crash leaves every earlier one readable.
    return std::fflush(file_) == 0 ? WriteResult::kOk : fail(WriteResult::kWrite);
}

void McapWriter::summaryGroup(
    Opcode op, const RecordBuffer& records, RecordBuffer& summary,
    std::vector<std::pair<Opcode, std::pair<uint64_t, uint64_t>>>& groups) {
    if (records.size() == 0) {
        return;
    }
    groups.push_back({op, {offset_ + summary.size(), records.size()}});
    summary.raw(records.bytes().data(), records.size());
}

WriteResult McapWriter::close() {
    if (file_ == nullptr) {
        return WriteResult::kClosed;
    }
    if (error_ == WriteResult::kOk) {
        flushChunk();
    }
    if (error_ == WriteResult::kOk) {
        RecordBuffer end;
        end.begin(kDataEnd);
        end.u32(dataCrc_);
        end.end();
        put(end.bytes(), false);
    }
    if (error_ == WriteResult::kOk) {
        RecordBuffer statistics;
        statistics.begin(kStatistics);
        statistics.u64(messageCount_);
        statistics.u16(schemaCount_);
        statistics.u32(channelCount_);
        statistics.u32(0);  // attachments
        statistics.u32(0);  // metadata
        statistics.u32(chunkCount_);
        statistics.u64(messageCount_ > 0 ? startTime_ : 0);
        statistics.u64(endTime_);
        statistics.u32(static_cast<uint32_t>(channelMessages_.size() * 10));
        for (const auto& [channel, count] : channelMessages_) {
            statistics.u16(channel);
            statistics.u64(count);
        }
        statistics.end();

        const uint64_t summaryStart = offset_;
        RecordBuffer summary;
        std::vector<std::pair<Opcode, std::pair<uint64_t, uint64_t>>> groups;
        summaryGroup(kSchema, schemas_, summary, groups);
        summaryGroup(kChannel, channels_, summary, groups);
        summaryGroup(kStatistics, statistics, summary, groups);
        summaryGroup(kChunkIndex, chunkIndexes_, summary, groups);
        const uint64_t summaryOffsetStart = summaryStart + summary.size();
        for (const auto& [op, group] : groups) {
            summary.begin(kSummaryOffset);
            summary.u8(op);
            summary.u64(group.first);
            summary.u64(group.second);
            summary.end();
        }
        // The summary CRC runs through the footer's fields before it, its length included.
        summary.u8(kFooter);
        summary.u64(8 + 8 + 4);
        summary.u64(summaryStart);
        summary.u64(summaryOffsetStart);
        summary.u32(crc32Of(0, summary.bytes().data(), summary.size()));
        summary.raw(kMagic, sizeof kMagic);
        put(summary.bytes(), false);
    }
    if (std::fclose(file_) != 0) {
        fail(WriteResult::kWrite);
    }
    file_ = nullptr;
    const WriteResult result = error_;
    error_ = WriteResult::kClosed;
    return result;
}

}  // namespace tarn::mcap
