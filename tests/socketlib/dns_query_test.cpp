// DNS query builder and name encoding, including the bounds they are given.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "socketlib/socket.hpp"

namespace {

using namespace socketlib;

using bytes = std::vector<unsigned char>;

bytes encoded(const char* name)
{
    unsigned char out[NAMED_TEXT_SIZE];
    int length = named_CreateNameFormat(out, sizeof out, name);
    return length < 0 ? bytes{} : bytes(out, out + length);
}

bytes query(const char* name, int size, int* length)
{
    bytes buffer(size + 16, 0xAA);  // bytes past `size` must stay 0xAA
    *length = named_createquery(1, 1, name, buffer.data(), size);
    return buffer;
}

TEST(DnsQuery, OneTwoThreeIsThirtyOneBytes)
{
    int length = 0;
    bytes m = query("one.two.three", 512, &length);
    ASSERT_EQ(length, 31);
    uint16_t id = static_cast<uint16_t>(platform::process_id());
    bytes expected = {static_cast<unsigned char>(id >> 8),
                      static_cast<unsigned char>(id),
                      0x01,
                      0x00,
                      0,
                      1,
                      0,
                      0,
                      0,
                      0,
                      0,
                      0,
                      3,
                      'o',
                      'n',
                      'e',
                      3,
                      't',
                      'w',
                      'o',
                      5,
                      't',
                      'h',
                      'r',
                      'e',
                      'e',
                      0,
                      0,
                      1,
                      0,
                      1};
    EXPECT_EQ(bytes(m.begin(), m.begin() + 31), expected);
    for (int i = 31; i < 512; ++i)
        ASSERT_EQ(m[i], 0) << i;
}

TEST(DnsQuery, FinalDotAndEmptyLabelEndTheName)
{
    struct {
        const char* name;
        const char* same_as;
    } cases[] = {{"one.two.three.", "one.two.three"}, {"a..b", "a"}, {"a..bbbbbbbb", "a"}, {".", ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int length = 0;
        int expected_length = 0;
        bytes m = query(c.name, 512, &length);
        bytes expected = query(c.same_as, 512, &expected_length);
        EXPECT_EQ(length, expected_length);
        EXPECT_EQ(m, expected);  // nothing of the cut labels is left behind
    }
    int length = 0;
    query("", 512, &length);
    EXPECT_EQ(length, 17);
}

TEST(DnsQuery, NameEncodings)
{
    struct {
        const char* name;
        bytes expected;
    } cases[] = {
        {"one.two.three", {3, 'o', 'n', 'e', 3, 't', 'w', 'o', 5, 't', 'h', 'r', 'e', 'e', 0}},
        {"one.two.three.", {3, 'o', 'n', 'e', 3, 't', 'w', 'o', 5, 't', 'h', 'r', 'e', 'e', 0, 0}},
        {"a..b", {1, 'a', 0, 1, 'b', 0}},
        {"", {0, 0}},  // the root, then the closing zero
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(encoded(c.name), c.expected);
    }
    // Label lengths are kept modulo 256.
    std::string long_label(300, 'x');
    bytes long_encoding = encoded(long_label.c_str());
    ASSERT_EQ(long_encoding.size(), 302u);
    EXPECT_EQ(long_encoding[0], 300 % 256);
}

TEST(DnsQuery, NeverWritesPastTheGivenSize)
{
    int length = 0;
    bytes exact = query("one.two.three", 31, &length);
    EXPECT_EQ(length, 31);
    EXPECT_EQ(exact[31], 0xAA);
    for (int size : {30, 17, 12, 1}) {
        SCOPED_TRACE(size);
        bytes m = query("one.two.three", size, &length);
        EXPECT_EQ(length, -1);
        for (int i = 0; i < size; ++i)
            ASSERT_EQ(m[i], 0);
        for (int i = size; i < size + 16; ++i)
            ASSERT_EQ(m[i], 0xAA);
    }
    EXPECT_EQ(named_createquery(1, 1, nullptr, exact.data(), 31), -1);

    unsigned char out[20];
    std::memset(out, 0xAA, sizeof out);
    EXPECT_EQ(named_CreateNameFormat(out, 14, "one.two.three"), -1);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[14], 0xAA);
    EXPECT_EQ(named_CreateNameFormat(out, 15, "one.two.three"), 15);
}

TEST(DnsQuery, OverlongNamesAreRefusedRatherThanCut)
{
    // 1024 characters without a final dot would lose their last label.
    std::string name;
    while (name.size() < 1020)
        name += "abc.";
    name += "defg";
    ASSERT_EQ(name.size(), 1024u);
    std::vector<unsigned char> buffer(NAMED_MESSAGE_SIZE);
    EXPECT_EQ(named_createquery(1, 1, name.c_str(), buffer.data(), NAMED_MESSAGE_SIZE), -1);
    name.back() = '.';
    EXPECT_EQ(named_createquery(1, 1, name.c_str(), buffer.data(), NAMED_MESSAGE_SIZE), 12 + 1025 + 4);
    name.pop_back();  // 1023 characters: the dot is added
    EXPECT_EQ(named_createquery(1, 1, name.c_str(), buffer.data(), NAMED_MESSAGE_SIZE), 12 + 1025 + 4);
}

}  // namespace
