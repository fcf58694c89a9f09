#include "compression.h"

#include <lz4frame.h>
#include <zstd.h>

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

}  // namespace tarn::mcap
