#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "utillib/utils.hpp"

namespace {

std::string dump(const void* bytes, int size, const char* name = "buf")
{
    testing::internal::CaptureStdout();
    utillib::hexdumpbuff(bytes, size, name);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

std::string spaces(size_t n)
{
    return std::string(n, ' ');
}

// Every byte from the new length to the old terminator ends up zero.
TEST(Stringhex2bin, Table)
{
    struct Case {
        const char* text;
        std::string bytes;
    };
    const Case cases[] = {
        {"\\x41\\s\\n", "A \n"}, {"\\xZZ", std::string(1, '\0')},  // letters beyond F count as 0
        {"\\x4g", "@"},          {"\\xff\\x00\\x7F", std::string("\xff\0\x7f", 3)},
        {"\\r\\t\\b", "\r\t\b"}, {"\\q", "\\q"},  // unknown escape kept
        {"ab\\", "ab\\"},                         // backslash at the end
        {"\\x4", "\\x4"},                         // only one digit
        {"\\x", "\\x"},          {"\\x-1", "\\x-1"},
        {"\\\\n", "\\\n"},  // the second backslash starts an escape
        {"plain", "plain"},      {"", ""},
    };
    for (const Case& c : cases) {
        std::vector<char> text(c.text, c.text + std::strlen(c.text) + 1);
        const int length = utillib::stringhex2bin(text.data());
        ASSERT_EQ(length, static_cast<int>(c.bytes.size())) << c.text;
        EXPECT_EQ(std::string(text.data(), static_cast<size_t>(length)), c.bytes) << c.text;
        for (size_t i = static_cast<size_t>(length); i < text.size(); ++i)
            EXPECT_EQ(text[i], '\0') << c.text << " byte " << i;
    }
    EXPECT_EQ(utillib::stringhex2bin(nullptr), 0);
}

TEST(Chunk2uint32, ReadsExactlyFourHexDigits)
{
    struct Case {
        const char* text;
        uint32_t value;
    };
    const Case cases[] = {
        {"00fF", 255}, {"12g4", 0x1204}, {"FFFF", 0xffff}, {"zzzz", 0}, {"0a0B", 0x0a0b}, {"123456", 0x1234},
    };
    for (const Case& c : cases)
        EXPECT_EQ(utillib::chunk2uint32(c.text), c.value) << c.text;
}

TEST(Hexdump, EmptyBufferShowsAnEmptyColumn)
{
    EXPECT_EQ(dump("", 0), "buf: showbuff(buffdata,buffsize=0,name): |                |\n");
    EXPECT_EQ(dump(nullptr, 0), "buf: showbuff(buffdata,buffsize=0,name): |                |\n");
}

TEST(Hexdump, OneFullRowFollowsTheHeader)
{
    EXPECT_EQ(dump("ABCDEFGHIJKLMNOP", 16),
              "buf: showbuff(buffdata,buffsize=16,name):"
              "41 42 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50  |ABCDEFGHIJKLMNOP|\n");
}

TEST(Hexdump, LongerBuffersGetOffsetsAndAPaddedLastRow)
{
    const unsigned char bytes[20] = {'0', '1', '2', '3', '4', '5', '6',  '7',  '8',  '9',
                                     'a', 'b', 'c', ' ', '}', '~', 0x7f, 0x00, 0xff, 'A'};
    EXPECT_EQ(dump(bytes, 20, "data"),
              "data: showbuff(buffdata,buffsize=20,name):\n"
              "00000000  30 31 32 33 34 35 36 37  38 39 61 62 63 20 7d 7e  |0123456789abc }.|\n"
              "00000010  7f 00 ff 41 " +
                  spaces(12 + 1 + 24) + " |...A" + spaces(12) + "|\n");
}

TEST(Hexdump, TwoFullRowsAndTextLength)
{
    const char* text = "abcdefghijklmnopqrstuvwxyz012345";
    EXPECT_EQ(dump(text, 32),
              "buf: showbuff(buffdata,buffsize=32,name):\n"
              "00000000  61 62 63 64 65 66 67 68  69 6a 6b 6c 6d 6e 6f 70  |abcdefghijklmnop|\n"
              "00000010  71 72 73 74 75 76 77 78  79 7a 30 31 32 33 34 35  |qrstuvwxyz012345|\n");
    // -1 takes the text length and is shown as given.
    EXPECT_EQ(dump("hi", -1),
              "buf: showbuff(buffdata,buffsize=-1,name):68 69 " + spaces(18 + 1 + 24) + " |hi" + spaces(14) + "|\n");
    EXPECT_EQ(dump("hi", -2), "");
    EXPECT_EQ(dump(nullptr, -1), "");
}

TEST(Hexdump, EveryRowsCharacterColumnLinesUp)
{
    unsigned char bytes[48];
    for (size_t i = 0; i < sizeof bytes; ++i)
        bytes[i] = static_cast<unsigned char>('A' + i % 26);
    for (int n = 1; n <= 48; ++n) {
        const std::string out = dump(bytes, n);
        // Column of the first bar of each row; on the header's line when n <= 16.
        std::vector<size_t> bars;
        size_t line_start = n > 16 ? out.find('\n') + 1 : out.find(':', 4) + 1;
        while (line_start < out.size()) {
            const size_t bar = out.find('|', line_start);
            const size_t end = out.find('\n', line_start);
            ASSERT_NE(bar, std::string::npos);
            ASSERT_NE(end, std::string::npos);
            bars.push_back(bar - line_start);
            EXPECT_EQ(end - bar, 18u) << "n=" << n;  // 16 characters between the bars
            line_start = end + 1;
        }
        ASSERT_EQ(bars.size(), static_cast<size_t>((n + 15) / 16)) << "n=" << n;
        for (size_t b : bars)
            EXPECT_EQ(b, n > 16 ? 10u + 49u + 1u : 49u + 1u) << "n=" << n << "\n" << out;
    }
}

}  // namespace
