#include "sim/faults.h"

#include <gtest/gtest.h>

#include <vector>

namespace tarn::sim {
namespace {

// Five one-byte datagrams 0..4, so the output order is easy to read.
std::vector<Datagram> fiveDatagrams() {
    return {{0}, {1}, {2}, {3}, {4}};
}

std::vector<int> order(const std::vector<Outgoing>& out) {
    std::vector<int> result;
    for (const Outgoing& o : out) {
        result.push_back(o.bytes.empty() ? -1 : o.bytes[0]);
    }
    return result;
}

TEST(FaultInjector, DeterministicFaultsHitOnlyTheNamedFrameAndDatagram) {
    FaultInjector faults;
    faults.add({FaultKind::kDrop, 1, 0});
    faults.add({FaultKind::kDuplicate, 1, -1});
    faults.add({FaultKind::kReorder, 1, 2});
    faults.add({FaultKind::kDrop, 1, 5});  // no such datagram: ignored

    EXPECT_EQ(order(faults.apply(0, fiveDatagrams())), (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(order(faults.apply(1, fiveDatagrams())), (std::vector<int>{1, 3, 2, 4, 4}));
    EXPECT_EQ(faults.counters().dropped, 1u);
    EXPECT_EQ(faults.counters().duplicated, 1u);
    EXPECT_EQ(faults.counters().reordered, 1u);
}

TEST(FaultInjector, TruncateCorruptAndForeignPortChangeOneDatagram) {
    FaultInjector faults;
    const std::vector<Datagram> input = {Datagram(50, 0xee), Datagram(50, 0xee)};
    faults.add({FaultKind::kTruncate, 0, 0, 44});
    faults.add({FaultKind::kCorruptByte, 0, 1, kOffsetFrameFlag, 9});
    faults.add({FaultKind::kForeignPort, 0, 1});
    const std::vector<Outgoing> out = faults.apply(0, input);

    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].bytes, Datagram(44, 0xee));
    EXPECT_FALSE(out[0].foreignPort);
    EXPECT_EQ(out[1].bytes.size(), 50u);
    EXPECT_EQ(out[1].bytes[kOffsetFrameFlag], 9);
    EXPECT_EQ(out[1].bytes[kOffsetFrameFlag + 1], 0xee);
    EXPECT_TRUE(out[1].foreignPort);
}

TEST(FaultInjector, RandomFaultsRepeatWithTheSameSeed) {
    const std::vector<Datagram> input(1000, Datagram{1});
    auto run = [&](uint32_t seed) {
        FaultInjector faults;
        faults.setRandom({0.1, 0.05, 0.0, seed});
        return faults.apply(0, input).size();
    };
    const std::size_t first = run(42);
    EXPECT_EQ(first, run(42));
    // About 100 dropped and 50 duplicated out of 1000.
    EXPECT_GT(first, 900u);
    EXPECT_LT(first, 1000u);

    FaultInjector none;
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(none.apply(0, input).size(), input.size());
}

}  // namespace
}  // namespace tarn::sim
