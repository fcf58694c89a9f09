// tarn_decoder_*: assembly and decoding without a socket, for recordings and tests. It runs the
// streams' own assembly and decoding code, so a recording decodes exactly as the live stream did.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

#include "stream/counters.h"
#include "stream/frame_assembly.h"
#include "stream/frame_decode.h"
#include "stream/stream_storage.h"
#include "tarn/tarn.h"

namespace {

// What a decoder handle stands for. The handle itself is a number that is never handed out twice
// (see handleOf), so a closed handle never reaches a decoder opened later at the same address.
struct DecoderState {
    std::atomic<int32_t> pixelBytes{0};
    tarn::stream::StreamCounters counters;
    std::shared_ptr<tarn::stream::RunPool> pool = std::make_shared<tarn::stream::RunPool>();
    tarn::stream::WorkingFrame working;
    tarn::stream::GridStorage grid{new KESOPointData[KESO_ROWS][KESO_COLUMNS]()};
    tarn_frame_info info{};
    KESOImuData imu{};
    int ready = TARN_DATAGRAM_TAKEN;  // what the latest push made ready
    uint64_t sequence = 0;
};

// The open decoders by handle number; made on first use and never destroyed.
struct OpenDecoders {
    std::mutex mutex;
    uint64_t lastNumber = 0;
    std::unordered_map<uintptr_t, std::shared_ptr<DecoderState>> decoders;
};
OpenDecoders& openDecoders() {
    static OpenDecoders* const made = new OpenDecoders;
    return *made;
}

// Handle numbers are odd, so no handle is null or the address of an object.
tarn_decoder* handleOf(uint64_t number) {
    return reinterpret_cast<tarn_decoder*>(static_cast<uintptr_t>(number * 2 + 1));
}

// The decoder behind a handle, or null when the handle is not open.
std::shared_ptr<DecoderState> find(tarn_decoder* handle) {
    std::lock_guard<std::mutex> lock(openDecoders().mutex);
    const auto found = openDecoders().decoders.find(reinterpret_cast<uintptr_t>(handle));
    return found != openDecoders().decoders.end() ? found->second : nullptr;
}

int decodeCompletedFrame(DecoderState& decoder, const tarn::stream::ReceiveTime& received) {
    using tarn::stream::bump;
    const tarn::stream::QueuedFrame frame = tarn::stream::frameToQueue(decoder.working, received);
    decoder.info = tarn::stream::decodeFrame(frame, decoder.grid.get(), nullptr);
    decoder.info.sequence = ++decoder.sequence;
    bump(decoder.counters.framesDecoded);
    if (decoder.info.complete == 0) {
        bump(decoder.counters.framesIncomplete);
    }
    return TARN_FRAME_READY;
}

}  // namespace

int tarn_decoder_open(tarn_decoder** out) {
    if (out == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    try {
        auto decoder = std::make_shared<DecoderState>();
        std::lock_guard<std::mutex> lock(openDecoders().mutex);
        tarn_decoder* handle = handleOf(++openDecoders().lastNumber);
        openDecoders().decoders.emplace(reinterpret_cast<uintptr_t>(handle), std::move(decoder));
        *out = handle;
        return TARN_OK;
    } catch (const std::bad_alloc&) {
        return TARN_ERR_NO_MEMORY;
    }
}

int tarn_decoder_close(tarn_decoder* handle) {
    std::shared_ptr<DecoderState> decoder;
    {
        std::lock_guard<std::mutex> lock(openDecoders().mutex);
        const auto found = openDecoders().decoders.find(reinterpret_cast<uintptr_t>(handle));
        if (found == openDecoders().decoders.end()) {
            return TARN_ERR_INVALID_HANDLE;
        }
        decoder = std::move(found->second);
        openDecoders().decoders.erase(found);
    }
    return TARN_OK;
}

int tarn_decoder_push(tarn_decoder* handle, const void* datagram, size_t length,
                      int64_t receive_monotonic_ns, int64_t receive_realtime_ns) {
    if (datagram == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    const std::shared_ptr<DecoderState> decoder = find(handle);
    if (decoder == nullptr) {
        return TARN_ERR_INVALID_HANDLE;
    }
    if (length == 0) {
        return TARN_ERR_DATAGRAM_LENGTH;
    }
    using tarn::stream::AssemblyResult;
    decoder->ready = TARN_DATAGRAM_TAKEN;
    try {
        tarn::stream::bump(decoder->counters.datagramsRead);
        const tarn::stream::AssemblyContext context{decoder->pixelBytes, &decoder->counters,
                                                    nullptr, *decoder->pool};
        const std::size_t used = std::min<std::size_t>(length, TARN_MAX_DATAGRAM_BYTES);
        switch (tarn::stream::assembleDatagram(static_cast<const uint8_t*>(datagram), used,
                                               decoder->working, &decoder->imu, context)) {
            case AssemblyResult::kFrameCompleted:
                decoder->ready = decodeCompletedFrame(
                    *decoder, tarn::stream::ReceiveTime{receive_monotonic_ns, receive_realtime_ns});
                break;
            case AssemblyResult::kImuSample:
                decoder->ready = TARN_IMU_READY;
                break;
            default:
                break;
        }
    } catch (const std::bad_alloc&) {
        // The working list could not grow: the frame it held is lost, as on a full queue.
        decoder->working = tarn::stream::WorkingFrame{};
        return TARN_ERR_NO_MEMORY;
    }
    return decoder->ready;
}

int tarn_decoder_frame(tarn_decoder* handle, tarn_point* grid, tarn_frame_info* info) {
    const std::shared_ptr<DecoderState> decoder = find(handle);
    if (decoder == nullptr) {
        return TARN_ERR_INVALID_HANDLE;
    }
    if (decoder->ready != TARN_FRAME_READY) {
        return TARN_ERR_NO_FRAME;
    }
    if (grid != nullptr) {
        std::memcpy(grid, decoder->grid.get(), sizeof(tarn_point) * TARN_CELLS);
    }
    if (info != nullptr) {
        *info = decoder->info;
    }
    return TARN_OK;
}

int tarn_decoder_imu(tarn_decoder* handle, tarn_imu_sample* sample) {
    if (sample == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    const std::shared_ptr<DecoderState> decoder = find(handle);
    if (decoder == nullptr) {
        return TARN_ERR_INVALID_HANDLE;
    }
    if (decoder->ready != TARN_IMU_READY) {
        return TARN_ERR_NO_FRAME;
    }
    std::memcpy(sample, &decoder->imu, sizeof *sample);
    return TARN_OK;
}

int tarn_decoder_get_stats(tarn_decoder* handle, tarn_stream_stats* stats) {
    if (stats == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    const std::shared_ptr<DecoderState> decoder = find(handle);
    if (decoder == nullptr) {
        return TARN_ERR_INVALID_HANDLE;
    }
    *stats = decoder->counters.snapshot();
    return TARN_OK;
}
