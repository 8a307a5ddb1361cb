#include "engine/net/Ipv4Address.h"

#include <gtest/gtest.h>

#include <vector>

namespace kf {
namespace {

uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    return ToNetworkOrder((a << 24) | (b << 16) | (c << 8) | d);
}

TEST(DottedAddress, FieldsFillFromTheTopAndBadTextIsNoAddress) {
    EXPECT_EQ(ParseDottedAddress("127.0.0.1"), Ip(127, 0, 0, 1));
    EXPECT_EQ(DottedText(ParseDottedAddress("192.168.1.20")), "192.168.1.20");
    EXPECT_EQ(ParseDottedAddress("10"), Ip(10, 0, 0, 0));
    EXPECT_EQ(ParseDottedAddress("10.1"), Ip(10, 1, 0, 0));
    EXPECT_EQ(ParseDottedAddress("1..2"), Ip(1, 0, 2, 0));
    EXPECT_EQ(ParseDottedAddress("010.001.0.9"), Ip(10, 1, 0, 9));  // decimal, not octal
    for (const char* bad : {"", "0", "0.0.0.0", ".", "1.2.3.256", "1.2.3.4.5",
                            "99999999999999999999.1", "255.255.255.255"}) {
        EXPECT_EQ(ParseDottedAddress(bad), kNoAddress) << bad;
    }
}

TEST(DottedAddress, DigitsAndDotsOnly) {
    EXPECT_TRUE(IsDigitsAndDots("1.2.3.4"));
    EXPECT_TRUE(IsDigitsAndDots("..."));
    EXPECT_FALSE(IsDigitsAndDots(""));
    EXPECT_FALSE(IsDigitsAndDots("163.com"));
    EXPECT_FALSE(IsDigitsAndDots("1.2.3.4 "));
}

TEST(PrivateAddress, Ranges) {
    const std::vector<std::pair<uint32_t, bool>> cases = {
        {Ip(0, 1, 2, 3), true},        {Ip(6, 255, 255, 255), true},   {Ip(7, 0, 0, 0), false},
        {Ip(10, 9, 9, 9), true},       {Ip(11, 0, 0, 0), false},       {Ip(127, 0, 0, 1), true},
        {Ip(192, 168, 0, 1), true},    {Ip(192, 169, 0, 1), false},    {Ip(169, 254, 3, 4), true},
        {Ip(169, 253, 3, 4), false},   {Ip(172, 15, 255, 255), false}, {Ip(172, 16, 0, 0), true},
        {Ip(172, 31, 255, 255), true}, {Ip(172, 32, 0, 0), false},     {Ip(8, 8, 8, 8), false},
    };
    for (const auto& [address, is_private] : cases) {
        EXPECT_EQ(IsPrivateAddress(address), is_private) << DottedText(address);
    }
}

TEST(LocalAddressChoice, LastPublicElseLastListed) {
    const std::vector<uint32_t> mixed = {Ip(127, 0, 0, 1), Ip(8, 8, 4, 4), Ip(10, 0, 0, 2),
                                         Ip(9, 9, 9, 9), Ip(192, 168, 1, 1)};
    EXPECT_EQ(ChooseLocalAddress(mixed), Ip(9, 9, 9, 9));
    const std::vector<uint32_t> only_private = {Ip(10, 0, 0, 2), Ip(127, 0, 0, 1)};
    EXPECT_EQ(ChooseLocalAddress(only_private), Ip(127, 0, 0, 1));
    EXPECT_EQ(ChooseLocalAddress({}), kNoAddress);
}

}  // namespace
}  // namespace kf
