#include "mcap_reader.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "compression.h"
#include "mcap_format.h"

namespace tarn::mcap {
namespace {

// The largest chunk this reader decompresses; this library writes chunks of a few MiB.
constexpr uint64_t kMaxChunkBytes = 1ull << 30;

uint32_t crc32Of(const uint8_t* data, uint64_t n) {
    uint32_t crc = 0;
    while (n > 0) {
        const uInt part = static_cast<uInt>(n < (1u << 30) ? n : (1u << 30));
        crc = static_cast<uint32_t>(::crc32(crc, data, part));
        data += part;
        n -= part;
    }
    return crc;
}

}  // namespace

McapReader::~McapReader() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

McapReader::Result McapReader::damaged(const std::string& why) {
    error_ = "damaged at byte " + std::to_string(recordAt_) + ": " + why;
    ended_ = true;
    final_ = Result::kDamaged;
    return final_;
}

bool McapReader::open(std::FILE* file) {
    file_ = file;
    if (file_ == nullptr || std::fseek(file_, 0, SEEK_END) != 0) {
        error_ = "the file cannot be read";
        return false;
    }
    const long size = std::ftell(file_);
    std::rewind(file_);
    fileSize_ = size < 0 ? 0 : static_cast<uint64_t>(size);
    uint8_t magic[sizeof kMagic] = {};
    if (std::fread(magic, 1, sizeof magic, file_) != sizeof magic ||
        std::memcmp(magic, kMagic, sizeof magic) != 0) {
        error_ = "not an MCAP file (no MCAP magic)";
        return false;
    }
    offset_ = sizeof kMagic;
    Record header;
    if (fileRecord(header) != Result::kMessage || header.opcode != kHeader) {
        error_ = "not an MCAP file (no header record after the magic)";
        return false;
    }
    return true;
}

// kMessage when a record was read, kEnd at the end of the file, kCut inside a record.
McapReader::Result McapReader::fileRecord(Record& record) {
    recordAt_ = offset_;
    uint8_t prefix[kRecordPrefix];
    const std::size_t got = std::fread(prefix, 1, sizeof prefix, file_);
    if (got == 0 && std::feof(file_)) {
        return Result::kEnd;
    }
    uint64_t length = 0;
    std::memcpy(&length, prefix + 1, sizeof length);
    if (got != sizeof prefix || length > fileSize_ - std::min(fileSize_, offset_ + got)) {
        return Result::kCut;
    }
    body_.resize(static_cast<std::size_t>(length));
    if (length > 0 && std::fread(body_.data(), 1, body_.size(), file_) != body_.size()) {
        return Result::kCut;
    }
    offset_ += kRecordPrefix + length;
    record = {prefix[0], body_.data(), length};
    return Result::kMessage;
}

McapReader::ChunkRecord McapReader::chunkRecord(Record& record) {
    if (chunkAt_ >= chunkSize_) {
        return ChunkRecord::kNone;
    }
    RecordCursor cursor(chunk_.get() + chunkAt_, chunkSize_ - chunkAt_);
    const uint8_t opcode = cursor.u8();
    const uint64_t length = cursor.u64();
    const std::string_view body = cursor.bytes(length);
    if (!cursor.ok()) {
        chunkAt_ = chunkSize_;
        return ChunkRecord::kBroken;
    }
    chunkAt_ = chunkSize_ - cursor.left();
    record = {opcode, reinterpret_cast<const uint8_t*>(body.data()), length};
    return ChunkRecord::kRecord;
}

bool McapReader::openChunk(const Record& chunk) {
    RecordCursor cursor(chunk.body, chunk.length);
    cursor.u64();  // message start time
    cursor.u64();  // message end time
    const uint64_t size = cursor.u64();
    const uint32_t crc = cursor.u32();
    const std::string_view compression = cursor.string();
    const std::string_view stored = cursor.bytes(cursor.u64());
    if (!cursor.ok() || size > kMaxChunkBytes) {
        damaged("a chunk record's fields run past it, or it claims more than 1 GiB");
        return false;
    }
    chunk_.reset(new (std::nothrow) uint8_t[size == 0 ? 1 : size]);
    if (chunk_ == nullptr) {
        damaged("no memory for a chunk of " + std::to_string(size) + " bytes");
        return false;
    }
    if (!decompress(compression, reinterpret_cast<const uint8_t*>(stored.data()), stored.size(),
                    chunk_.get(), size)) {
        damaged("a chunk does not decompress (" +
                (compression.empty() ? std::string("uncompressed") : std::string(compression)) +
                ") to its size");
        return false;
    }
    // A CRC of 0 means none was written.
    if (crc != 0 && crc32Of(chunk_.get(), size) != crc) {
        damaged("a chunk's records do not match its CRC");
        return false;
    }
    chunkSize_ = size;
    chunkAt_ = 0;
    return true;
}

McapReader::Result McapReader::take(const Record& record, MessageView& message) {
    RecordCursor cursor(record.body, record.length);
    switch (record.opcode) {
        case kSchema: {
            const uint16_t id = cursor.u16();
            const std::string_view name = cursor.string();
            if (!cursor.ok()) {
                return damaged("a schema record's fields run past it");
            }
            schemas_[id] = std::string(name);
            return Result::kEnd;
        }
        case kChannel: {
            const uint16_t id = cursor.u16();
            const uint16_t schema = cursor.u16();
            ChannelInfo channel;
            channel.topic = std::string(cursor.string());
            channel.messageEncoding = std::string(cursor.string());
            if (!cursor.ok()) {
                return damaged("a channel record's fields run past it");
            }
            const auto found = schemas_.find(schema);
            if (found != schemas_.end()) {
                channel.schemaName = found->second;
            }
            channels_[id] = std::move(channel);
            return Result::kEnd;
        }
        case kMessage: {
            message.channel = cursor.u16();
            cursor.u32();  // sequence
            message.logTime = cursor.u64();
            cursor.u64();  // publish time
            if (!cursor.ok()) {
                return damaged("a message record is shorter than its fields");
            }
            message.data = cursor.here();
            message.size = static_cast<std::size_t>(cursor.left());
            return Result::kMessage;
        }
        default:
            return Result::kEnd;  // indexes, attachments, metadata: not needed to read on
    }
}

McapReader::Result McapReader::next(MessageView& message) {
    while (!ended_) {
        Record record;
        const ChunkRecord inChunk = chunkRecord(record);
        if (inChunk == ChunkRecord::kBroken) {
            return damaged("a record runs past the end of its chunk");
        }
        if (inChunk == ChunkRecord::kRecord) {
            const Result taken = take(record, message);
            if (taken != Result::kEnd) {
                return taken;
            }
            continue;
        }
        const Result read = fileRecord(record);
        if (read != Result::kMessage) {
            ended_ = true;
            final_ = Result::kCut;
            error_ = "the file ends at byte " + std::to_string(recordAt_) +
                     (read == Result::kCut ? ", inside a record: it was cut short"
                                           : " without its data end: it was cut short");
            return final_;
        }
        switch (record.opcode) {
            case kChunk:
                if (!openChunk(record)) {
                    return Result::kDamaged;
                }
                break;
            case kDataEnd:
            case kFooter:
                ended_ = true;
                return Result::kEnd;
            case kHeader:
                return damaged("a second header record");
            default: {
                const Result taken = take(record, message);
                if (taken != Result::kEnd) {
                    return taken;
                }
            }
        }
    }
    return final_;
}

const ChannelInfo* McapReader::channel(uint16_t id) const {
    const auto found = channels_.find(id);
    return found == channels_.end() ? nullptr : &found->second;
}

}  // namespace tarn::mcap
