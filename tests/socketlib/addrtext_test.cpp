// Address text conversions and socket descriptions.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "socketlib/socket.hpp"
#include "tests/support/test_support.hpp"

namespace {

using namespace socketlib;

TEST(AddressText, PtonReadsIpv4AndIpv6)
{
    unsigned char v4[4] = {};
    EXPECT_EQ(socketlib::inet_pton(AF_INET, "10.1.2.3", v4), 1);
    EXPECT_EQ(v4[0], 10);
    EXPECT_EQ(v4[3], 3);
    EXPECT_EQ(socketlib::inet_pton(AF_INET, "10.1.2.4:99", v4), 1);  // the port is dropped
    EXPECT_EQ(v4[3], 4);
    unsigned char v6[16] = {};
    EXPECT_EQ(socketlib::inet_pton(AF_INET6, "[2001:db8::1]:443", v6), 1);
    EXPECT_EQ(v6[0], 0x20);
    EXPECT_EQ(v6[15], 1);
}

TEST(AddressText, PtonFailures)
{
    unsigned char bytes[16] = {};
    EXPECT_EQ(socketlib::inet_pton(AF_INET, "localhost", bytes), 0);
    errno = 0;
    EXPECT_EQ(socketlib::inet_pton(AF_INET, nullptr, bytes), 0);
    EXPECT_EQ(errno, platform::RT_ENOMEM);
    EXPECT_EQ(socketlib::inet_pton(17, "10.1.2.3", bytes), -1);
    EXPECT_EQ(errno, platform::WSAEAFNOSUPPORT);
    EXPECT_EQ(socketlib::inet_pton(AF_INET6, "1.2.3.4", bytes), 0);
}

TEST(AddressText, NtopAndItsBufferBound)
{
    unsigned char v4[4] = {192, 168, 100, 200};
    char text[16];
    EXPECT_STREQ(socketlib::inet_ntop(AF_INET, v4, text, sizeof text), "192.168.100.200");
    char small[8] = "keep";
    EXPECT_EQ(socketlib::inet_ntop(AF_INET, v4, small, sizeof small), nullptr);
    EXPECT_EQ(socketlib::inet_ntop(99, v4, text, sizeof text), nullptr);
    char v6text[46];
    EXPECT_STREQ(socketlib::inet_ntop(AF_INET6, &in6addr_loopback, v6text, sizeof v6text), "::1");
}

TEST(SocketInfo, LocalAndPeerOfRealSockets)
{
    auto a = test_support::open_bound_udp();
    char text[64];
    char expected[64];
    std::snprintf(expected, sizeof expected, "127.0.0.1:%d", a.port);
    EXPECT_STREQ(sock_localinfo(a.sock, text, sizeof text), expected);
    EXPECT_EQ(sock_peerinfo(a.sock, text, sizeof text), nullptr);

    auto b = test_support::open_bound_udp();
    ASSERT_EQ(platform::connect(b.sock, &a.address, 16), 0);
    EXPECT_STREQ(sock_peerinfo(b.sock, text, sizeof text), expected);

    int v6 = sock_open(AF_INET6, SOCK_DGRAM, 0);
    sockaddr_in6 loop = create_sockaddr6in(AF_INET6, "::1", "0");
    ASSERT_EQ(sock_bind(v6, &loop), 0);
    char v6text[64];
    ASSERT_NE(sock_localinfo(v6, v6text, sizeof v6text), nullptr);
    int port = 0;
    EXPECT_EQ(std::sscanf(v6text, "[::1]:%d", &port), 1) << v6text;
    EXPECT_GT(port, 0);
    udp_close(a.sock);
    udp_close(b.sock);
    sock_close(v6);
}

TEST(SocketInfo, CutTextStaysTerminated)
{
    auto a = test_support::open_bound_udp();
    char text[8];
    std::memset(text, '#', sizeof text);
    ASSERT_EQ(sock_localinfo(a.sock, text, sizeof text), text);
    EXPECT_EQ(std::strlen(text), 7u);
    EXPECT_EQ(std::strncmp(text, "127.0.0", 7), 0);
    udp_close(a.sock);
}

TEST(RecordInfo, EachKindOfRecord)
{
    char text[128];
    sockaddr_in v4 = create_sockaddrin(AF_INET, "10.0.0.1", "8080");
    EXPECT_STREQ(addr_info(&v4, text, sizeof text), "10.0.0.1:8080");
    sockaddr_in6 v6 = create_sockaddr6in(AF_INET6, "::1", "8080");
    EXPECT_STREQ(addr_info(&v6, text, sizeof text), "[::1]:8080");
    sockaddr_un local = create_sockaddrun(AF_UNIX, "/tmp/echo.sock");
    EXPECT_STREQ(addr_info(&local, text, sizeof text), "/tmp/echo.sock");
    EXPECT_STREQ(addrun_info(local, text, sizeof text), "/tmp/echo.sock");

    std::strcpy(text, "untouched");
    sockaddr_in odd = v4;
    odd.sin_family = 77;
    EXPECT_EQ(addr_info(&odd, text, sizeof text), nullptr);
    EXPECT_STREQ(text, "untouched");

    // addrin_info reads any record as IPv4.
    sockaddr_in family_one = v4;
    family_one.sin_family = AF_UNIX;
    EXPECT_STREQ(addrin_info(family_one, text, sizeof text), "10.0.0.1:8080");
}

TEST(RecordInfo, SizeOfZeroOrBelowWritesNothing)
{
    auto bound = test_support::open_bound_udp();
    sockaddr_in v4 = create_sockaddrin(AF_INET, "10.0.0.1", "8080");
    sockaddr_in6 v6 = create_sockaddr6in(AF_INET6, "2001:db8::1", "8080");
    sockaddr_un local = create_sockaddrun(AF_UNIX, "/tmp/echo.sock");
    for (int size : {0, -1}) {
        // Two bytes stand for the caller's buffer; the rest must stay as it was.
        char area[64];
        std::memset(area, '#', sizeof area);
        addr_info(&v4, area, size);
        addr_info(&v6, area, size);
        addr_info(&local, area, size);
        addrin_info(v4, area, size);
        addrun_info(local, area, size);
        sock_localinfo(bound.sock, area, size);
        for (std::size_t i = 0; i < sizeof area; ++i)
            ASSERT_EQ(area[i], '#') << "size " << size << ", byte " << i;
    }
    udp_close(bound.sock);
}

TEST(RecordInfo, FullLengthLocalPathIsReadWithinItsField)
{
    char long_path[120];
    std::memset(long_path, 'q', sizeof long_path - 1);
    long_path[119] = '\0';
    sockaddr_un local = create_sockaddrun(AF_UNIX, long_path);
    char text[200];
    std::memset(text, '#', sizeof text);
    ASSERT_EQ(addrun_info(local, text, sizeof text), text);
    EXPECT_EQ(std::strlen(text), 108u);
    char small[10];
    addrun_info(local, small, sizeof small);
    EXPECT_EQ(std::strlen(small), 9u);
}

}  // namespace
