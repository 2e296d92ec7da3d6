// TCP connection set-up against real loopback listeners: success, refusal,
// time-outs, an already connected socket, values that are not sockets.
#include <gtest/gtest.h>

#include <cerrno>

#include "socketlib/socket.hpp"
#include "tests/support/stream_peer.hpp"

namespace {

using namespace socketlib;
using stream_peer::now;

bool is_nonblocking(int sock)
{
    char byte;
    // Nothing is pending on a fresh connection: a non-blocking socket says so
    // at once instead of waiting.
    return platform::recv(sock, &byte, 1, MSG_PEEK) < 0 && platform::WSAGetLastError() == platform::WSAEWOULDBLOCK;
}

// A listener whose accept queue is full: further attempts get no answer and
// stay under way, like those to a silent host.
struct silent_listener {
    stream_peer::listener l = stream_peer::listen_loopback(0);
    int queued = -1;
    silent_listener()
    {
        queued = tcp_open(AF_INET);
        EXPECT_GT(tcp_connect(queued, &l.address, 2.0), 0);
    }
    ~silent_listener()
    {
        platform::closesocket(queued);
        platform::closesocket(l.sock);
    }
};

TEST(TcpOpen, SetsNoDelayWhileTheRawOpenKeepsTheDefault)
{
    int opened = tcp_open(AF_INET);
    int raw = tcp_sockopen(AF_INET);
    ASSERT_GE(opened, 0);
    ASSERT_GE(raw, 0);
    int value = -1;
    EXPECT_EQ(tcp_sockoptget(opened, SOCK_OPT_NODELAY, &value), 0);
    EXPECT_NE(value, 0);
    EXPECT_EQ(tcp_sockoptget(raw, SOCK_OPT_NODELAY, &value), 0);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(tcp_close(opened), 0);
    EXPECT_EQ(tcp_close(raw), 0);
}

TEST(TcpOpen, CountsStartUpsAndGivesBackTheRawOpensWhenNoSocketIsMade)
{
    int before = platform::startup_count();
    int opened = tcp_open(AF_INET);
    EXPECT_EQ(platform::startup_count(), before + 2);
    int raw = tcp_sockopen(AF_INET);
    EXPECT_EQ(platform::startup_count(), before + 3);
    tcp_close(raw);
    tcp_close(opened);

    before = platform::startup_count();
    EXPECT_EQ(tcp_sockopen(12345), SOCK_ERR_GENERIC);
    EXPECT_EQ(platform::startup_count(), before);
    EXPECT_LT(tcp_open(12345), 0);
}

TEST(TcpOpen, FailedStartUpCreatesNothing)
{
    int before = platform::startup_count();
    platform::fail_next_startups(1);
    EXPECT_EQ(tcp_sockopen(AF_INET), SOCK_ERR_GENERIC);
    platform::fail_next_startups(1);
    EXPECT_EQ(tcp_open(AF_INET), SOCK_ERR_GENERIC);
    EXPECT_EQ(platform::startup_count(), before);
}

TEST(TcpConnect, ConnectsToAListenerAndLeavesTheSocketNonBlocking)
{
    stream_peer::listener l = stream_peer::listen_loopback();
    int sock = tcp_open(AF_INET);
    EXPECT_EQ(tcp_connect(sock, &l.address, 2.0), 1);
    EXPECT_TRUE(is_nonblocking(sock));
    sockaddr_in peer{};
    int accepted = tcp_accept(l.sock, &peer);
    EXPECT_GE(accepted, 0);
    platform::closesocket(accepted);
    tcp_close(sock);
    platform::closesocket(l.sock);
}

TEST(TcpConnect, ConnectsOverIpv6WithTheLongerAddress)
{
    int server = tcp_open(AF_INET6);
    sockaddr_in6 local = create_sockaddr6in(AF_INET6, "", "0");
    local.sin6_addr = socketlib::in6addr_loopback;
    ASSERT_EQ(tcp_bind(server, &local), 0);
    ASSERT_EQ(tcp_listen(server, 4), 0);
    sockaddr_in6 address{};
    int length = static_cast<int>(sizeof address);
    platform::getsockname(server, &address, &length);

    int sock = tcp_open(AF_INET6);
    EXPECT_GT(tcp_connect(sock, &address, 2.0), 0);
    // The plain connect always passes the IPv4 length, which IPv6 refuses.
    int other = tcp_open(AF_INET6);
    EXPECT_EQ(tcp_blockconnect(other, &address), platform::SOCKET_ERROR);
    tcp_close(other);
    tcp_close(sock);
    tcp_close(server);
}

TEST(TcpConnect, RefusalComesFromThePendingError)
{
    sockaddr_in address = stream_peer::refusing_address();
    int sock = tcp_open(AF_INET);
    errno = 0;
    EXPECT_EQ(tcp_connect(sock, &address, 2.0), -platform::WSAECONNREFUSED);
    EXPECT_EQ(errno, platform::WSAECONNREFUSED);
    tcp_close(sock);

    sock = tcp_open(AF_INET);
    EXPECT_EQ(tcp_halfconnect(sock, &address, 2.0), -platform::WSAECONNREFUSED);
    tcp_close(sock);
}

TEST(TcpConnect, AnAttemptWithoutAnswerTimesOut)
{
    silent_listener silent;
    struct case_ {
        double timeout;
        double at_least;
    } cases[] = {{0.0, 0.0}, {0.0000005, 0.0}, {0.3, 0.29}};
    for (const auto& c : cases) {
        int sock = tcp_open(AF_INET);
        double start = now();
        EXPECT_EQ(tcp_connect(sock, &silent.l.address, c.timeout), SOCK_ERR_TIMEOUT) << c.timeout;
        double spent = now() - start;
        EXPECT_GE(spent, c.at_least) << c.timeout;
        EXPECT_LT(spent, c.at_least + 2.0) << c.timeout;
        tcp_close(sock);
    }
    int sock = tcp_open(AF_INET);
    EXPECT_EQ(tcp_resetokconnect(sock, &silent.l.address, 0.2), SOCK_ERR_TIMEOUT);
    tcp_close(sock);
    sock = tcp_open(AF_INET);
    EXPECT_EQ(tcp_halfconnect(sock, &silent.l.address, 0.2), SOCK_ERR_TIMEOUT);
    tcp_close(sock);
}

TEST(TcpConnect, AlreadyConnectedIsRefusedAtOnceButNotByTheHalfConnect)
{
    stream_peer::listener l = stream_peer::listen_loopback();
    int sock = tcp_open(AF_INET);
    ASSERT_EQ(tcp_blockconnect(sock, &l.address), 0);
    errno = 0;
    EXPECT_EQ(tcp_connect(sock, &l.address, 2.0), -platform::WSAEISCONN);
    EXPECT_EQ(errno, platform::WSAEISCONN);
    EXPECT_EQ(tcp_halfconnect(sock, &l.address, 2.0), 1);
    tcp_close(sock);

    // A connection made by tcp_connect itself counts as standing too.
    sock = tcp_open(AF_INET);
    ASSERT_GT(tcp_connect(sock, &l.address, 2.0), 0);
    EXPECT_EQ(tcp_connect(sock, &l.address, 2.0), -platform::WSAEISCONN);
    tcp_close(sock);
    platform::closesocket(l.sock);
}

TEST(TcpConnect, HalfConnectCountsBothSetsWhenDataWaits)
{
    stream_peer::tcp_pair pair = stream_peer::connect_pair();
    stream_peer::send_text(pair.server, "x");
    ASSERT_EQ(tcp_isrecv(pair.client, 2.0), 0);
    sockaddr_in address{};
    int length = static_cast<int>(sizeof address);
    platform::getpeername(pair.client, &address, &length);
    EXPECT_EQ(tcp_halfconnect(pair.client, &address, 2.0), 2);
    int value = 0;
    EXPECT_EQ(tcp_sockoptget(pair.client, SOCK_OPT_LINGER, &value), 0);
    EXPECT_EQ(value, 1);
    stream_peer::close_pair(pair);
}

TEST(TcpConnect, ValuesThatAreNoSocket)
{
    sockaddr_in address = stream_peer::refusing_address();
    constexpr int not_open = 900000;
    EXPECT_EQ(tcp_connect(not_open, &address, 0.5), -platform::WSAENOTSOCK);
    EXPECT_EQ(tcp_connect(-1, &address, 0.5), -platform::WSAENOTSOCK);
    // The others do not look at connect's own failure: the wait fails.
    EXPECT_EQ(tcp_halfconnect(not_open, &address, 0.5), SOCK_ERR_GENERIC);
    EXPECT_EQ(tcp_resetokconnect(not_open, &address, 0.5), SOCK_ERR_GENERIC);
}

TEST(TcpConnect, ResetOkCountsARefusalAsAnAnswer)
{
    sockaddr_in address = stream_peer::refusing_address();
    int sock = tcp_open(AF_INET);
    EXPECT_GT(tcp_resetokconnect(sock, &address, 2.0), 0);
    tcp_close(sock);
}

TEST(TcpConnect, BlockingAndPollConnectResults)
{
    sockaddr_in refusing = stream_peer::refusing_address();
    int sock = tcp_open(AF_INET);
    errno = 777;
    EXPECT_EQ(tcp_blockconnect(sock, &refusing), platform::SOCKET_ERROR);
    EXPECT_EQ(errno, 777);
    tcp_close(sock);

    stream_peer::listener l = stream_peer::listen_loopback();
    sock = tcp_open(AF_INET);
    EXPECT_EQ(tcp_pollconnect(sock, &l.address), SOCK_ERR_GENERIC);
    // The placeholder made the connection all the same.
    sockaddr_in peer{};
    int accepted = tcp_accept(l.sock, &peer);
    EXPECT_GE(accepted, 0);
    platform::closesocket(accepted);
    tcp_close(sock);
    platform::closesocket(l.sock);
}

}  // namespace
