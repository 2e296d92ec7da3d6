#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "utillib/string.hpp"

namespace {

// Output area prefilled with 'X' so that writes past the result show.
struct Output {
    char bytes[128];
    Output()
    {
        std::memset(bytes, 'X', sizeof bytes);
    }
    // True when nothing after the terminator at `length` was written.
    bool untouched_after(size_t length) const
    {
        for (size_t i = length + 1; i < sizeof bytes; ++i) {
            if (bytes[i] != 'X')
                return false;
        }
        return true;
    }
};

TEST(StrReplace, Table)
{
    struct Case {
        const char* subject;
        const char* search;
        const char* replacement;
        const char* result;  // null: nothing replaced
    };
    const Case cases[] = {
        {"a-b-c", "-", "+", "a+b+c"},     {"aaa", "aa", "b", "ba"},  // not overlapping, the last a kept
        {"abc", "xyz", "!", nullptr},     {"abc", "", "!", nullptr},
        {"a-b", "-", nullptr, "ab"},  // null replacement removes
        {"axbx", "x", "[x]", "a[x]b[x]"}, {"aba", "a", "aa", "aabaa"},
        {"abc", "abc", "", ""},           {"ab", "abc", "!", nullptr},
    };
    for (const Case& c : cases) {
        Output out;
        char* result = utillib::str_replace(c.subject, out.bytes, c.search, c.replacement);
        if (c.result == nullptr) {
            EXPECT_EQ(result, nullptr) << c.subject;
            EXPECT_EQ(out.bytes[0], 'X') << c.subject;  // left untouched
            continue;
        }
        ASSERT_EQ(result, out.bytes) << c.subject;
        EXPECT_STREQ(result, c.result);
        EXPECT_TRUE(out.untouched_after(std::strlen(c.result))) << c.subject;
    }
    Output out;
    EXPECT_EQ(utillib::str_replace(nullptr, out.bytes, "a", "b"), nullptr);
    EXPECT_EQ(utillib::str_replace("a", nullptr, "a", "b"), nullptr);
    EXPECT_EQ(utillib::str_replace("a", out.bytes, nullptr, "b"), nullptr);
}

TEST(Substr, ClampsStartAndCountToTheText)
{
    struct Case {
        int start;
        int count;
        const char* result;
    };
    const Case cases[] = {
        {1, 3, "ell"}, {0, 5, "hello"}, {0, 0, ""},  {2, 100, "llo"}, {-3, 2, "he"},
        {5, 1, ""},    {10, 2, ""},     {1, -1, ""}, {4, 1, "o"},
    };
    for (const Case& c : cases) {
        const char text[] = "hello";  // exact size: a read past it shows under the sanitizer
        Output out;
        ASSERT_EQ(utillib::substr(text, out.bytes, c.start, c.count), out.bytes);
        EXPECT_STREQ(out.bytes, c.result) << c.start << "," << c.count;
        EXPECT_TRUE(out.untouched_after(std::strlen(c.result)));
    }
    char in_place[] = "hello";
    EXPECT_STREQ(utillib::substr(in_place, in_place, 1, 3), "ell");
    EXPECT_EQ(utillib::substr(nullptr, in_place, 0, 1), nullptr);
}

TEST(SubstrReplace, Table)
{
    struct Case {
        const char* text;
        const char* replacement;
        int start;
        int count;
        const char* result;
    };
    const Case cases[] = {
        {"abcdef", "XYZW", 1, 2, "aXYZWdef"},
        {"abcdef", "Z", 1, 2, "aZdef"},
        {"abcdefghijklmnopqrstuvwxyz", "Z", 1, 2, "aZdefghijklmnopqrstuvwxyz"},  // whole tail kept
        {"abcdef", "", 0, 6, ""},
        {"abcdef", nullptr, 2, 2, "abef"},
        {"abcdef", "!", 0, 0, "!abcdef"},
        {"abcdef", "!", 6, 0, "abcdef!"},
        {"abc", "X", 1, 100, "aX"},   // count held within the text
        {"abc", "X", 10, 1, "abcX"},  // start held within the text
        {"abc", "X", -2, 1, "Xbc"},   // negative start counts as 0
        {"abc", "X", 1, -1, "aXbc"},
    };
    for (const Case& c : cases) {
        Output out;
        ASSERT_EQ(utillib::substr_replace(c.text, c.replacement, out.bytes, c.start, c.count), out.bytes);
        EXPECT_STREQ(out.bytes, c.result) << c.text << " " << c.start << "," << c.count;
        EXPECT_TRUE(out.untouched_after(std::strlen(c.result)));
    }
    char in_place[16] = "abcdef";
    EXPECT_STREQ(utillib::substr_replace(in_place, "XYZW", in_place, 1, 2), "aXYZWdef");
    EXPECT_EQ(utillib::substr_replace(nullptr, "x", in_place, 0, 0), nullptr);
}

TEST(StrRepeat, Table)
{
    struct Case {
        const char* text;
        int times;
        const char* result;
    };
    const Case cases[] = {{"ab", 3, "ababab"}, {"ab", 1, "ab"}, {"ab", 0, ""}, {"ab", -2, ""}, {"", 5, ""}};
    for (const Case& c : cases) {
        Output out;
        ASSERT_EQ(utillib::str_repeat(c.text, out.bytes, c.times), out.bytes);
        EXPECT_STREQ(out.bytes, c.result);
        EXPECT_TRUE(out.untouched_after(std::strlen(c.result)));
    }
    Output out;
    EXPECT_EQ(utillib::str_repeat(nullptr, out.bytes, 2), nullptr);
}

TEST(StrPad, Table)
{
    struct Case {
        const char* text;
        unsigned length;
        const char* pad;
        int mode;
        const char* result;
    };
    const Case cases[] = {
        {"5", 8, "ab", utillib::str_pad_right, "5abababa"},
        {"5", 8, "ab", utillib::str_pad_left, "abababa5"},
        {"5", 8, "ab", utillib::str_pad_both, "aba5abab"},
        {"5", 8, "ab", 0, "5abababa"},  // any other mode pads on the right
        {"5", 8, "ab", 99, "5abababa"},
        {"ab", 7, "xyz", utillib::str_pad_both, "xyabxyz"},
        {"ab", 3, "xyz", utillib::str_pad_both, "abx"},
        {"", 4, "-", utillib::str_pad_left, "----"},
        {"abc", 2, "x", utillib::str_pad_right, "abc"},  // never cut
        {"abc", 3, "x", utillib::str_pad_left, "abc"},
        {"abc", 10, "", utillib::str_pad_right, "abc"},  // nothing to pad with
        {"abc", 10, nullptr, utillib::str_pad_both, "abc"},
    };
    for (const Case& c : cases) {
        Output out;
        ASSERT_EQ(utillib::str_pad(c.text, out.bytes, c.length, c.pad, c.mode), out.bytes);
        EXPECT_STREQ(out.bytes, c.result) << c.text << " " << c.length << " mode " << c.mode;
        EXPECT_TRUE(out.untouched_after(std::strlen(c.result)));
    }
    char in_place[16] = "5";
    EXPECT_STREQ(utillib::str_pad(in_place, in_place, 8, "ab", utillib::str_pad_both), "aba5abab");
    Output out;
    EXPECT_EQ(utillib::str_pad(nullptr, out.bytes, 8, "ab", 1), nullptr);
}

TEST(CaseConversion, PolishLettersInEveryEncoding)
{
    struct Case {
        int encoding;
        const char* upper;
        const char* lower;
    };
    const Case cases[] = {
        {utillib::encoding_utf8, "ZAŻÓŁĆ GĘŚLĄ JAŹŃ", "zażółć gęślą jaźń"},
        {utillib::encoding_utf8, "ŻÓŁW", "żółw"},
        {utillib::encoding_iso8859_2, "AB\xA1\xA6\xAC\xAF", "ab\xB1\xB6\xBC\xBF"},
        {utillib::encoding_cp1250, "AB\xA5\x8C\x8F\xAF", "ab\xB9\x9C\x9F\xBF"},
        {utillib::encoding_cp852, "AB\xA4\x8F\xA8\x9D\xE3\xE0\x97\x8D\xBD", "ab\xA5\x86\xA9\x88\xE4\xA2\x98\xAB\xBE"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.encoding);
        Output out;
        ASSERT_EQ(utillib::strtolower(c.upper, out.bytes, c.encoding), out.bytes);
        EXPECT_STREQ(out.bytes, c.lower);
        EXPECT_TRUE(out.untouched_after(std::strlen(c.upper)));
        ASSERT_EQ(utillib::strtoupper(c.lower, out.bytes, c.encoding), out.bytes);
        EXPECT_STREQ(out.bytes, c.upper);
        // Already in the target case: unchanged.
        EXPECT_STREQ(utillib::strtolower(c.lower, out.bytes, c.encoding), c.lower);
        EXPECT_STREQ(utillib::strtoupper(c.upper, out.bytes, c.encoding), c.upper);
    }
}

TEST(CaseConversion, OnlyTheSelectedTableApplies)
{
    struct Case {
        int encoding;
        const char* text;
        const char* lower;
    };
    const Case cases[] = {
        {utillib::encoding_iso8859_2, "\xA3", "\xA3"},          // other letters left to the C library
        {utillib::encoding_iso8859_2, "\xC5\x81", "\xC5\x81"},  // UTF-8 only under its selector
        {utillib::encoding_utf8, "\xA1\xA5\xA4", "\xA1\xA5\xA4"},
        {0, "ŻÓŁW Ab", "ŻÓŁw ab"},
        {7, "\xA1\xA5", "\xA1\xA5"},
        {utillib::encoding_utf8, "X\xC5", "x\xC5"},  // a lone first byte at the end
    };
    for (const Case& c : cases) {
        Output out;
        EXPECT_STREQ(utillib::strtolower(c.text, out.bytes, c.encoding), c.lower) << c.encoding;
    }
    char in_place[] = "ŻÓŁW";
    EXPECT_STREQ(utillib::strtolower(in_place, in_place, utillib::encoding_utf8), "żółw");
    Output out;
    EXPECT_EQ(utillib::strtolower(nullptr, out.bytes, 1), nullptr);
    EXPECT_EQ(utillib::strtoupper(nullptr, out.bytes, 1), nullptr);
}

TEST(Trim, Table)
{
    struct Case {
        const char* text;
        const char* both;
        const char* left;
        const char* right;
    };
    const Case cases[] = {
        {"  abc\t", "abc", "abc\t", "  abc"},
        {"\r\n \t", "", "", ""},
        {"", "", "", ""},
        {"a b", "a b", "a b", "a b"},
        {"\vabc\f", "\vabc\f", "\vabc\f", "\vabc\f"},  // only tab, space, CR and LF
        {"\n x \r", "x", "x \r", "\n x"},
    };
    for (const Case& c : cases) {
        Output out;
        ASSERT_EQ(utillib::trim(c.text, out.bytes), out.bytes);
        EXPECT_STREQ(out.bytes, c.both);
        EXPECT_TRUE(out.untouched_after(std::strlen(c.both)));
        EXPECT_STREQ(utillib::ltrim(c.text, out.bytes), c.left);
        EXPECT_STREQ(utillib::rtrim(c.text, out.bytes), c.right);
    }
    char in_place[] = "  abc  ";
    EXPECT_STREQ(utillib::trim(in_place, in_place), "abc");
    Output out;
    EXPECT_EQ(utillib::trim(nullptr, out.bytes), nullptr);
}

std::vector<std::string> split(const char* text, const char* delimiters)
{
    std::vector<char> copy(text, text + std::strlen(text) + 1);
    std::vector<std::string> tokens;
    char* cursor = copy.data();
    while (char* token = utillib::strsep(&cursor, delimiters)) {
        tokens.emplace_back(token);
        if (tokens.size() > 100)
            break;
    }
    EXPECT_EQ(cursor, nullptr);
    return tokens;
}

TEST(Strsep, Tokens)
{
    using Tokens = std::vector<std::string>;
    EXPECT_EQ(split("a,,b", ","), (Tokens{"a", "", "b"}));
    EXPECT_EQ(split("x;y,z", ",;"), (Tokens{"x", "y", "z"}));
    EXPECT_EQ(split(",", ","), (Tokens{"", ""}));
    EXPECT_EQ(split("abc", ","), (Tokens{"abc"}));
    EXPECT_EQ(split("", ","), (Tokens{""}));
    EXPECT_EQ(split("a,b", ""), (Tokens{"a,b"}));

    char text[] = "a,b";
    char* cursor = text;
    EXPECT_STREQ(utillib::strsep(&cursor, ","), "a");
    EXPECT_EQ(cursor, text + 2);  // just past the delimiter
    EXPECT_EQ(text[1], '\0');
    char* none = nullptr;
    EXPECT_EQ(utillib::strsep(&none, ","), nullptr);
    EXPECT_EQ(utillib::strsep(nullptr, ","), nullptr);
}

TEST(Memmem, Table)
{
    const char bytes[] = {'a', '\0', 'b', 'c', 'd', 'x', 'y'};
    struct Case {
        const char* pattern;
        int m;
        int count;
        int offset;  // -1: not found
    };
    const Case cases[] = {
        {"xy", 2, 7, 5},         // ends at the last byte
        {"a\0bcdxy", 7, 7, 0},   // the whole buffer
        {"\0b", 2, 7, 1},        // zero bytes compared too
        {"xy", 2, 6, -1},        // beyond count
        {"abcdefgh", 8, 7, -1},  // longer than the bytes
        {"", 0, 7, 0},          {"q", 1, 7, -1}, {"a", 1, -1, -1}, {"a", -1, 7, -1},
    };
    for (const Case& c : cases) {
        const void* found = utillib::memmem(bytes, c.count, c.pattern, c.m);
        if (c.offset < 0)
            EXPECT_EQ(found, nullptr) << c.pattern;
        else
            EXPECT_EQ(found, bytes + c.offset) << c.pattern;
    }
    EXPECT_EQ(utillib::memmem(nullptr, 7, "a", 1), nullptr);
}

TEST(Strnlen, BoundedByTheLimit)
{
    EXPECT_EQ(utillib::strnlen("abc", 10), 3);
    EXPECT_EQ(utillib::strnlen("abc", 3), 3);
    EXPECT_EQ(utillib::strnlen("abc", 2), 2);
    EXPECT_EQ(utillib::strnlen("abc", 0), 0);
    EXPECT_EQ(utillib::strnlen("abc", -4), 0);
    EXPECT_EQ(utillib::strnlen(nullptr, 4), 0);
    const char unterminated[4] = {'a', 'b', 'c', 'd'};  // no byte past it is read
    EXPECT_EQ(utillib::strnlen(unterminated, 4), 4);
}

}  // namespace
