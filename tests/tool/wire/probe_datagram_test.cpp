// The probe datagram's header fields.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "tool/wire/probe_datagram.hpp"

namespace {

TEST(ToolDatagram, FieldsAreLittleEndianByValueCode) {
    unsigned char data[datagram_header_size] = {};
    data_value_set(data, value_probe, 1);
    EXPECT_EQ(data[4], 1);
    EXPECT_EQ(data[5], 0);
    data_value_set(data, value_reserved, -2);
    data_value_set(data, value_probesize, 0x01020304);
    data_value_set(data, value_replysize, INT_MIN);
    const unsigned char expected[datagram_header_size] = {0xFE, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0,
                                                          4,    3,    2,    1,    0, 0, 0, 0x80};
    EXPECT_EQ(std::memcmp(data, expected, sizeof data), 0);
    EXPECT_EQ(data_value_get(data, value_reserved), -2);
    EXPECT_EQ(data_value_get(data, value_probe), 1);
    EXPECT_EQ(data_value_get(data, value_probesize), 0x01020304);
    EXPECT_EQ(data_value_get(data, value_replysize), INT_MIN);
    // Codes that name no field read 0 and change nothing.
    for (int code : {0, 2, 3, 4, 8, -1, 1000}) {
        EXPECT_EQ(data_value_get(data, code), 0) << code;
        data_value_set(data, code, 0x55555555);
        EXPECT_EQ(std::memcmp(data, expected, sizeof data), 0) << code;
    }
}

}  // namespace
