// Frame assembly, one datagram at a time: header checks, working list, messages, IMU samples.
#include "stream/assembler.h"

#include <gtest/gtest.h>

#include <cstring>
#include <list>
#include <string>

#include "sim/datagram.h"
#include "stream/decoder.h"
#include "stream/keso_shims.h"
#include "stream/stream_state.h"
#include "stream/engine.h"
#include "stream_test_support.h"

namespace tarn::stream {
namespace {

using test::imuDatagram;
using test::pointDatagram;

std::string asString(const sim::Datagram& datagram) {
    return std::string(datagram.begin(), datagram.end());
}

class AssemblerTest : public ::testing::Test {
  protected:
    AssemblyResult assemble(const sim::Datagram& datagram) {
        return assembleDatagram(datagram.data(), datagram.size(), workingList, &sample);
    }

    // Assembles the datagram and returns what it printed.
    std::string assemblePrinting(const sim::Datagram& datagram, AssemblyResult* result) {
        ::testing::internal::CaptureStdout();
        *result = assemble(datagram);
        return ::testing::internal::GetCapturedStdout();
    }

    std::list<std::string> workingList;
    KESOImuData sample{};
};

TEST_F(AssemblerTest, GathersFirstMiddleAndLastIntoOneFrameInArrivalOrder) {
    const sim::Datagram first = pointDatagram(sim::kFrameFlagFirst, 0, 0, 10, 1);
    const sim::Datagram middle1 = pointDatagram(sim::kFrameFlagMiddle, 0, 4, 10, 2);
    const sim::Datagram middle2 = pointDatagram(sim::kFrameFlagMiddle, 0, 8, 10, 3);
    const sim::Datagram last = pointDatagram(sim::kFrameFlagLast, 0, 12, 10, 4);
    workingList.push_back("left over from an earlier frame");

    EXPECT_EQ(assemble(first), AssemblyResult::kAppended);
    EXPECT_EQ(assemble(middle1), AssemblyResult::kAppended);
    EXPECT_EQ(assemble(middle2), AssemblyResult::kAppended);
    EXPECT_EQ(assemble(last), AssemblyResult::kFrameCompleted);

    const std::list<std::string> expected{asString(first), asString(middle1), asString(middle2),
                                          asString(last)};
    EXPECT_EQ(workingList, expected);
}

TEST_F(AssemblerTest, LastDatagramsWithoutFirstKeepGrowingTheSameList) {
    const sim::Datagram last1 = pointDatagram(sim::kFrameFlagLast, 0, 0, 4, 1);
    const sim::Datagram last2 = pointDatagram(sim::kFrameFlagLast, 0, 4, 4, 2);

    EXPECT_EQ(assemble(last1), AssemblyResult::kFrameCompleted);
    EXPECT_EQ(workingList.size(), 1u);
    EXPECT_EQ(assemble(last2), AssemblyResult::kFrameCompleted);
    EXPECT_EQ(workingList, (std::list<std::string>{asString(last1), asString(last2)}));
}

TEST_F(AssemblerTest, FrameWithLostFirstDatagramIsMergedWithThePreviousOne) {
    const sim::Datagram first = pointDatagram(sim::kFrameFlagFirst, 0, 0, 4, 1);
    const sim::Datagram last = pointDatagram(sim::kFrameFlagLast, 0, 4, 4, 2);
    const sim::Datagram nextMiddle = pointDatagram(sim::kFrameFlagMiddle, 0, 0, 4, 3);
    const sim::Datagram nextLast = pointDatagram(sim::kFrameFlagLast, 0, 4, 4, 4);
    assemble(first);
    assemble(last);

    EXPECT_EQ(assemble(nextMiddle), AssemblyResult::kAppended);
    EXPECT_EQ(assemble(nextLast), AssemblyResult::kFrameCompleted);
    EXPECT_EQ(workingList, (std::list<std::string>{asString(first), asString(last),
                                                   asString(nextMiddle), asString(nextLast)}));
}

TEST_F(AssemblerTest, WorkingListIsDiscardedWithOneLineWhenItWouldExceedItsBound) {
    const sim::Datagram middle = pointDatagram(sim::kFrameFlagMiddle, 0, 0, 1, 1);
    for (std::size_t i = 0; i < kMaxWorkingListDatagrams; ++i) {
        ASSERT_EQ(assemble(middle), AssemblyResult::kAppended);
    }
    AssemblyResult result{};
    const std::string printed = assemblePrinting(middle, &result);

    EXPECT_EQ(result, AssemblyResult::kWorkingListFull);
    EXPECT_TRUE(workingList.empty());
    EXPECT_EQ(printed, "frame assembly: 1001 datagrams without a first datagram, discarded\n");
    EXPECT_EQ(assemble(pointDatagram(sim::kFrameFlagLast, 0, 0, 1, 1)),
              AssemblyResult::kFrameCompleted);
    EXPECT_EQ(workingList.size(), 1u);
}

TEST_F(AssemblerTest, RecordsThePixelSizeOfEveryAcceptedPointDatagram) {
    const struct {
        uint8_t pixelType;
        int bytes;
    } cases[] = {
        {sim::kPixelType10Bytes, 10}, {sim::kPixelType4Bytes, 4}, {sim::kPixelType8Bytes, 8}};
    m_one_pixel_len.store(0);
    for (const auto& c : cases) {
        assemble(pointDatagram(sim::kFrameFlagMiddle, 0, 0, 2, 1, c.pixelType));
        EXPECT_EQ(m_one_pixel_len.load(), c.bytes);
    }
}

TEST_F(AssemblerTest, UnsupportedVersionIsDroppedWithItsValue) {
    sim::Datagram datagram = pointDatagram(sim::kFrameFlagFirst, 0, 0, 2, 1);
    datagram[sim::kOffsetVersionMinor] = 2;
    AssemblyResult result{};

    EXPECT_EQ(assemblePrinting(datagram, &result), "version_minor is 2 ,unsupported\n");
    EXPECT_EQ(result, AssemblyResult::kDropped);
    EXPECT_TRUE(workingList.empty());
}

TEST_F(AssemblerTest, UnknownPixelTypeIsDroppedAndKeepsThePixelSize) {
    assemble(pointDatagram(sim::kFrameFlagMiddle, 0, 0, 2, 1, sim::kPixelType8Bytes));
    sim::Datagram datagram = pointDatagram(sim::kFrameFlagMiddle, 0, 0, 2, 1);
    datagram[sim::kOffsetPixelType] = 3;
    AssemblyResult result{};

    EXPECT_EQ(assemblePrinting(datagram, &result), "data type 3 is invalid\n");
    EXPECT_EQ(result, AssemblyResult::kDropped);
    EXPECT_EQ(m_one_pixel_len.load(), 8);
    EXPECT_EQ(workingList.size(), 1u);
}

TEST_F(AssemblerTest, UnknownFrameFlagIsDroppedAfterRecordingThePixelSize) {
    assemble(pointDatagram(sim::kFrameFlagMiddle, 0, 0, 2, 1, sim::kPixelType4Bytes));
    sim::Datagram datagram = pointDatagram(7, 0, 0, 2, 1, sim::kPixelType8Bytes);
    AssemblyResult result{};

    EXPECT_EQ(assemblePrinting(datagram, &result), "frameFlag is 7 ,unsupported\n");
    EXPECT_EQ(result, AssemblyResult::kDropped);
    EXPECT_EQ(m_one_pixel_len.load(), 8);
    EXPECT_EQ(workingList.size(), 1u);
}

TEST_F(AssemblerTest, MalformedDatagramsAreDroppedSilently) {
    sim::Datagram wrongByteOrder = pointDatagram(sim::kFrameFlagFirst, 0, 0, 2, 1);
    std::swap(wrongByteOrder[0], wrongByteOrder[1]);
    sim::Datagram unknownKind = pointDatagram(sim::kFrameFlagFirst, 0, 0, 2, 1);
    unknownKind[sim::kOffsetDataType] = 2;
    sim::Datagram shortPoint = pointDatagram(sim::kFrameFlagFirst, 0, 0, 0, 1);
    shortPoint.pop_back();
    sim::Datagram shortImu = imuDatagram(1000000);
    shortImu.pop_back();
    sim::Datagram tooShort{0x5A, 0xA5, 0x00};
    workingList.push_back("kept");

    for (sim::Datagram* datagram :
         {&wrongByteOrder, &unknownKind, &shortPoint, &shortImu, &tooShort}) {
        AssemblyResult result{};
        EXPECT_EQ(assemblePrinting(*datagram, &result), "");
        EXPECT_EQ(result, AssemblyResult::kDropped);
    }
    EXPECT_EQ(workingList, std::list<std::string>{"kept"});
}

TEST_F(AssemblerTest, ImuSampleCarriesTheRecordWithItsTimestampInMilliseconds) {
    sim::ImuFields fields;
    fields.timestamp = 5000000999ull;
    for (std::size_t i = 0; i < fields.sample.size(); ++i) {
        fields.sample[i] = static_cast<uint8_t>(i + 1);
    }
    sim::Datagram datagram = sim::encodeImuDatagram(fields);
    datagram[6] = 0x11;
    datagram[sim::kOffsetVersionMinor] = 0x11;  // not examined for IMU datagrams

    ASSERT_EQ(assemble(datagram), AssemblyResult::kImuSample);
    const uint64_t timestamp = sample.timestamp;  // packed: copy before binding a reference
    EXPECT_EQ(timestamp, 5000u);
    EXPECT_EQ(sample.sampleFlag, 1);
    EXPECT_EQ(sample.header[0], 0x11);
    EXPECT_EQ(std::memcmp(sample.sample, fields.sample.data(), sizeof sample.sample), 0);
    EXPECT_TRUE(workingList.empty());
}

TEST_F(AssemblerTest, ImuSampleWithoutItsSampleFlagIsDropped) {
    EXPECT_EQ(assemble(imuDatagram(5000000999ull, 0)), AssemblyResult::kDropped);
}

// A stream's own assembly, which keeps its state between datagrams and counts.
class StreamAssemblyTest : public ::testing::Test {
  protected:
    AssemblyResult assemble(const sim::Datagram& datagram) {
        KESOImuData imu{};
        const AssemblyContext context{pixelBytes, &counters, nullptr, spareRunPool()};
        const AssemblyResult result =
            assembleDatagram(datagram.data(), datagram.size(), frame, &imu, context);
        if (result == AssemblyResult::kFrameCompleted) {
            completed.push_back(frameToQueue(frame, ReceiveTime{}));
        }
        return result;
    }

