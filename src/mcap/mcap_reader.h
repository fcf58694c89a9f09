// Reads an MCAP file front to back, the way a reader recovers a file without its summary: the
// records of the data section in file order, the records inside each chunk (decompressed, its CRC
// checked) in place of the chunk. Schemas and channels are learnt on the way; messages are handed
// out one at a time. Every length is checked against what holds it, so damaged input ends the
// reading with a reason, never with a read out of bounds.
//
// One thread at a time.
#ifndef TARN_MCAP_MCAP_READER_H
#define TARN_MCAP_MCAP_READER_H

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tarn::mcap {

struct ChannelInfo {
    std::string topic;
    std::string messageEncoding;
    std::string schemaName;  // "" when its schema was not seen first
};

struct MessageView {
    uint16_t channel = 0;
    uint64_t logTime = 0;
    const uint8_t* data = nullptr;  // valid until the next call of next()
    std::size_t size = 0;
};

class McapReader {
  public:
    enum class Result {
        kMessage,  // a message is in the view
        kEnd,      // the data section ended (its end record, or the footer)
        kCut,      // the file ends inside the data section: a recording cut short
        kDamaged,  // a record breaks the format; error() says which and where
    };

    McapReader() = default;
    ~McapReader();
    McapReader(const McapReader&) = delete;
    McapReader& operator=(const McapReader&) = delete;

    // Takes the file (a regular file or a memory stream) and checks its magic and header. False,
    // with the reason in error(), for anything else; the file is closed either way on destruction.
    bool open(std::FILE* file);
    Result next(MessageView& message);
    // The channel of an id seen so far, or null.
    const ChannelInfo* channel(uint16_t id) const;
    // Why reading stopped (damage, or where a cut file ends); "" otherwise.
    const std::string& error() const { return error_; }

  private:
    // One record's opcode and body, from the file or from the open chunk.
    struct Record {
        uint8_t opcode = 0;
        const uint8_t* body = nullptr;
        uint64_t length = 0;
    };
    enum class ChunkRecord { kNone, kRecord, kBroken };
    Result fileRecord(Record& record);
    ChunkRecord chunkRecord(Record& record);  // kNone once the open chunk is used up
    bool openChunk(const Record& chunk);
    // kMessage when the record is a message (in the view); kEnd for records read and passed over.
    Result take(const Record& record, MessageView& message);
    Result damaged(const std::string& why);

    std::FILE* file_ = nullptr;
    uint64_t fileSize_ = 0;
    uint64_t offset_ = 0;        // of the next file record
    uint64_t recordAt_ = 0;      // of the file record read last
    std::vector<uint8_t> body_;  // the file record read last
    std::unique_ptr<uint8_t[]> chunk_;
    uint64_t chunkSize_ = 0;
    uint64_t chunkAt_ = 0;  // the next record in the chunk
    std::map<uint16_t, std::string> schemas_;
    std::map<uint16_t, ChannelInfo> channels_;
    std::string error_;
    bool ended_ = false;
    Result final_ = Result::kEnd;  // what next() returns once ended_
};

}  // namespace tarn::mcap

#endif  // TARN_MCAP_MCAP_READER_H
