// Socket layer core: start-up, generic operations and their error codes,
// address record builders, the chunk-size reader and message texts.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "socketlib/socket.hpp"
#include "tests/support/test_support.hpp"

namespace {

using namespace socketlib;

TEST(StartUp, InitAndCleanBalanceTheCount)
{
    int before = platform::startup_count();
    EXPECT_EQ(sockWSASockInit(), 1);
    EXPECT_EQ(platform::startup_count(), before + 1);
    EXPECT_EQ(sockWSASockClean(), 1);
    EXPECT_EQ(platform::startup_count(), before);
    EXPECT_EQ(sockWSASockClean(), 1);  // even when nothing was outstanding
}

TEST(StartUp, FailedStartUpCreatesNoSocket)
{
    platform::fail_next_startups(1);
    EXPECT_EQ(sockWSASockInit(), SOCK_ERR_STARTUP);
    platform::fail_next_startups(1);
    EXPECT_EQ(sock_open(AF_INET, SOCK_DGRAM, 0), SOCK_ERR_GENERIC);
    platform::fail_next_startups(1);
    EXPECT_EQ(udp_open(AF_INET), SOCK_ERR_GENERIC);
    // A successful open leaves two start-ups outstanding; its close ends one.
    int before = platform::startup_count();
    platform::fail_next_startups(0);
    int sock = udp_open(AF_INET);
    ASSERT_GT(sock, 0);
    EXPECT_EQ(platform::startup_count(), before + 2);
    EXPECT_EQ(udp_close(sock), 0);
    EXPECT_EQ(platform::startup_count(), before + 1);
    sockWSASockClean();
}

TEST(StartUp, OpenThatMakesNoSocketLeavesNoStartUpBehind)
{
    struct case_ {
        const char* name;
        int (*open)();
    } cases[] = {
        {"sock_open", [] { return sock_open(12345, SOCK_DGRAM, 0); }},
        {"udp_open", [] { return udp_open(12345); }},
        {"tcp_open", [] { return tcp_open(12345); }},
        {"tcp_sockopen", [] { return tcp_sockopen(12345); }},
        {"unix_open", [] { return unix_open(12345); }},
    };
    for (const auto& c : cases) {
        int before = platform::startup_count();
        EXPECT_LT(c.open(), 0) << c.name;
        EXPECT_EQ(platform::startup_count(), before) << c.name;
    }
}

TEST(GenericOperations, OpenReportsUnsupportedFamilyAsGeneric)
{
    EXPECT_EQ(sock_open(12345, SOCK_DGRAM, 0), SOCK_ERR_GENERIC);
    EXPECT_EQ(errno, platform::WSAEAFNOSUPPORT);
    EXPECT_EQ(sock_open(AF_INET, SOCK_DGRAM, IPPROTO_TCP), -platform::WSAEPROTONOSUPPORT);
}

TEST(GenericOperations, BindReportsAddressInUse)
{
    auto first = test_support::open_bound_udp();
    int second = udp_open(AF_INET);
    sockaddr_in same = test_support::loopback_address(first.port);
    EXPECT_EQ(sock_bind(second, &same), -platform::WSAEADDRINUSE);
    EXPECT_EQ(errno, platform::WSAEADDRINUSE);
    sockaddr_in foreign = create_sockaddrin(AF_INET, "192.0.2.1", "0");
    EXPECT_EQ(sock_bind(second, &foreign), -platform::WSAEADDRNOTAVAIL);
    udp_close(first.sock);
    udp_close(second);
}

TEST(GenericOperations, ListenAcceptAndCloseCodes)
{
    auto udp = test_support::open_bound_udp();
    EXPECT_EQ(sock_listen(udp.sock, 5), -platform::WSAEOPNOTSUPP);
    sockaddr_in peer{};
    // Not in accept's list of codes: the operation's own generic code.
    EXPECT_EQ(sock_accept(udp.sock, &peer), SOCK_ERR_ACCEPT);
    EXPECT_EQ(errno, platform::WSAEOPNOTSUPP);
    EXPECT_EQ(sock_close(0), SOCK_ERR_GENERIC);
    EXPECT_EQ(sock_close(udp.sock), 0);
    // Closing again still reports success: the close result is not examined.
    EXPECT_EQ(sock_close(udp.sock), 0);
    EXPECT_EQ(sock_listen(udp.sock, 5), -platform::WSAENOTSOCK);
}

TEST(GenericOperations, AcceptGivesTheConnectedPeer)
{
    int server = sock_open(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local = create_sockaddrin(AF_INET, "127.0.0.1", "0");
    ASSERT_EQ(sock_bind(server, &local), 0);
    ASSERT_EQ(sock_listen(server, 4), 0);
    int length = 16;
    platform::getsockname(server, &local, &length);
    int client = sock_open(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(platform::connect(client, &local, 16), 0);
    sockaddr_in peer{};
    int accepted = sock_accept(server, &peer);
    ASSERT_GT(accepted, 0);
    EXPECT_EQ(peer.sin_family, AF_INET);
    EXPECT_EQ(ntohl(peer.sin_addr.s_addr), 0x7F000001u);
    sock_close(accepted);
    sock_close(client);
    sock_close(server);
}

TEST(GenericOperations, FamilyOfSocketsAndFailures)
{
    int v4 = sock_open(AF_INET, SOCK_DGRAM, 0);
    int v6 = sock_open(AF_INET6, SOCK_DGRAM, 0);
    EXPECT_EQ(sock_family(v4), AF_INET);
    EXPECT_EQ(sock_family(v6), AF_INET6);
    // A failure reads as its negative code in 16 bits: never a real family.
    int16_t failed = static_cast<int16_t>(sock_family(-1));
    EXPECT_LT(failed, 0);
    sock_close(v4);
    sock_close(v6);
}

TEST(GenericOperations, Ipv6BindUsesTheLongRecord)
{
    int v6 = sock_open(AF_INET6, SOCK_DGRAM, 0);
    sockaddr_in6 local = create_sockaddr6in(AF_INET6, "::1", "0");
    EXPECT_EQ(sock_bind(v6, &local), 0);
    char text[64];
    EXPECT_NE(sock_localinfo(v6, text, sizeof text), nullptr);
    EXPECT_EQ(std::strncmp(text, "[::1]:", 6), 0) << text;
    sock_close(v6);
}

TEST(Builders, Ipv4HostAndPortTexts)
{
    struct case_ {
        const char* host;
        const char* port;
        uint32_t address;
        uint16_t port_number;
    } cases[] = {
        {nullptr, "80", 0, 80},
        {"", "80", 0, 80},
        {"0.0.0.0", "80", 0, 80},
        {"0.0.0.0.junk", "80", 0, 80},
        {"10.0.0.1", "70000", 0x0A000001, 4464},
        {"10.0.0.1", "8x", 0x0A000001, 8},
        {"10.0.0.1", "x", 0x0A000001, 0},
        {"localhost", "1", 0xFFFFFFFF, 1},
        {"10.0.0.1", nullptr, 0x0A000001, 0},
    };
    for (const auto& c : cases) {
        sockaddr_in record = create_sockaddrin(AF_INET, c.host, c.port);
        EXPECT_EQ(record.sin_family, AF_INET);
        EXPECT_EQ(ntohl(record.sin_addr.s_addr), c.address) << (c.host ? c.host : "(null)");
        EXPECT_EQ(ntohs(record.sin_port), c.port_number);
        const unsigned char* raw = reinterpret_cast<const unsigned char*>(&record);
        for (int i = 8; i < 16; ++i)
            EXPECT_EQ(raw[i], 0);
    }
    // The family is stored as given, unchecked.
    EXPECT_EQ(create_sockaddrin(AF_INET6, "1.2.3.4", "1").sin_family, AF_INET6);
}

TEST(Builders, Ipv6UnspecifiedOnlyForTheUnspecifiedText)
{
    sockaddr_in6 any = create_sockaddr6in(AF_INET6, "::", "53");
    EXPECT_EQ(std::memcmp(&any.sin6_addr, &in6addr_any, 16), 0);
    EXPECT_EQ(ntohs(any.sin6_port), 53);
    sockaddr_in6 loop = create_sockaddr6in(AF_INET6, "::1", "53");
    EXPECT_EQ(std::memcmp(&loop.sin6_addr, &in6addr_loopback, 16), 0);
    sockaddr_in6 bad = create_sockaddr6in(AF_INET6, "not-an-address", "1");
    EXPECT_EQ(std::memcmp(&bad.sin6_addr, &in6addr_any, 16), 0);
    EXPECT_EQ(bad.sin6_flowinfo, 0u);
    EXPECT_EQ(bad.sin6_scope_id, 0u);
    sockaddr_in6 text = create_sockaddr6in(AF_INET6, "2001:db8::7", "1");
    EXPECT_EQ(text.sin6_addr.s6_addr[0], 0x20);
    EXPECT_EQ(text.sin6_addr.s6_addr[15], 7);
}

TEST(Builders, LocalPathIsCutTo108BytesWithoutTerminator)
{
    char long_path[121];
    std::memset(long_path, 'p', 120);
    long_path[120] = '\0';
    sockaddr_un record = create_sockaddrun(AF_UNIX, long_path);
    EXPECT_EQ(record.sun_family, AF_UNIX);
    EXPECT_EQ(std::memcmp(record.sun_path, long_path, 108), 0);
    sockaddr_un shorter = create_sockaddrun(AF_UNIX, "/tmp/x");
    EXPECT_STREQ(shorter.sun_path, "/tmp/x");
    for (std::size_t i = 6; i < sizeof shorter.sun_path; ++i)
        EXPECT_EQ(shorter.sun_path[i], 0);
}

TEST(ChunkSize, ReadsFourLowerCaseHexDigitsAtMost)
{
    struct case_ {
        const char* text;
        uint32_t value;
    } cases[] = {
        {"1a4\r\n\0\0", 0x1A4}, {"fffff\0\0", 0xFFFF}, {"1A\r\n\0\0\0", 0x10},
        {"\r\n\0\0\0\0\0", 0},  {"0\r\n\0\0\0\0", 0},  {"10\n\0\0\0\0", 0x1000},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sockchunk2uint32(reinterpret_cast<const unsigned char*>(c.text)), c.value) << c.text;
}

TEST(Clock, LibraryClockHasMillisecondsFromOneReading)
{
    double before = static_cast<double>(platform::realtime_now().seconds);
    double now = sockmicrotime();
    EXPECT_GE(now, before);
    EXPECT_LT(now, before + 2);
    double thousandths = now * 1000.0;
    EXPECT_NEAR(thousandths, static_cast<double>(static_cast<long long>(thousandths + 0.5)), 1e-3);
}

TEST(Messages, WsaerrorFillsTheBufferOrLeavesIt)
{
    char text[256] = "unchanged";
    EXPECT_EQ(wsaerror(10060, text, sizeof text), text);
    EXPECT_NE(std::strstr(text, "timed out"), nullptr) << text;
    char kept[16] = "unchanged";
    EXPECT_EQ(wsaerror(424242, kept, sizeof kept), kept);
    EXPECT_STREQ(kept, "unchanged");
    char tiny[4];
    wsaerror(10061, tiny, sizeof tiny);
    EXPECT_EQ(tiny[3], '\0');
}

}  // namespace
