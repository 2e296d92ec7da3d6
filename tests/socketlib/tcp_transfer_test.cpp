// TCP transfers against a loopback peer thread: partial and complete
// receives, peer close, silence, trickles, resets, the block variants'
// time-up rule and bounded waits with a time-out of 0.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "socketlib/socket.hpp"
#include "tests/support/stream_peer.hpp"

namespace {

using namespace socketlib;
using stream_peer::now;
using stream_peer::peer;

class TcpTransfer : public ::testing::Test {
protected:
    void SetUp() override
    {
        pair = stream_peer::connect_pair();
    }
    void TearDown() override
    {
        stream_peer::close_pair(pair);
    }
    stream_peer::tcp_pair pair;
};

bool all_zero(const char* bytes, int from, int to)
{
    for (int i = from; i < to; ++i) {
        if (bytes[i] != 0)
            return false;
    }
    return true;
}

TEST_F(TcpTransfer, EveryTransferRefusesTheSocketMinusOneWithoutTouchingTheBuffer)
{
    char buffer[8];
    std::memset(buffer, 'q', sizeof buffer);
    EXPECT_EQ(tcp_send(-1, "x", 1, 1.0), -10038);
    EXPECT_EQ(tcp_onesend(-1, "x", 1, 1.0), -10038);
    EXPECT_EQ(tcp_blocksend(-1, "x", 1, 1.0), -10038);
    EXPECT_EQ(tcp_recv(-1, buffer, 8, 1.0), -10038);
    EXPECT_EQ(tcp_onerecv(-1, buffer, 8, 1.0), -10038);
    EXPECT_EQ(tcp_blockrecv(-1, buffer, 8, 1.0), -10038);
    EXPECT_EQ(tcp_pollsend(-1), -10038);
    EXPECT_EQ(tcp_pollonesend(-1), -10038);
    EXPECT_EQ(tcp_pollrecv(-1, buffer, 8), -10038);
    EXPECT_EQ(tcp_pollonerecv(-1, buffer, 8), -10038);
    EXPECT_EQ(std::string(buffer, 8), "qqqqqqqq");
}

TEST_F(TcpTransfer, NegativeReceiveLengthsAreRefusedWithoutTouchingMemory)
{
    char buffer[4] = {'q', 'q', 'q', 'q'};
    EXPECT_LT(tcp_recv(pair.client, buffer, -1, 0.1), 0);
    EXPECT_LT(tcp_onerecv(pair.client, buffer, -5, 0.1), 0);
    EXPECT_LT(tcp_blockrecv(pair.client, buffer, -1, 0.1), 0);
    EXPECT_LT(tcp_pollrecv(pair.client, buffer, -1), 0);
    EXPECT_EQ(std::string(buffer, 4), "qqqq");
}

TEST_F(TcpTransfer, ZeroLengths)
{
    double start = now();
    EXPECT_EQ(tcp_send(pair.client, "x", 0, 5.0), 0);
    EXPECT_EQ(tcp_blocksend(pair.client, "x", -3, 5.0), 0);
    EXPECT_LT(now() - start, 1.0);
    char buffer[1];
    // A receive of nothing still waits for readability.
    start = now();
    EXPECT_EQ(tcp_recv(pair.client, buffer, 0, 0.2), SOCK_ERR_TIMEOUT);
    EXPECT_GE(now() - start, 0.19);
    stream_peer::send_text(pair.server, "z");
    EXPECT_EQ(tcp_recv(pair.client, buffer, 0, 2.0), 0);
    // An empty buffer need not exist at all.
    EXPECT_EQ(tcp_onerecv(pair.client, nullptr, 0, 2.0), 0);
    EXPECT_EQ(tcp_blockrecv(pair.client, nullptr, 0, 2.0), 0);
    EXPECT_EQ(tcp_pollrecv(pair.client, nullptr, 0), SOCK_ERR_GENERIC);
}

TEST_F(TcpTransfer, ReceiveGathersPiecesUntilTheBufferIsFull)
{
    peer p([&] {
        stream_peer::send_text(pair.server, std::string(60, 'a'));
        platform::Sleep(50);
        stream_peer::send_text(pair.server, std::string(40, 'b'));
    });
    char buffer[100];
    EXPECT_EQ(tcp_recv(pair.client, buffer, 100, 5.0), 100);
    EXPECT_EQ(std::string(buffer, 100), std::string(60, 'a') + std::string(40, 'b'));
}

TEST_F(TcpTransfer, PeerCloseEndsTheReceiveWithWhatCame)
{
    stream_peer::send_text(pair.server, "abcd");
    platform::closesocket(pair.server);
    pair.server = -1;
    char buffer[10];
    std::memset(buffer, 'q', sizeof buffer);
    EXPECT_EQ(tcp_recv(pair.client, buffer, 10, 2.0), 4);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
    EXPECT_TRUE(all_zero(buffer, 4, 10));
    EXPECT_EQ(tcp_onerecv(pair.client, buffer, 10, 2.0), 0);
    EXPECT_EQ(tcp_blockrecv(pair.client, buffer, 10, 2.0), 0);
}

TEST_F(TcpTransfer, SilenceAfterPartialDataLosesTheCountButKeepsTheBytes)
{
    stream_peer::send_text(pair.server, "abcd");
    char buffer[10];
    double start = now();
    EXPECT_EQ(tcp_recv(pair.client, buffer, 10, 0.3), SOCK_ERR_TIMEOUT);
    double spent = now() - start;
    EXPECT_GE(spent, 0.29);
    EXPECT_LT(spent, 3.0);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
    EXPECT_TRUE(all_zero(buffer, 4, 10));
}

TEST_F(TcpTransfer, OneReceiveTakesWhatIsWaiting)
{
    stream_peer::send_text(pair.server, "abcd");
    ASSERT_EQ(tcp_isrecv(pair.client, 2.0), 0);
    char buffer[10];
    double start = now();
    EXPECT_EQ(tcp_onerecv(pair.client, buffer, 10, 5.0), 4);
    EXPECT_LT(now() - start, 1.0);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
}

TEST_F(TcpTransfer, TimeUpAfterProgressGivesTheCountButTheBlockVariantTimesOut)
{
    char buffer[10];
    {
        // One byte every 150 ms: every wait succeeds, the whole takes longer
        // than the time-out.
        peer p([&] { stream_peer::trickle(pair.server, "0123456789", 150); });
        int received = tcp_recv(pair.client, buffer, 10, 0.5);
        ASSERT_GE(received, 3);
        EXPECT_LT(received, 10);
        EXPECT_EQ(std::string(buffer, received), std::string("0123456789", received));
        EXPECT_EQ(tcp_recv(pair.client, buffer, 10 - received, 3.0), 10 - received);
    }
    // The third byte fills the buffer at about 400 ms, after the time-out.
    {
        peer p([&] { stream_peer::trickle(pair.server, "abc", 200); });
        EXPECT_EQ(tcp_recv(pair.client, buffer, 3, 0.3), 3);
        EXPECT_EQ(std::string(buffer, 3), "abc");
    }
    {
        peer p([&] { stream_peer::trickle(pair.server, "def", 200); });
        EXPECT_EQ(tcp_blockrecv(pair.client, buffer, 3, 0.3), SOCK_ERR_TIMEOUT);
        EXPECT_EQ(std::string(buffer, 3), "def");
    }
}

TEST_F(TcpTransfer, BlockReceiveEndsAtTheSocketTimeOut)
{
    char buffer[10];
    struct case_ {
        double timeout;
        double at_least;
    } cases[] = {{0.3, 0.28}, {0.0, 0.0}, {-1.0, 0.0}};
    for (const auto& c : cases) {
        double start = now();
        errno = 0;
        EXPECT_EQ(tcp_blockrecv(pair.client, buffer, 10, c.timeout), SOCK_ERR_TIMEOUT) << c.timeout;
        EXPECT_EQ(errno, platform::WSAETIMEDOUT);
        double spent = now() - start;
        EXPECT_GE(spent, c.at_least) << c.timeout;
        EXPECT_LT(spent, c.at_least + 2.0) << c.timeout;
    }
}

TEST_F(TcpTransfer, BlockVariantsOnANonBlockingSocketDoNotWait)
{
    ASSERT_EQ(sock_optset(pair.client, SOCK_OPT_NONBLOCKING, 1), 1);
    char buffer[10];
    double start = now();
    errno = 0;
    EXPECT_EQ(tcp_blockrecv(pair.client, buffer, 10, 5.0), SOCK_ERR_GENERIC);
    EXPECT_EQ(errno, platform::WSAEWOULDBLOCK);
    EXPECT_LT(now() - start, 1.0);
}

TEST_F(TcpTransfer, ReadinessTests)
{
    EXPECT_EQ(tcp_issend(pair.client, 2.0), 0);
    double start = now();
    EXPECT_EQ(tcp_isrecv(pair.client, 0.2), SOCK_ERR_TIMEOUT);
    EXPECT_GE(now() - start, 0.19);
    stream_peer::send_text(pair.server, "x");
    EXPECT_EQ(tcp_isrecv(pair.client, 2.0), 0);
    EXPECT_EQ(tcp_issend(900000, 0.1), SOCK_ERR_GENERIC);
    EXPECT_EQ(tcp_isrecv(-1, 0.1), SOCK_ERR_GENERIC);
}

TEST_F(TcpTransfer, SendDeliversEverythingToAReadingPeer)
{
    const int total = 1 << 20;
    std::vector<char> data(total);
    for (int i = 0; i < total; ++i)
        data[i] = static_cast<char>(i * 7);
    std::vector<char> got(total);
    int received = 0;
    {
        peer p([&] { received = tcp_recv(pair.server, got.data(), total, 10.0); });
        EXPECT_EQ(tcp_send(pair.client, data.data(), total, 10.0), total);
        EXPECT_EQ(tcp_onesend(pair.client, "!", 1, 1.0), 1);
    }
    EXPECT_EQ(received, total);
    EXPECT_EQ(got, data);
}

TEST_F(TcpTransfer, SendToAPeerThatStoppedReadingIsBounded)
{
    // Far more than the socket buffers hold.
    std::vector<char> data(32 << 20, 'x');
    const int length = static_cast<int>(data.size());
    struct case_ {
        double timeout;
        bool nonblocking;
    } cases[] = {{0.0, false}, {0.2, false}, {0.2, true}};
    for (const auto& c : cases) {
        if (c.nonblocking)
            sock_optset(pair.client, SOCK_OPT_NONBLOCKING, 1);
        double start = now();
        int sent = tcp_send(pair.client, data.data(), length, c.timeout);
        EXPECT_NE(sent, length) << c.timeout;
        // A non-blocking socket runs into the write wait, which times out.
        if (c.nonblocking) {
            EXPECT_EQ(sent, SOCK_ERR_TIMEOUT) << errno;
        }
        EXPECT_LT(now() - start, c.timeout + 3.0) << c.timeout;
    }
    sock_optset(pair.client, SOCK_OPT_BLOCKING, 0);
    double start = now();
    // Nothing more goes out before the socket's send time-out (would block:
    // -1001), or a little did and the time is up (-10060).
    int sent = tcp_blocksend(pair.client, data.data(), length, 0.2);
    EXPECT_TRUE(sent == SOCK_ERR_GENERIC || sent == SOCK_ERR_TIMEOUT) << sent;
    EXPECT_LT(now() - start, 3.0);
}

TEST_F(TcpTransfer, BlockSendThatOutlastsItsTimeOutFails)
{
    std::vector<char> data(16 << 20, 'y');
    const int length = static_cast<int>(data.size());
    peer p([&] {
        // A slow reader: the sender's socket time-out cuts each send short.
        static char sink[65536];
        double start = now();
        while (now() - start < 1.0) {
            if (tcp_onerecv(pair.server, sink, sizeof sink, 0.5) <= 0)
                break;
            platform::Sleep(50);
        }
    });
    EXPECT_EQ(tcp_blocksend(pair.client, data.data(), length, 0.3), SOCK_ERR_TIMEOUT);
    platform::closesocket(pair.client);
    pair.client = -1;
}

TEST_F(TcpTransfer, SendOnAResetConnectionReportsItAndTheProcessLives)
{
    stream_peer::reset_close(pair.server);
    pair.server = -1;
    ASSERT_EQ(tcp_isrecv(pair.client, 2.0), 0);
    int result = 0;
    for (int i = 0; i < 20 && result >= 0; ++i)
        result = tcp_send(pair.client, "data", 4, 1.0);
    EXPECT_TRUE(result == -10054 || result == -10058) << result;
    // The connection is broken for good: later sends say so as well.
    result = tcp_blocksend(pair.client, "data", 4, 1.0);
    EXPECT_TRUE(result == -10054 || result == -10058) << result;
}

TEST_F(TcpTransfer, ReceiveOnAResetConnection)
{
    stream_peer::reset_close(pair.server);
    pair.server = -1;
    char buffer[4];
    errno = 0;
    EXPECT_EQ(tcp_recv(pair.client, buffer, 4, 2.0), -platform::WSAECONNRESET);
    EXPECT_EQ(errno, platform::WSAECONNRESET);
}

TEST_F(TcpTransfer, PollPlaceholdersAndClose)
{
    char buffer[4] = {'q', 'q', 'q', 'q'};
    EXPECT_EQ(tcp_pollsend(pair.client), SOCK_ERR_GENERIC);
    EXPECT_EQ(tcp_pollonesend(pair.client), SOCK_ERR_GENERIC);
    EXPECT_EQ(tcp_pollrecv(pair.client, buffer, 4), SOCK_ERR_GENERIC);
    EXPECT_TRUE(all_zero(buffer, 0, 4));
    std::memset(buffer, 'q', 4);
    EXPECT_EQ(tcp_pollonerecv(pair.client, buffer, 4), SOCK_ERR_GENERIC);
    EXPECT_TRUE(all_zero(buffer, 0, 4));
    EXPECT_EQ(tcp_close(0), SOCK_ERR_GENERIC);
    EXPECT_EQ(tcp_close(-1), 0);
}

}  // namespace
