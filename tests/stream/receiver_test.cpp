// The receiver's source filter, the datagram queue functions and the receive ring.
#include "stream/receiver.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "stream/keso_shims.h"
#include "stream/rejected_sources.h"
#include "stream/stream_state.h"

namespace tarn::stream {
namespace {

sockaddr_in sourceAt(const char* address, uint16_t port) {
    sockaddr_in source{};
    source.sin_family = AF_INET;
    source.sin_port = htons(port);
    inet_pton(AF_INET, address, &source.sin_addr);
    return source;
}

TEST(SourceFilterTest, AcceptsTheDeviceAddressFromItsPortOrTheAlternatePort) {
    EXPECT_TRUE(isDeviceSource(sourceAt("192.168.1.10", 5000), "192.168.1.10", 5000));
    EXPECT_TRUE(isDeviceSource(sourceAt("192.168.1.10", 6301), "192.168.1.10", 5000));
    EXPECT_FALSE(isDeviceSource(sourceAt("192.168.1.10", 5001), "192.168.1.10", 5000));
    EXPECT_FALSE(isDeviceSource(sourceAt("192.168.1.11", 5000), "192.168.1.10", 5000));
}

TEST(SourceFilterTest, ComparesTheAddressTextExactly) {
    EXPECT_FALSE(isDeviceSource(sourceAt("192.168.1.10", 5000), "192.168.001.10", 5000));
    EXPECT_FALSE(isDeviceSource(sourceAt("192.168.1.10", 5000), " 192.168.1.10", 5000));
    EXPECT_FALSE(isDeviceSource(sourceAt("192.168.1.10", 5000), "192.168.1.1", 5000));
}

TEST(RejectedSourcesTest, KeepsTheFirstDistinctSourcesInOrderWithTheirCounts) {
    RejectedSources rejected;
    const uint16_t ports[] = {7, 8, 7, 9, 10, 11, 8, 7};
    for (const uint16_t port : ports) {
        rejected.note(0x0A000001, port);
    }
    tarn_rejected_source kept[RejectedSources::kKept + 1] = {};
    ASSERT_EQ(rejected.copy(kept, RejectedSources::kKept + 1), 4u);
    const uint16_t expectedPorts[] = {7, 8, 9, 10};
    const uint64_t expectedCounts[] = {3, 2, 1, 1};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(kept[i].address, 0x0A000001u);
        EXPECT_EQ(kept[i].port, expectedPorts[i]);
        EXPECT_EQ(kept[i].datagrams, expectedCounts[i]);
    }
    rejected.reset();
    EXPECT_EQ(rejected.copy(kept, 1), 0u);
}

TEST(DatagramQueueTest, HandsPointersOverInOrder) {
    ClearOringinDataQueue();
    OriginDataPack packs[3];
    for (OriginDataPack& pack : packs) {
        ASSERT_TRUE(PushOringinDataPack(&pack));
    }
    for (OriginDataPack& pack : packs) {
        OriginDataPack* taken = nullptr;
        ASSERT_TRUE(FrontOringinDataPack(&taken));
        EXPECT_EQ(taken, &pack);
    }
    OriginDataPack* none = nullptr;
    EXPECT_FALSE(FrontOringinDataPack(&none));
}

TEST(DatagramQueueTest, ClearDiscardsEveryQueuedPointer) {
    OriginDataPack pack{};
    for (int i = 0; i < 100; ++i) {
        PushOringinDataPack(&pack);
    }
    EXPECT_TRUE(ClearOringinDataQueue());
    EXPECT_EQ(originDataQueue.size_approx(), 0u);
    EXPECT_EQ(queuedDatagramPointers(), 0u);
    EXPECT_TRUE(ClearOringinDataQueue());
}

// Fills the ring from the current index: datagram i is kSlotBytes bytes of value i (mod 256).
class ReceiveRingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ClearOringinDataQueue();
        start = m_big_buffer_index;
    }

    bool store(uint64_t number) {
        const std::vector<uint8_t> datagram(kSlotBytes, static_cast<uint8_t>(number));
        return storeDatagram(datagram.data(), datagram.size());
    }

    static bool holds(const OriginDataPack* slot, uint64_t number) {
        return slot->len == kSlotBytes && slot->data[0] == static_cast<uint8_t>(number) &&
               slot->data[kSlotBytes - 1] == static_cast<uint8_t>(number);
    }

    OriginDataPack* slot(uint64_t offset) { return &m_big_buffer[(start + offset) % kRingSlots]; }

    static constexpr std::size_t kSlotBytes = 100;
    uint64_t start = 0;
};

TEST_F(ReceiveRingTest, StoresEachDatagramInTheNextSlotAndQueuesIt) {
    ASSERT_TRUE(store(1));
    ASSERT_TRUE(store(2));

    OriginDataPack* taken = nullptr;
    ASSERT_TRUE(FrontOringinDataPack(&taken));
    EXPECT_EQ(taken, slot(0));
    EXPECT_TRUE(holds(taken, 1));
    ASSERT_TRUE(FrontOringinDataPack(&taken));
    EXPECT_EQ(taken, slot(1));
    EXPECT_TRUE(holds(taken, 2));
    EXPECT_EQ(m_big_buffer_index, (start + 2) % kRingSlots);
}

TEST_F(ReceiveRingTest, NeverOverwritesAQueuedSlotOrTheSlotTheAssemblerHolds) {
    for (uint64_t i = 0; i < kRingSlots - 1; ++i) {
        ASSERT_TRUE(store(i)) << i;
    }
    // Every slot but one is queued; the last one stays free for the slot the assembler holds.
    EXPECT_FALSE(store(9999));
    EXPECT_EQ(m_big_buffer_index, (start + kRingSlots - 1) % kRingSlots);

    OriginDataPack* inHand = nullptr;
    ASSERT_TRUE(FrontOringinDataPack(&inHand));
    ASSERT_EQ(inHand, slot(0));
    ASSERT_TRUE(store(kRingSlots - 1));
    EXPECT_EQ(m_big_buffer_index, start);
    // The index is back at the slot the assembler holds: the ring is full.
    EXPECT_FALSE(store(7777));
    EXPECT_TRUE(holds(inHand, 0));

    // Taking the next pointer gives the previous slot back.
    ASSERT_TRUE(FrontOringinDataPack(&inHand));
    ASSERT_EQ(inHand, slot(1));
    ASSERT_TRUE(store(kRingSlots));
    EXPECT_TRUE(holds(slot(0), kRingSlots));
    EXPECT_TRUE(holds(inHand, 1));
    EXPECT_EQ(m_big_buffer_index, (start + 1) % kRingSlots);
    ClearOringinDataQueue();
}

TEST_F(ReceiveRingTest, IndexWrapsToZeroAfterTheLastSlot) {
    OriginDataPack* taken = nullptr;
    for (uint64_t i = 0; i < kRingSlots; ++i) {
        ASSERT_TRUE(store(i));
        ASSERT_TRUE(FrontOringinDataPack(&taken));
        ASSERT_LT(m_big_buffer_index, static_cast<uint64_t>(kRingSlots));
    }
    EXPECT_EQ(m_big_buffer_index, start);
}

}  // namespace
}  // namespace tarn::stream
