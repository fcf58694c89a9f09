#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>

#include "KESOApi.h"

namespace {

TEST(IpFormatTest, AcceptsDottedQuads) {
    for (const char* text : {"0.0.0.0", "255.255.255.255", "192.168.1.10", "192.168.001.010",
                             "1.2.3.4", "199.249.250.009", "10.0.0.07", "192.168.1.08"}) {
        EXPECT_TRUE(KESOCheckIpFormat(text)) << text;
    }
}

TEST(IpFormatTest, RejectsEverythingElse) {
    for (const char* text :
         {"256.1.1.1", "1.2.3", "1.2.3.4.5", "1.2.3.0004", " 1.2.3.4", "1.2.3.4 ", "1..2.3", "",
          "1.2.3.260", "300.1.1.1", "1.2.3.4.", ".1.2.3.4", "1.2.3.-4", "1.2.3.+4", "a.b.c.d",
          "1.2.3.4\n", "0x1.2.3.4", "1,2,3,4", "1.2.3.25a"}) {
        EXPECT_FALSE(KESOCheckIpFormat(text)) << '"' << text << '"';
    }
    EXPECT_FALSE(KESOCheckIpFormat(std::string("1.2.3.4\0", 8)));
}

// The check accepts exactly the strings of the address expression; compare both on every last
// component and on random texts made of the characters that matter.
TEST(IpFormatTest, AgreesWithTheAddressExpression) {
    const std::regex expression(
        "^((25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)\\.){3}(25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)$");
    auto agree = [&](const std::string& text) {
        EXPECT_EQ(KESOCheckIpFormat(text), std::regex_match(text, expression))
            << '"' << text << '"';
    };
    for (int value = 0; value < 1000; ++value) {
        for (const std::string& form :
             {std::to_string(value), "0" + std::to_string(value), "00" + std::to_string(value)}) {
            agree("1.2.3." + form);
            agree(form + ".2.3.4");
        }
    }
    const std::string alphabet = "0123456789..25 a";
    std::mt19937 random(1);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<int> length(0, 17);
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        for (int n = length(random); n > 0; --n) {
            text += alphabet[pick(random)];
        }
        agree(text);
    }
}

}  // namespace
