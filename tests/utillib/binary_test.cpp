#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "utillib/utils.hpp"

namespace {

TEST(Binstrpos, Table)
{
    const char bytes[] = {'a', '\0', 'b', 'c', 'd', 'x', 'y'};
    struct Case {
        const char* pattern;
        int count;
        int offset;
    };
    const Case cases[] = {
        {"cd", 7, 3},                                                  // past an embedded zero byte
        {"xy", 7, 5},                                                  // ends at the last byte
        {"xy", 6, -1},                                                 // the match lies beyond count
        {"y", 7, 6},   {"a", 7, 0},  {"dz", 7, -1},       {"", 7, 0},  // an empty pattern matches at once
        {"", 0, 0},    {"a", 0, -1}, {"abcdefgh", 7, -1},              // longer than the bytes
        {"a", -1, -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(utillib::binstrpos(c.pattern, bytes, c.count), c.offset) << c.pattern << " in " << c.count;
    EXPECT_EQ(utillib::binstrpos("same", "same", 4), 0);
    EXPECT_EQ(utillib::binstrpos(nullptr, bytes, 7), -1);
    EXPECT_EQ(utillib::binstrpos("a", nullptr, 7), -1);
}

TEST(Binstrrev, ReversesThePrefixInPlace)
{
    struct Case {
        unsigned count;
        const char* result;
    };
    const Case cases[] = {{6, "fedcba"}, {5, "edcbaf"}, {2, "bacdef"}, {1, "abcdef"}, {0, "abcdef"}};
    for (const Case& c : cases) {
        char text[] = "abcdef";
        EXPECT_EQ(utillib::binstrrev(text, c.count), 0);
        EXPECT_STREQ(text, c.result) << c.count;
    }
}

TEST(Binstrrev, LargestRunAndRefusalBeyondIt)
{
    std::vector<unsigned char> bytes(utillib::binstrrev_max + 1);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<unsigned char>(i * 7);
    const std::vector<unsigned char> original = bytes;

    EXPECT_EQ(utillib::binstrrev(bytes.data(), utillib::binstrrev_max + 1), -1);
    EXPECT_EQ(bytes, original);

    EXPECT_EQ(utillib::binstrrev(bytes.data(), utillib::binstrrev_max), 0);
    for (size_t i = 0; i < utillib::binstrrev_max; ++i)
        ASSERT_EQ(bytes[i], original[utillib::binstrrev_max - 1 - i]) << i;
    EXPECT_EQ(bytes.back(), original.back());
}

TEST(Mybasename, LastBackslashComponent)
{
    struct Case {
        const char* path;
        const char* name;
    };
    const Case cases[] = {
        {"C:\\dir\\file.txt", "file.txt"},
        {"file.txt", "file.txt"},
        {"dir\\", ""},
        {"\\\\server\\share\\x", "x"},
        {"a/b/c", "a/b/c"},  // the slash does not separate
        {"", ""},
    };
    for (const Case& c : cases) {
        const size_t length = std::strlen(c.path);
        std::vector<char> out(length + 4, 'X');
        EXPECT_EQ(utillib::mybasename(c.path, out.data()), out.data());
        EXPECT_STREQ(out.data(), c.name) << c.path;
        // Zero-filled for the path's length + 1 bytes and not beyond.
        for (size_t i = std::strlen(c.name); i <= length; ++i)
            EXPECT_EQ(out[i], '\0') << c.path << " byte " << i;
        EXPECT_EQ(out[length + 1], 'X') << c.path;
    }
    char out[4] = "abc";
    EXPECT_EQ(utillib::mybasename(nullptr, out), out);
    EXPECT_STREQ(out, "abc");
}

TEST(Hrfilesize, UnitBoundaries)
{
    constexpr double kib = 1024.0, mib = kib * 1024, gib = mib * 1024;
    struct Case {
        double size;
        char separator;
        const char* text;
    };
    const Case cases[] = {
        {0, '.', "0 B"},
        {1023, '.', "1023 B"},
        {1024, '.', "1.000 kB"},
        {1536, ',', "1,500 kB"},
        {100 * kib - 1, '.', "99.999 kB"},
        {100 * kib, '.', "100.00 kB"},
        {mib - 1, '.', "1024.00 kB"},
        {mib, '.', "1.000 MB"},
        {100 * mib - 1, '.', "100.000 MB"},
        {100 * mib, '.', "100.00 MB"},
        {gib - 1, '.', "1024.00 MB"},
        {gib, ',', "1,00 GB"},
        {5 * gib, '.', "5.00 GB"},
        {10 * gib - 1, '.', "10.00 GB"},
        {10 * gib, '.', "10.0 GB"},
        {1e15, '.', "931322.6 GB"},
        {-1, '.', "-0.0 GB"},
        {-5 * gib, ',', "-5,0 GB"},
    };
    for (const Case& c : cases) {
        char out[32];
        EXPECT_EQ(utillib::hrfilesize(c.size, out, sizeof out, c.separator), out);
        EXPECT_STREQ(out, c.text) << c.size;
    }
    char out[32];
    EXPECT_NE(std::strstr(utillib::hrfilesize(std::nan(""), out, sizeof out, '.'), "nan GB"), nullptr);
}

TEST(Hrfilesize, StaysWithinTheGivenSize)
{
    char out[16];
    std::memset(out, 'X', sizeof out);
    EXPECT_STREQ(utillib::hrfilesize(1536, out, 4, ','), "1,5");
    for (size_t i = 4; i < sizeof out; ++i)
        EXPECT_EQ(out[i], 'X') << i;
    std::memset(out, 'X', sizeof out);
    utillib::hrfilesize(1536, out, 0, ',');
    EXPECT_EQ(out[0], 'X');
    EXPECT_EQ(utillib::hrfilesize(1536, nullptr, 8, ','), nullptr);
}

}  // namespace
