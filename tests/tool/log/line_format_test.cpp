// The hand-made formatting of the per-datagram log lines.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>

#include "tool/log/line_format.hpp"

namespace {

// The responder's own number formatting writes exactly what printf writes.
TEST(ToolDatagram, LineNumbersAsPrintfWritesThem) {
    for (int value : {0, 7, -1, -12345, 123456, 1234567, -1234567, INT_MAX, INT_MIN}) {
        for (int width : {0, 6}) {
            char expected[32], got[32];
            std::snprintf(expected, sizeof expected, "%0*d", width, value);
            line_builder line = {got, got + sizeof got};
            put_text(&line, "");
            put_int(&line, value, width);
            EXPECT_STREQ(got, expected) << value << " " << width;
        }
    }
    // Never beyond the end, always terminated.
    char small[5];
    line_builder line = {small, small + sizeof small};
    put_text(&line, "ab");
    put_int(&line, -123456, 6);
    EXPECT_STREQ(small, "ab-1");
}

}  // namespace
