// The receiver's pace heuristic: how long it may sleep in the middle of a frame instead of waking
// for each datagram, learned from the frames it has read.
#ifndef TARN_STREAM_ARRIVAL_PACE_H
#define TARN_STREAM_ARRIVAL_PACE_H

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "format/datagram_format.h"
#include "stream/ring_slot.h"

namespace tarn::stream {

// A sensor spreads a frame's point datagrams evenly over part of the frame period. The receiver
// learns from the frames it has read how many datagrams a frame has and how far apart they
// arrive, and in the middle of a frame sleeps over several of them instead of waking for each;
// it waits on the socket again well before the frame's last datagram is due.
class ArrivalPace {
  public:
    // Notes an accepted datagram that was read at monotonic time nowNs.
    void note(const uint8_t* datagram, std::size_t length, int64_t nowNs);
    // How long the receiver may sleep from monotonic time nowNs before it reads the socket again,
    // in nanoseconds, given the receive buffer the kernel granted; 0 when it should wait on the
    // socket as usual (between frames, near a frame's end, before a whole frame and two datagrams
    // of this one were seen).
    int64_t lingerNs(int64_t nowNs, uint64_t receiveBufferBytes) const;
    // Drops what was learned, for example after the kernel dropped datagrams.
    void forget() { *this = ArrivalPace{}; }

  private:
    int64_t frameStartNs_ = 0;     // when the current frame's first datagram was read
    int64_t lastNs_ = 0;           // when the latest datagram of the current frame was read
    uint32_t seen_ = 0;            // datagrams of the current frame so far; 0 between frames
    uint32_t frameDatagrams_ = 0;  // datagrams of the last whole frame; 0 before one was seen
    int64_t frameDurationNs_ = 0;  // from its first datagram to its last
};

// The longest a receiver sleeps over a frame's datagrams, and the shortest sleep worth taking.
constexpr int64_t kMostLingerNs = 2000000;
constexpr int64_t kLeastLingerNs = 100000;
// Datagrams closer together than this come in bursts, which each wake reads in one go already;
// sleeping over them would save little and risk the frame's end.
constexpr int64_t kLeastSpacingNs = 20000;
// A sleep ends at least this long, and at least this many datagrams, before a frame's last
// datagram is due, so a late timer or a slightly fast sensor still finds the receiver waiting.
constexpr int64_t kEndMarginNs = 300000;
constexpr uint32_t kEndMarginDatagrams = 4;
// The datagrams arriving during a sleep fill at most this share of the receive buffer, counted
// as the kernel books them: about twice the largest datagram each.
constexpr uint64_t kLingerBufferShareDivisor = 4;
constexpr uint64_t kBookedBytesPerDatagram = 2 * kMaxDatagramBytes;

inline void ArrivalPace::note(const uint8_t* datagram, std::size_t length, int64_t nowNs) {
    if (length <= kFrameFlagOffset || datagram[kDataTypeOffset] != kPointDataType) {
        return;
    }
    switch (datagram[kFrameFlagOffset]) {
        case kFirstDatagram:
            frameStartNs_ = nowNs;
            lastNs_ = nowNs;
            seen_ = 1;
            break;
        case kMiddleDatagram:
            if (seen_ > 0) {
                ++seen_;
                lastNs_ = nowNs;
            }
            break;
        case kLastDatagram:
            if (seen_ > 0) {
                frameDatagrams_ = seen_ + 1;
                frameDurationNs_ = nowNs - frameStartNs_;
                seen_ = 0;
            }
            break;
        default:
            break;
    }
}

inline int64_t ArrivalPace::lingerNs(int64_t nowNs, uint64_t receiveBufferBytes) const {
    // The current frame must show its own pace first: datagrams read together, as a burst
    // arrives, give it a spacing too short to sleep over.
    if (seen_ < 2 || frameDatagrams_ <= seen_ + kEndMarginDatagrams || frameDurationNs_ <= 0) {
        return 0;
    }
    // The spacing of the last whole frame, or this frame's so far when it comes faster.
    const int64_t spacingNs =
        std::min(frameDurationNs_ / (frameDatagrams_ - 1), (lastNs_ - frameStartNs_) / (seen_ - 1));
    if (spacingNs < kLeastSpacingNs) {
        return 0;
    }
    // The last datagram is due once the remaining ones have come at that spacing, and no later
    // than the last whole frame took (a frame of fewer, wider-spaced datagrams ends as early).
    const int64_t remaining = frameDatagrams_ - seen_;
    const int64_t dueNs =
        std::min(lastNs_ + remaining * spacingNs, frameStartNs_ + frameDurationNs_);
    const int64_t marginNs = std::max(kEndMarginNs, int64_t{kEndMarginDatagrams} * spacingNs);
    const auto bufferDatagrams = static_cast<int64_t>(
        receiveBufferBytes / kLingerBufferShareDivisor / kBookedBytesPerDatagram);
    const int64_t linger =
        std::min({dueNs - marginNs - nowNs, kMostLingerNs, bufferDatagrams * spacingNs});
    return linger >= kLeastLingerNs ? linger : 0;
}

}  // namespace tarn::stream

#endif  // TARN_STREAM_ARRIVAL_PACE_H
