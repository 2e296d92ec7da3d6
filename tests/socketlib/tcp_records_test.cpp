// Lines, header blocks and chunks over a loopback connection, from
// well-behaved and hostile peers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "socketlib/socket.hpp"
#include "tests/support/stream_peer.hpp"

namespace {

using namespace socketlib;
using stream_peer::now;
using stream_peer::peer;

class TcpRecords : public ::testing::Test {
protected:
    void SetUp() override
    {
        pair = stream_peer::connect_pair();
    }
    void TearDown() override
    {
        stream_peer::close_pair(pair);
    }

    // What is still pending on the client, taken within a short wait.
    std::string pending(int at_most = 256)
    {
        char rest[256];
        int got = tcp_onerecv(pair.client, rest, at_most, 0.3);
        return got > 0 ? std::string(rest, got) : std::string();
    }

    stream_peer::tcp_pair pair;
};

const std::string alphabet = "abcdefghijklmnopqrstuvwxyz";

// --- lines -------------------------------------------------------------------

TEST_F(TcpRecords, LinesAreTakenOneAtATime)
{
    stream_peer::send_text(pair.server, "HELLO\r\nWORLD\n");
    ASSERT_EQ(tcp_isrecv(pair.client, 2.0), 0);
    char buffer[100];
    EXPECT_EQ(tcp_linerecv(pair.client, buffer, 100, 2.0), 7);
    EXPECT_STREQ(buffer, "HELLO\r\n");
    EXPECT_EQ(tcp_linerecv(pair.client, buffer, 100, 2.0), 6);
    EXPECT_STREQ(buffer, "WORLD\n");
}

TEST_F(TcpRecords, ALineTrickledOneByteAtATime)
{
    peer p([&] { stream_peer::trickle(pair.server, "abc\nrest", 20); });
    char buffer[100];
    EXPECT_EQ(tcp_linerecv(pair.client, buffer, 100, 3.0), 4);
    EXPECT_STREQ(buffer, "abc\n");
}

TEST_F(TcpRecords, NoCompleteLineWithinTheTimeConsumesNothing)
{
    struct case_ {
        const char* name;
        std::string data;
        int length;
    } cases[] = {
        {"longer than the buffer", "0123456789012345\n", 10},
        {"zero byte before the line feed", std::string("ab\0cd\n", 6), 100},
        {"no line feed yet", "partial", 100},
    };
    for (const auto& c : cases) {
        stream_peer::send_text(pair.server, c.data);
        ASSERT_EQ(tcp_isrecv(pair.client, 2.0), 0);
        char buffer[101];
        std::memset(buffer, 'q', sizeof buffer);
        double start = now();
        EXPECT_EQ(tcp_linerecv(pair.client, buffer, c.length, 0.2), 0) << c.name;
        EXPECT_GE(now() - start, 0.19) << c.name;
        EXPECT_EQ(buffer[0], 0) << c.name;
        EXPECT_EQ(buffer[c.length], 'q') << c.name;  // nothing beyond the length
        EXPECT_EQ(pending(static_cast<int>(c.data.size())), c.data) << c.name;
    }
}

TEST_F(TcpRecords, TimeOutThatIsNotANumberIsUpAtOnce)
{
    // The line end comes only after a while; the receive must not wait for it.
    peer p([&] {
        stream_peer::send_text(pair.server, "partial");
        platform::Sleep(1500);
        stream_peer::send_text(pair.server, "\n");
    });
    ASSERT_EQ(tcp_isrecv(pair.client, 2.0), 0);
    char buffer[32];
    double start = now();
    EXPECT_EQ(tcp_linerecv(pair.client, buffer, 32, std::nan("")), 0);
    EXPECT_EQ(tcp_chunkrecv(pair.client, buffer, 32, std::nan("")), SOCK_ERR_TIMEOUT);
    EXPECT_LT(now() - start, 1.0);
    EXPECT_EQ(pending(), "partial");
}

TEST_F(TcpRecords, LineEdges)
{
    char buffer[16];
    EXPECT_EQ(tcp_linerecv(-1, buffer, 16, 1.0), -10038);
    EXPECT_LT(tcp_linerecv(pair.client, buffer, -1, 1.0), 0);
    double start = now();
    EXPECT_EQ(tcp_linerecv(pair.client, buffer, 16, 0.2), SOCK_ERR_TIMEOUT);
    EXPECT_GE(now() - start, 0.19);
    stream_peer::send_text(pair.server, "x\n");
    ASSERT_EQ(tcp_isrecv(pair.client, 2.0), 0);
    EXPECT_EQ(tcp_linerecv(pair.client, buffer, 0, 1.0), 0);
    EXPECT_EQ(pending(), "x\n");
    EXPECT_EQ(tcp_polllinerecv(-1, buffer, 16), -10038);
    std::memset(buffer, 'q', sizeof buffer);
    EXPECT_EQ(tcp_polllinerecv(pair.client, buffer, 16), SOCK_ERR_GENERIC);
    EXPECT_EQ(buffer[15], 0);
}

TEST_F(TcpRecords, PeerGoneBeforeALine)
{
    platform::closesocket(pair.server);
    pair.server = -1;
    char buffer[16];
    EXPECT_EQ(tcp_linerecv(pair.client, buffer, 16, 1.0), 0);
    EXPECT_EQ(tcp_headersrecv(pair.client, buffer, 16, 1.0), 0);
    EXPECT_EQ(tcp_chunkrecv(pair.client, buffer, 16, 1.0), 0);
}

TEST_F(TcpRecords, ResetBeforeALineFailsThePeek)
{
    stream_peer::reset_close(pair.server);
    pair.server = -1;
    ASSERT_EQ(tcp_isrecv(pair.client, 2.0), 0);
    char buffer[16];
    EXPECT_EQ(tcp_linerecv(pair.client, buffer, 16, 1.0), -1);
}

// --- header blocks -----------------------------------------------------------

TEST_F(TcpRecords, HeaderBlockLeavesTheBodyPending)
{
    stream_peer::send_text(pair.server, "GET / HTTP/1.1\r\nHost: x\r\n\r\nbody");
    ASSERT_EQ(tcp_isrecv(pair.client, 2.0), 0);
    char buffer[100];
    EXPECT_EQ(tcp_headersrecv(pair.client, buffer, 100, 2.0), 27);
    EXPECT_STREQ(buffer, "GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(pending(), "body");
}

TEST_F(TcpRecords, StalledHeaderBlockIsTakenWhole)
{
    stream_peer::send_text(pair.server, "GET / HTTP/1.1\r\nHost: x\r\n");
    ASSERT_EQ(tcp_isrecv(pair.client, 2.0), 0);
    char buffer[100];
    double start = now();
    EXPECT_EQ(tcp_headersrecv(pair.client, buffer, 100, 5.0), 25);
    EXPECT_LT(now() - start, 2.0);
    EXPECT_STREQ(buffer, "GET / HTTP/1.1\r\nHost: x\r\n");
}

TEST_F(TcpRecords, HeaderBlockLargerThanTheBufferStaysWithinIt)
{
    stream_peer::send_text(pair.server, std::string(40, 'h') + "\r\n\r\n");
    ASSERT_EQ(tcp_isrecv(pair.client, 2.0), 0);
    char buffer[20];
    std::memset(buffer, 'q', sizeof buffer);
    EXPECT_EQ(tcp_headersrecv(pair.client, buffer, 16, 2.0), 16);
    EXPECT_EQ(std::string(buffer, 16), std::string(16, 'h'));
    EXPECT_EQ(buffer[16], 'q');
}

TEST_F(TcpRecords, HeaderBlockTrickledIsGatheredUntilItsEnd)
{
    // A sender slower than the pause between peeks looks stalled: the block
    // is cut where it paused, and never runs past what was sent.
    peer p([&] { stream_peer::trickle(pair.server, "AB\r\n\r\n", 30); });
    char buffer[100];
    int got = tcp_headersrecv(pair.client, buffer, 100, 3.0);
    EXPECT_GT(got, 0);
    EXPECT_LE(got, 6);
    EXPECT_EQ(std::string(buffer, got), std::string("AB\r\n\r\n", got));
}

TEST_F(TcpRecords, HeaderEdges)
{
    char buffer[16];
    EXPECT_EQ(tcp_headersrecv(-1, buffer, 16, 1.0), -10038);
    EXPECT_LT(tcp_headersrecv(pair.client, buffer, -1, 1.0), 0);
    double start = now();
    EXPECT_EQ(tcp_headersrecv(pair.client, buffer, 16, 0.2), SOCK_ERR_TIMEOUT);
    EXPECT_GE(now() - start, 0.19);
}

// --- chunks ------------------------------------------------------------------

TEST_F(TcpRecords, ChunkIntoBuffersLargeAndSmall)
{
    struct case_ {
        int length;
        std::string stored;
    } cases[] = {{100, alphabet}, {10, alphabet.substr(0, 10)}, {0, ""}};
    for (const auto& c : cases) {
        stream_peer::send_text(pair.server, "1a\r\n" + alphabet + "\r\nNEXT");
        ASSERT_EQ(tcp_isrecv(pair.client, 2.0), 0);
        char buffer[101];
        std::memset(buffer, 'q', sizeof buffer);
        EXPECT_EQ(tcp_chunkrecv(pair.client, buffer, c.length, 2.0), 26) << c.length;
        EXPECT_EQ(std::string(buffer, c.stored.size()), c.stored) << c.length;
        EXPECT_EQ(buffer[c.length], 'q') << c.length;  // nothing beyond the length
        if (c.length > 26) {
            EXPECT_EQ(buffer[26], 0);
        }
        EXPECT_EQ(pending(), "NEXT") << c.length;
    }
}

TEST_F(TcpRecords, LastChunkConsumesItsSizeLineOnly)
{
    stream_peer::send_text(pair.server, "0\r\nXY");
    ASSERT_EQ(tcp_isrecv(pair.client, 2.0), 0);
    char buffer[10];
    EXPECT_EQ(tcp_chunkrecv(pair.client, buffer, 10, 2.0), 0);
    EXPECT_EQ(pending(), "XY");
}

TEST_F(TcpRecords, ChunkMuchLargerThanTheBufferIsThrownAwayPastIt)
{
    // 3000 bytes: two whole scratch reads and a remainder.
    std::string data;
    for (int i = 0; i < 3000; ++i)
        data += static_cast<char>('a' + i % 26);
    peer p([&] { stream_peer::send_text(pair.server, "bb8\r\n" + data + "\r\nNEXT"); });
    char buffer[10];
    EXPECT_EQ(tcp_chunkrecv(pair.client, buffer, 10, 3.0), 3000);
    EXPECT_EQ(std::string(buffer, 10), data.substr(0, 10));
    EXPECT_EQ(pending(), "NEXT");
}

TEST_F(TcpRecords, ChunkTrickledOneByteAtATime)
{
    peer p([&] { stream_peer::trickle(pair.server, "5\r\nhello\r\n", 10); });
    char buffer[10];
    EXPECT_EQ(tcp_chunkrecv(pair.client, buffer, 10, 3.0), 5);
    EXPECT_STREQ(buffer, "hello");
}

TEST_F(TcpRecords, UpperCaseSizeIsMisreadWithinBounds)
{
    // "1A" reads as 0x10: sixteen data bytes, then two more as the line end.
    stream_peer::send_text(pair.server, "1A\r\n" + alphabet + "\r\n");
    ASSERT_EQ(tcp_isrecv(pair.client, 2.0), 0);
    char buffer[100];
    EXPECT_EQ(tcp_chunkrecv(pair.client, buffer, 100, 2.0), 0x10);
    EXPECT_EQ(std::string(buffer), alphabet.substr(0, 16));
    EXPECT_EQ(pending(), alphabet.substr(18) + "\r\n");
}

TEST_F(TcpRecords, ChunkCutShortIsNoChunk)
{
    struct case_ {
        const char* name;
        std::string data;
        int expected;
    } cases[] = {
        {"close in the size line", "1a", 2},
        {"close in the data", "1a\r\nabcdef", 0},
        {"over-long size, then close", "fffff\r\nabc", 0},
        {"size line without end", "123456789", 0},
    };
    for (const auto& c : cases) {
        stream_peer::tcp_pair fresh = stream_peer::connect_pair();
        stream_peer::send_text(fresh.server, c.data);
        platform::closesocket(fresh.server);
        char buffer[64];
        double start = now();
        EXPECT_EQ(tcp_chunkrecv(fresh.client, buffer, 64, 2.0), c.expected) << c.name;
        EXPECT_LT(now() - start, 1.5) << c.name;
        platform::closesocket(fresh.client);
    }
}

TEST_F(TcpRecords, ChunkReceiveTimeOuts)
{
    char buffer[10];
    double start = now();
    EXPECT_EQ(tcp_chunkrecv(pair.client, buffer, 10, 0.0), SOCK_ERR_TIMEOUT);
    EXPECT_LT(now() - start, 0.5);
    // Silence after part of the data: the call ends near its time-out.
    stream_peer::send_text(pair.server, "1a\r\nabc");
    start = now();
    EXPECT_EQ(tcp_chunkrecv(pair.client, buffer, 10, 0.3), SOCK_ERR_TIMEOUT);
    double spent = now() - start;
    EXPECT_GE(spent, 0.25);
    EXPECT_LT(spent, 2.0);
    EXPECT_EQ(tcp_chunkrecv(-1, buffer, 10, 1.0), -10038);
    EXPECT_LT(tcp_chunkrecv(pair.client, buffer, -1, 1.0), 0);
}

TEST_F(TcpRecords, ChunkSendWritesSizeLineDataAndLineEnd)
{
    EXPECT_EQ(tcp_chunksend(pair.server, alphabet.data(), 26, 2.0), 32);
    EXPECT_EQ(tcp_chunksend(pair.server, nullptr, 0, 2.0), 3);
    char wire[64];
    EXPECT_EQ(tcp_recv(pair.client, wire, 35, 2.0), 35);
    EXPECT_EQ(std::string(wire, 35), "1a\r\n" + alphabet + "\r\n0\r\n");
}

TEST_F(TcpRecords, ChunkSendRefusesLengthsItCannotDescribe)
{
    static char large[0x100000];
    EXPECT_LT(tcp_chunksend(pair.server, large, 0x100000, 2.0), 0);
    EXPECT_LT(tcp_chunksend(pair.server, large, -1, 2.0), 0);
    EXPECT_EQ(tcp_chunksend(-1, "x", 1, 2.0), -10038);
    EXPECT_EQ(pending(), "");
}

TEST_F(TcpRecords, ChunksRoundTrip)
{
    std::string data(0xFFFF, 'z');
    std::string received(0xFFFF, '\0');
    int result = 0;
    {
        peer p([&] { result = tcp_chunkrecv(pair.client, received.data(), 0xFFFF, 5.0); });
        EXPECT_EQ(tcp_chunksend(pair.server, data.data(), 0xFFFF, 5.0), 4 + 2 + 0xFFFF + 2);
    }
    EXPECT_EQ(result, 0xFFFF);
    EXPECT_EQ(received, data);
}

}  // namespace
