#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "format/datagram_format.h"
#include "stream/receiver.h"

namespace tarn::stream {
namespace {

constexpr uint64_t kLargeBuffer = 8 << 20;
constexpr uint64_t kStockBuffer = 212992;  // what a stock Linux grants without tuning
constexpr int64_t kSpacingNs = 50000;
constexpr int kFrameDatagrams = 100;

std::vector<uint8_t> pointHeader(uint8_t frameFlag) {
    std::vector<uint8_t> bytes(kPointHeaderBytes);
    bytes[kDataTypeOffset] = kPointDataType;
    bytes[kFrameFlagOffset] = frameFlag;
    return bytes;
}

// Notes datagrams [from, to) of a frame of kFrameDatagrams that starts at startNs, spaced
// spacingNs; returns when the last of them was read.
int64_t noteFrame(ArrivalPace& pace, int from, int to, int64_t startNs, int64_t spacingNs) {
    for (int i = from; i < to; ++i) {
        const uint8_t flag = i == 0                     ? kFirstDatagram
                             : i + 1 == kFrameDatagrams ? kLastDatagram
                                                        : kMiddleDatagram;
        const std::vector<uint8_t> bytes = pointHeader(flag);
        pace.note(bytes.data(), bytes.size(), startNs + i * spacingNs);
    }
    return startNs + (to - 1) * spacingNs;
}

TEST(ArrivalPaceTest, SleepsInTheMiddleOfAFrameOnceAWholeFrameWasSeenAndWakesBeforeItsEnd) {
    ArrivalPace pace;
    int64_t now = noteFrame(pace, 0, 10, 0, kSpacingNs);
    EXPECT_EQ(pace.lingerNs(now, kLargeBuffer), 0);  // nothing learned yet
    now = noteFrame(pace, 10, kFrameDatagrams, 0, kSpacingNs);
    EXPECT_EQ(pace.lingerNs(now, kLargeBuffer), 0);  // between frames

    const int64_t second = 50000000;
    now = noteFrame(pace, 0, 1, second, kSpacingNs);
    EXPECT_EQ(pace.lingerNs(now, kLargeBuffer), 0);  // this frame's own pace is not known yet
    now = noteFrame(pace, 1, 2, second, kSpacingNs);
    EXPECT_EQ(pace.lingerNs(now, kLargeBuffer), kMostLingerNs);
    // 18 datagrams of 1472 bytes, booked twice over, fill a quarter of the stock buffer.
    EXPECT_EQ(pace.lingerNs(now, kStockBuffer), 900000);
    now = noteFrame(pace, 2, 90, second, kSpacingNs);
    EXPECT_EQ(pace.lingerNs(now, kLargeBuffer), 200000);  // the last is due in 500 µs
    EXPECT_EQ(pace.lingerNs(now + 50000, kLargeBuffer), 150000);
    now = noteFrame(pace, 90, 95, second, kSpacingNs);
    EXPECT_EQ(pace.lingerNs(now, kLargeBuffer), 0);
}

TEST(ArrivalPaceTest, NeverSleepsOverBurstsNorPastTheTimeTheLastFrameTook) {
    ArrivalPace pace;
    noteFrame(pace, 0, kFrameDatagrams, 0, kSpacingNs);

    // A frame in one burst, however many datagrams it has left.
    int64_t now = noteFrame(pace, 0, 10, 50000000, 2000);
    EXPECT_EQ(pace.lingerNs(now, kLargeBuffer), 0);
    // Spaced wider, but not as a sensor spaces them: each wake reads several anyway.
    now = noteFrame(pace, 0, 10, 60000000, 15000);
    EXPECT_EQ(pace.lingerNs(now, kLargeBuffer), 0);

    // Fewer, wider-spaced datagrams: the frame still ends when the last one did (at 4.95 ms).
    now = noteFrame(pace, 0, 2, 100000000, 4500000);
    EXPECT_EQ(pace.lingerNs(now, kLargeBuffer), 150000);
}

}  // namespace
}  // namespace tarn::stream
