// UDP operations over loopback: time-outs, zero-filled buffers, oversized and
// empty datagrams, error codes, and descriptors beyond select's usual limit.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "socketlib/socket.hpp"
#include "tests/support/test_support.hpp"

namespace {

using namespace socketlib;

struct UdpTest : ::testing::Test {
    test_support::bound_udp receiver = test_support::open_bound_udp();
    test_support::bound_udp sender = test_support::open_bound_udp();
    void TearDown() override
    {
        udp_close(receiver.sock);
        udp_close(sender.sock);
    }
};

TEST_F(UdpTest, ShortDatagramArrivesWithTheRestOfTheBufferZeroed)
{
    char data[60];
    std::memset(data, 'a', sizeof data);
    ASSERT_EQ(udp_send(sender.sock, &receiver.address, data, 60, 1.0), 60);
    char buffer[100];
    std::memset(buffer, 'z', sizeof buffer);
    sockaddr_in from{};
    ASSERT_EQ(udp_recv(receiver.sock, &from, buffer, 100, 1.0), 60);
    EXPECT_EQ(ntohs(from.sin_port), sender.port);
    EXPECT_EQ(buffer[59], 'a');
    for (int i = 60; i < 100; ++i)
        ASSERT_EQ(buffer[i], 0) << i;
}

TEST_F(UdpTest, ZeroTimeOutPollsOnce)
{
    char buffer[16];
    double start = platform::monotonic_seconds();
    EXPECT_EQ(udp_recv(receiver.sock, nullptr, buffer, 16, 0.0), SOCK_ERR_TIMEOUT);
    // Truncated to zero seconds and zero microseconds, so also an immediate poll.
    EXPECT_EQ(udp_recv(receiver.sock, nullptr, buffer, 16, 0.0000005), SOCK_ERR_TIMEOUT);
    EXPECT_LT(platform::monotonic_seconds() - start, 0.05);

    char byte = 'b';
    ASSERT_EQ(udp_blocksend(sender.sock, &receiver.address, &byte, 1), 1);
    // Give loopback a moment, then a zero time-out finds the datagram waiting.
    platform::Sleep(20);
    EXPECT_EQ(udp_recv(receiver.sock, nullptr, buffer, 16, 0.0), 1);
}

TEST_F(UdpTest, TimeOutWaitsAboutItsLength)
{
    char buffer[16];
    double start = platform::monotonic_seconds();
    EXPECT_EQ(udp_recv(receiver.sock, nullptr, buffer, 16, 0.2), SOCK_ERR_TIMEOUT);
    double waited = platform::monotonic_seconds() - start;
    EXPECT_GE(waited, 0.19);
    EXPECT_LT(waited, 1.0);
}

TEST_F(UdpTest, NegativeTimeOutFailsTheWait)
{
    char buffer[16];
    EXPECT_EQ(udp_recv(receiver.sock, nullptr, buffer, 16, -1.0), SOCK_ERR_GENERIC);
    EXPECT_EQ(udp_send(sender.sock, &receiver.address, buffer, 16, -0.5), SOCK_ERR_GENERIC);
}

TEST_F(UdpTest, OversizedDatagramIsGenericFailureAndEmptyIsZero)
{
    char data[200] = {};
    ASSERT_EQ(udp_send(sender.sock, &receiver.address, data, 200, 1.0), 200);
    char buffer[100];
    EXPECT_EQ(udp_recv(receiver.sock, nullptr, buffer, 100, 1.0), SOCK_ERR_GENERIC);
    EXPECT_EQ(errno, platform::WSAEMSGSIZE);

    ASSERT_EQ(udp_send(sender.sock, &receiver.address, data, 0, 1.0), 0);
    sockaddr_in from{};
    EXPECT_EQ(udp_blockrecv(receiver.sock, &from, buffer, 100), 0);
    EXPECT_EQ(ntohs(from.sin_port), sender.port);
}

TEST_F(UdpTest, DatagramTooLargeToSend)
{
    static char data[70000];
    EXPECT_EQ(udp_send(sender.sock, &receiver.address, data, 65508, 1.0), -platform::WSAEMSGSIZE);
    EXPECT_EQ(udp_send(sender.sock, &receiver.address, data, 65507, 1.0), 65507);
}

TEST_F(UdpTest, BlockingReceiveOnNonBlockingSocketWithNothingWaiting)
{
    ASSERT_EQ(udp_sockoptset(receiver.sock, SOCK_OPT_NONBLOCKING, 1), 1);
    char buffer[8];
    EXPECT_EQ(udp_blockrecv(receiver.sock, nullptr, buffer, 8), SOCK_ERR_GENERIC);
    EXPECT_EQ(errno, platform::WSAEWOULDBLOCK);
}

TEST_F(UdpTest, NegativeLengthIsRefusedWithoutTouchingMemory)
{
    char buffer[8] = "intact";
    EXPECT_EQ(udp_blockrecv(receiver.sock, nullptr, buffer, -5), -platform::WSAEFAULT);
    EXPECT_STREQ(buffer, "intact");
    EXPECT_EQ(udp_blocksend(sender.sock, &receiver.address, buffer, -5), -platform::WSAEFAULT);
}

TEST_F(UdpTest, SendToAnotherFamilysRecordStillPassesSixteenBytes)
{
    sockaddr_in6 v6 = create_sockaddr6in(AF_INET6, "::1", "9");
    char byte = 0;
    // The IPv4 socket rejects the record's family.
    EXPECT_EQ(udp_blocksend(sender.sock, &v6, &byte, 1), -platform::WSAEAFNOSUPPORT);
}

TEST(Udp, ClosedAndInvalidSockets)
{
    EXPECT_EQ(udp_close(0), SOCK_ERR_GENERIC);
    char buffer[4];
    // A wait on a handle that is no socket fails: the generic code.
    EXPECT_EQ(udp_recv(-1, nullptr, buffer, 4, 0.1), SOCK_ERR_GENERIC);
    EXPECT_EQ(udp_blockrecv(-1, nullptr, buffer, 4), -platform::WSAENOTSOCK);
    sockaddr_in to = test_support::loopback_address(9);
    EXPECT_EQ(udp_blocksend(-1, &to, buffer, 4), -platform::WSAENOTSOCK);
}

TEST(Udp, LargestHandleFailsTheWaitsWithoutOverflow)
{
    // Every operation that waits with select on the handle, for the handle
    // INT_MAX: no socket, so the wait fails.
    char buffer[4];
    sockaddr_in to = test_support::loopback_address(9);
    EXPECT_EQ(udp_recv(INT_MAX, nullptr, buffer, 4, 0.1), SOCK_ERR_GENERIC);
    EXPECT_EQ(udp_send(INT_MAX, &to, buffer, 4, 0.1), SOCK_ERR_GENERIC);
    EXPECT_EQ(tcp_isrecv(INT_MAX, 0.1), SOCK_ERR_GENERIC);
    EXPECT_EQ(tcp_recv(INT_MAX, buffer, 4, 0.1), SOCK_ERR_GENERIC);
    EXPECT_EQ(tcp_send(INT_MAX, buffer, 4, 0.1), SOCK_ERR_GENERIC);
    EXPECT_EQ(tcp_halfconnect(INT_MAX, &to, 0.1), SOCK_ERR_GENERIC);
    EXPECT_EQ(unix_recv(INT_MAX, buffer, 4, 0.1), SOCK_ERR_GENERIC);
}

TEST(Udp, DescriptorAbove1024WorksWithTimeOuts)
{
    struct rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur < 2100) {
        struct rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max < 2100 ? limit.rlim_max : 2100;
        setrlimit(RLIMIT_NOFILE, &raised);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur < 2100)
        GTEST_SKIP() << "cannot open descriptors above 2048 here (limit " << limit.rlim_cur << ")";

    auto receiver = test_support::open_bound_udp();
    auto sender = test_support::open_bound_udp();
    int high = dup2(receiver.sock, 2050);
    ASSERT_EQ(high, 2050);
    char buffer[32];
    EXPECT_EQ(udp_recv(high, nullptr, buffer, 32, 0.05), SOCK_ERR_TIMEOUT);
    ASSERT_EQ(udp_send(sender.sock, &receiver.address, "ping", 4, 1.0), 4);
    sockaddr_in from{};
    EXPECT_EQ(udp_recv(high, &from, buffer, 32, 1.0), 4);
    EXPECT_STREQ(buffer, "ping");
    EXPECT_EQ(udp_send(high, &sender.address, "pong", 4, 1.0), 4);
    EXPECT_EQ(udp_recv(sender.sock, nullptr, buffer, 32, 1.0), 4);
    EXPECT_STREQ(buffer, "pong");
    close(high);
    udp_close(receiver.sock);
    udp_close(sender.sock);
}

}  // namespace
