// Socket options read back from real sockets through the library's codes.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <cerrno>

#include "socketlib/socket.hpp"

namespace {

using namespace socketlib;

struct OptionsTest : ::testing::Test {
    int udp = sock_open(AF_INET, SOCK_DGRAM, 0);
    int tcp = sock_open(AF_INET, SOCK_STREAM, 0);
    void TearDown() override
    {
        sock_close(udp);
        sock_close(tcp);
    }
};

TEST_F(OptionsTest, LingerIsSwitchedOnWithTheLow16BitsAsTime)
{
    ASSERT_EQ(sock_optset(tcp, SOCK_OPT_LINGER, 5), 0);
    struct ::linger record {};
    int length = static_cast<int>(sizeof record);
    ASSERT_EQ(platform::getsockopt(tcp, SOL_SOCKET, SO_LINGER, &record, &length), 0);
    EXPECT_EQ(record.l_onoff, 1);
    EXPECT_EQ(record.l_linger, 5);
    int value = -7;
    EXPECT_EQ(sock_optget(tcp, SOCK_OPT_LINGER, &value), 0);
    EXPECT_EQ(value, 1);

    ASSERT_EQ(sock_optset(tcp, SOCK_OPT_LINGER, 65541), 0);
    ASSERT_EQ(platform::getsockopt(tcp, SOL_SOCKET, SO_LINGER, &record, &length), 0);
    EXPECT_EQ(record.l_linger, 5);
}

TEST_F(OptionsTest, PlainFlagsAndSizesReadBack)
{
    int value = -1;
    ASSERT_EQ(sock_optset(udp, SOCK_OPT_BROADCAST, 1), 0);
    ASSERT_EQ(sock_optget(udp, SOCK_OPT_BROADCAST, &value), 0);
    EXPECT_EQ(value, 1);
    ASSERT_EQ(sock_optset(udp, SOCK_OPT_REUSEADDR, 1), 0);
    ASSERT_EQ(sock_optget(udp, SOCK_OPT_REUSEADDR, &value), 0);
    EXPECT_EQ(value, 1);
    ASSERT_EQ(sock_optset(tcp, SOCK_OPT_NODELAY, 1), 0);
    ASSERT_EQ(sock_optget(tcp, SOCK_OPT_NODELAY, &value), 0);
    EXPECT_EQ(value, 1);
    ASSERT_EQ(sock_optset(udp, SOCK_OPT_RCVBUF, 65536), 0);
    ASSERT_EQ(sock_optget(udp, SOCK_OPT_RCVBUF, &value), 0);
    EXPECT_GE(value, 65536);
    ASSERT_EQ(sock_optget(udp, SOCK_OPT_TYPE, &value), 0);
    EXPECT_EQ(value, SOCK_DGRAM);
    ASSERT_EQ(sock_optget(tcp, SOCK_OPT_ERROR, &value), 0);
    EXPECT_EQ(value, 0);
}

TEST_F(OptionsTest, IpHeaderFieldsOfBothFamiliesReadBack)
{
    int value = -1;
    ASSERT_EQ(sock_optset(udp, SOCK_OPT_TOS, 0xb8), 0);
    ASSERT_EQ(sock_optget(udp, SOCK_OPT_TOS, &value), 0);
    EXPECT_EQ(value, 0xb8);
    ASSERT_EQ(sock_optset(udp, SOCK_OPT_TTL, 7), 0);
    ASSERT_EQ(sock_optget(udp, SOCK_OPT_TTL, &value), 0);
    EXPECT_EQ(value, 7);
    EXPECT_LT(sock_optset(udp, SOCK_OPT_TTL, 0), 0);
    int udp6 = sock_open(AF_INET6, SOCK_DGRAM, 0);
    ASSERT_GE(udp6, 0);
    ASSERT_EQ(sock_optset(udp6, SOCK_OPT_TCLASS, 0x28), 0);
    ASSERT_EQ(sock_optget(udp6, SOCK_OPT_TCLASS, &value), 0);
    EXPECT_EQ(value, 0x28);
    ASSERT_EQ(sock_optset(udp6, SOCK_OPT_HOPS, 9), 0);
    ASSERT_EQ(sock_optget(udp6, SOCK_OPT_HOPS, &value), 0);
    EXPECT_EQ(value, 9);
    // An IPv6 option on an IPv4 socket is an error, not silently ignored.
    EXPECT_LT(sock_optset(udp, SOCK_OPT_HOPS, 9), 0);
    sock_close(udp6);
}

TEST_F(OptionsTest, NodelayOnADatagramSocketIsRefused)
{
    EXPECT_EQ(sock_optset(udp, SOCK_OPT_NODELAY, 1), -platform::WSAENOPROTOOPT);
    EXPECT_EQ(errno, platform::WSAENOPROTOOPT);
}

TEST_F(OptionsTest, ModeCodesSwitchWhateverTheValue)
{
    EXPECT_EQ(sock_optset(udp, SOCK_OPT_NONBLOCKING, 0), 1);
    EXPECT_TRUE(fcntl(udp, F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(sock_optset(udp, SOCK_OPT_BLOCKING, 1), 1);
    EXPECT_FALSE(fcntl(udp, F_GETFL) & O_NONBLOCK);
    int value = 0;
    EXPECT_EQ(sock_optget(udp, SOCK_OPT_NONBLOCKING, &value), 1);
    EXPECT_TRUE(fcntl(udp, F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(sock_optget(udp, SOCK_OPT_BLOCKING, &value), 1);
    EXPECT_FALSE(fcntl(udp, F_GETFL) & O_NONBLOCK);
}

TEST_F(OptionsTest, UnknownAndReadOnlyCodesAreLeftAlone)
{
    int value = 42;
    EXPECT_EQ(sock_optget(udp, 7, &value), 1);
    EXPECT_EQ(value, 42);
    EXPECT_EQ(sock_optset(udp, SOCK_OPT_TYPE, SOCK_STREAM), 1);
    EXPECT_EQ(sock_optset(udp, SOCK_OPT_ERROR, 5), 1);
    ASSERT_EQ(sock_optget(udp, SOCK_OPT_TYPE, &value), 0);
    EXPECT_EQ(value, SOCK_DGRAM);
}

TEST(Options, ClosedOrInvalidSocketIsNotASocket)
{
    int sock = sock_open(AF_INET, SOCK_DGRAM, 0);
    sock_close(sock);
    int value = 0;
    const int codes[] = {SOCK_OPT_BROADCAST, SOCK_OPT_LINGER, SOCK_OPT_RCVBUF, SOCK_OPT_NONBLOCKING, SOCK_OPT_BLOCKING};
    for (int code : codes) {
        EXPECT_EQ(sock_optget(sock, code, &value), -platform::WSAENOTSOCK) << code;
        EXPECT_EQ(sock_optset(sock, code, 1), -platform::WSAENOTSOCK) << code;
        EXPECT_EQ(sock_optset(-1, code, 1), -platform::WSAENOTSOCK) << code;
    }
    EXPECT_EQ(udp_sockoptget(-1, SOCK_OPT_SNDBUF, &value), -platform::WSAENOTSOCK);
    EXPECT_EQ(udp_sockoptset(-1, SOCK_OPT_SNDBUF, 1), -platform::WSAENOTSOCK);
}

}  // namespace
