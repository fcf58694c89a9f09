#include "compression.h"

#include <lz4frame.h>
#include <zstd.h>

#include <cstring>

namespace tarn::mcap {
namespace {

// Fast levels: a recording keeps up with the sensor on one core's fraction.
constexpr int kZstdLevel = 1;

}  // namespace

struct Compressor::Contexts {
    ZSTD_CCtx* zstd = nullptr;
    ~Contexts() { ZSTD_freeCCtx(zstd); }
};

const char* compressionName(Compression compression) {
    switch (compression) {
        case Compression::kZstd:
            return "zstd";
        case Compression::kLz4:
            return "lz4";
        default:
            return "";
    }
}

Compressor::Compressor(Compression compression)
    : compression_(compression), contexts_(std::make_unique<Contexts>()) {}

Compressor::~Compressor() = default;

bool Compressor::compress(const std::vector<uint8_t>& in, std::vector<uint8_t>& out) {
    switch (compression_) {
        case Compression::kZstd: {
            if (contexts_->zstd == nullptr && (contexts_->zstd = ZSTD_createCCtx()) == nullptr) {
                return false;
            }
            out.resize(ZSTD_compressBound(in.size()));
            const size_t n = ZSTD_compressCCtx(contexts_->zstd, out.data(), out.size(), in.data(),
                                               in.size(), kZstdLevel);
            if (ZSTD_isError(n)) {
                return false;
            }
            out.resize(n);
            return true;
        }
        case Compression::kLz4: {
            LZ4F_preferences_t preferences{};
            preferences.frameInfo.contentSize = in.size();
            out.resize(LZ4F_compressFrameBound(in.size(), &preferences));
            const size_t n =
                LZ4F_compressFrame(out.data(), out.size(), in.data(), in.size(), &preferences);
            if (LZ4F_isError(n)) {
                return false;
            }
            out.resize(n);
            return true;
        }
        default:
            out = in;
            return true;
    }
}

namespace {

bool decompressLz4(const uint8_t* in, std::size_t size, uint8_t* out, std::size_t outSize) {
    LZ4F_dctx* context = nullptr;
    if (LZ4F_isError(LZ4F_createDecompressionContext(&context, LZ4F_VERSION))) {
        return false;
    }
    std::size_t read = 0;
    std::size_t written = 0;
    std::size_t hint = 1;
    // Each call takes some input and gives some output; a frame is whole when the hint is 0.
    while (hint != 0 && read < size) {
        std::size_t inPart = size - read;
        std::size_t outPart = outSize - written;
        hint = LZ4F_decompress(context, out + written, &outPart, in + read, &inPart, nullptr);
        if (LZ4F_isError(hint) || (inPart == 0 && outPart == 0)) {
            break;
        }
        read += inPart;
        written += outPart;
    }
    LZ4F_freeDecompressionContext(context);
    return hint == 0 && written == outSize;
}

}  // namespace

bool decompress(std::string_view compression, const uint8_t* in, std::size_t size, uint8_t* out,
                std::size_t outSize) {
    if (compression.empty()) {
        if (size != outSize) {
            return false;
        }
        if (size > 0) {
            std::memcpy(out, in, size);
        }
        return true;
    }
    if (compression == "zstd") {
        const unsigned long long content = ZSTD_getFrameContentSize(in, size);
        if (content == ZSTD_CONTENTSIZE_ERROR ||
            (content != ZSTD_CONTENTSIZE_UNKNOWN && content != outSize)) {
            return false;
        }
        const std::size_t n = ZSTD_decompress(out, outSize, in, size);
        return !ZSTD_isError(n) && n == outSize;
    }
    if (compression == "lz4") {
        return decompressLz4(in, size, out, outSize);
    }
    return false;
}

}  // namespace tarn::mcap