    std::atomic<int32_t> pixelBytes{0};
    StreamCounters counters;
    WorkingFrame frame;
    std::vector<QueuedFrame> completed;
};

TEST_F(StreamAssemblyTest, AFrameTooLongIsDiscardedUpToTheNextFirstDatagram) {
    ASSERT_EQ(assemble(pointDatagram(sim::kFrameFlagFirst, 0, 0, 1, 1)), AssemblyResult::kAppended);
    const sim::Datagram middle = pointDatagram(sim::kFrameFlagMiddle, 0, 0, 1, 2);
    for (std::size_t i = 1; i < kMaxWorkingListDatagrams; ++i) {
        ASSERT_EQ(assemble(middle), AssemblyResult::kAppended);
    }
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(assemble(middle), AssemblyResult::kWorkingListFull);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "frame assembly: a frame of more than 1000 datagrams, discarded up to the next "
              "first datagram\n");
    EXPECT_EQ(assemble(middle), AssemblyResult::kDropped);
    EXPECT_EQ(assemble(pointDatagram(sim::kFrameFlagLast, 0, 0, 1, 3)), AssemblyResult::kDropped);
    EXPECT_TRUE(completed.empty());

    assemble(pointDatagram(sim::kFrameFlagFirst, 0, 0, 1, 4));
    ASSERT_EQ(assemble(pointDatagram(sim::kFrameFlagLast, 0, 4, 1, 5)),
              AssemblyResult::kFrameCompleted);
    EXPECT_EQ(completed.at(0).count(), 2u);
    EXPECT_FALSE(completed[0].merged);
    EXPECT_EQ(counters.framesTooLong.load(), 1u);
    EXPECT_EQ(counters.framesLostLast.load(), 0u);
}

// UDP may duplicate: a repeated first datagram is dropped, a repeated last one delivers the
// previous frame again as redelivered; neither is loss or a merge.
TEST_F(StreamAssemblyTest, DuplicatedFirstAndLastDatagramsAreNeverLossNorMerges) {
    const sim::Datagram first = pointDatagram(sim::kFrameFlagFirst, 0, 0, 4, 1);
    const sim::Datagram last = pointDatagram(sim::kFrameFlagLast, 0, 4, 4, 2);
    const sim::Datagram nextMiddle = pointDatagram(sim::kFrameFlagMiddle, 0, 0, 4, 3);
    const sim::Datagram nextLast = pointDatagram(sim::kFrameFlagLast, 0, 4, 4, 4);
    for (const sim::Datagram* d : {&first, &first, &last, &last, &first, &last}) {
        assemble(*d);
    }
    // The next frame's first datagram is lost: merged; then its last comes twice.
    for (const sim::Datagram* d : {&nextMiddle, &nextLast, &nextLast}) {
        assemble(*d);
    }

    ASSERT_EQ(completed.size(), 5u);
    const bool redelivered[] = {false, true, false, false, true};
    const bool merged[] = {false, false, false, true, true};
    for (std::size_t i = 0; i < completed.size(); ++i) {
        EXPECT_EQ(completed[i].redelivered, redelivered[i]) << i;
        EXPECT_EQ(completed[i].merged, merged[i]) << i;
    }
    EXPECT_EQ(completed[0].count(), 2u);
    EXPECT_EQ(completed[1].count(), 3u);
    EXPECT_EQ(counters.framesLostLast.load(), 0u);
    EXPECT_EQ(counters.framesMerged.load(), 1u);
    EXPECT_EQ(counters.framesRedelivered.load(), 2u);
    EXPECT_EQ(counters.framesCompleted.load(), 5u);

    test::GridBuffer grid;
    const tarn_frame_info info = decodeFrame(completed[1], grid.get(), nullptr);
    EXPECT_EQ(info.redelivered, 1);
    EXPECT_EQ(info.merged, 0);
}

TEST(FrameQueueTest, HandsFramesOverInOrderAndIsEmptyAfterwards) {
    while (!FrontPackgedData().empty()) {
    }
    ASSERT_TRUE(PushPackgedData({"a", "b"}));
    ASSERT_TRUE(PushPackgedData({"c"}));

    EXPECT_EQ(FrontPackgedData(), (std::list<std::string>{"a", "b"}));
    EXPECT_EQ(FrontPackgedData(), std::list<std::string>{"c"});
    EXPECT_TRUE(FrontPackgedData().empty());
}

TEST(FrameQueueTest, RefusesFramesBeyondItsCapacityWithoutAllocating) {
    while (!FrontPackgedData().empty()) {
    }
    std::size_t queued = 0;
    while (PushPackgedData({"frame"}) && queued <= 10 * kFrameQueueCapacity) {
        ++queued;
    }
    EXPECT_GE(queued, kFrameQueueCapacity);
    EXPECT_LT(queued, 10 * kFrameQueueCapacity);
    while (!FrontPackgedData().empty()) {
    }
}

// The worst case a hostile stream can reach: frames of the longest working list, each datagram
// of the largest size, while the decoder stands still.
TEST(FrameQueueTest, QueuedFramesNeverHoldMoreBytesThanTheBound) {
    while (!FrontPackgedData().empty()) {
    }
    const std::string datagram(kMaxDatagramBytes, 'x');
    const std::list<std::string> longest(kMaxWorkingListDatagrams, datagram);
    const std::size_t frameBytes =
        kMaxWorkingListDatagrams * (kMaxDatagramBytes + kQueuedDatagramOverheadBytes);
    std::size_t queued = 0;
    while (PushPackgedData(longest)) {
        ++queued;
    }
    EXPECT_EQ(queued, kMaxQueuedFrameBytes / frameBytes);
    EXPECT_LE(queued * frameBytes, std::size_t{120'000'000});
    while (!FrontPackgedData().empty()) {
    }
    EXPECT_TRUE(PushPackgedData(longest));
    while (!FrontPackgedData().empty()) {
    }
}

}  // namespace
}  // namespace tarn::stream
