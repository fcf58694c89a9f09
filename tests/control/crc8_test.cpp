#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "KESOApi.h"

namespace {

const unsigned char* bytesOf(const char* text) {
    return reinterpret_cast<const unsigned char*>(text);
}

uint32_t lengthOf(const char* text) {
    return static_cast<uint32_t>(std::strlen(text));
}

TEST(Crc8Test, MatchesTheCheckValues) {
    EXPECT_EQ(KESOCrc8(bytesOf("123456789"), 9, 0x00), 0xA2);
    EXPECT_EQ(KESOCrc8(bytesOf("123456789"), 9, 0xFF), 0xF7);
    EXPECT_EQ(KESOCrc8(bytesOf("abc"), 3, 0x00), 0xA9);
}

TEST(Crc8Test, ReadsNothingForZeroBytesAndReturnsTheInitialValue) {
    EXPECT_EQ(KESOCrc8(nullptr, 0, 0x00), 0x00);
    EXPECT_EQ(KESOCrc8(nullptr, 0, 0x5C), 0x5C);
    // Bytes that are not there are not read either, whatever the count says.
    EXPECT_EQ(KESOCrc8(nullptr, 9, 0x5C), 0x5C);
}

// Without a final XOR, the CRC of a whole is the CRC of its second part started from the CRC of
// its first part; this pins down how the initial value enters.
TEST(Crc8Test, ContinuesFromAnEarlierResult) {
    const char* whole = "control frame header and payload";
    for (uint32_t cut = 0; cut <= lengthOf(whole); ++cut) {
        const unsigned char first = KESOCrc8(bytesOf(whole), cut, 0);
        EXPECT_EQ(KESOCrc8(bytesOf(whole) + cut, lengthOf(whole) - cut, first),
                  KESOCrc8(bytesOf(whole), lengthOf(whole), 0))
            << "cut at " << cut;
    }
}

}  // namespace
