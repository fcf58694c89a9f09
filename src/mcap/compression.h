// Chunk compression and decompression: zstd, lz4 (the LZ4 frame format) or none, by the names
// MCAP gives them.
#ifndef TARN_MCAP_COMPRESSION_H
#define TARN_MCAP_COMPRESSION_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace tarn::mcap {

enum class Compression { kZstd, kLz4, kNone };

// The chunk record's compression field: "zstd", "lz4" or "".
const char* compressionName(Compression compression);

class Compressor {
  public:
    explicit Compressor(Compression compression);
    ~Compressor();
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;

    Compression compression() const { return compression_; }
    // Replaces out with in, compressed. False when the compressor fails (out of memory).
    bool compress(const std::vector<uint8_t>& in, std::vector<uint8_t>& out);

  private:
    struct Contexts;
    Compression compression_;
    std::unique_ptr<Contexts> contexts_;
};

// Decompresses a chunk's records stored with the named compression ("zstd", "lz4" or "") into out,
// which holds exactly their uncompressed size. False for another name, damaged bytes or a size
// other than out's.
bool decompress(std::string_view compression, const uint8_t* in, std::size_t size, uint8_t* out,
                std::size_t outSize);

}  // namespace tarn::mcap

#endif  // TARN_MCAP_COMPRESSION_H
