// Service and protocol lookups over netbase's /etc/services and
// /etc/protocols, and their numeric fallbacks.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "socketlib/socket.hpp"

namespace {

using namespace socketlib;

TEST(ServiceLookups, ByNameAndNumericFallback)
{
    struct {
        const char* protocol;
        const char* service;
        int port;
    } cases[] = {
        {"udp", "domain", 53}, {"tcp", "http", 80},     {"tcp", "www", 80},  // an alias finds its service
        {"udp", "8080", 8080}, {"udp", "0x1F90", 8080}, {"udp", "010", 8},  {"udp", "65535", 65535},
        {"udp", "80abc", -1},  {"udp", "0", -1},        {"udp", "-5", -1},  {"udp", "70000", -1},
        {"udp", "65536", -1},  {"udp", "", -1},         {"udp", "80 ", -1}, {"udp", "no-such-service", -1},
        {"udp", nullptr, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.service ? c.service : "(null)");
        EXPECT_EQ(getservicebyname(c.protocol, c.service), c.port);
    }
}

TEST(ServiceLookups, ByPortWithDecimalFallback)
{
    struct {
        int port;
        const char* text;
    } cases[] = {
        {53, "domain"},         {4999, "4999"}, {70000, "70000"},  // 70000 looks up 4464, unknown too
        {65536 + 53, "domain"},                                    // the low 16 bits are looked up
        {-12345, "-1234"},                                         // cut, but terminated within 6 bytes
        {1234567, "12345"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port);
        char out[16];
        std::memset(out, '#', sizeof out);
        EXPECT_EQ(getservicebyport("udp", c.port, out), out);
        EXPECT_STREQ(out, c.text);
        EXPECT_EQ(out[std::strlen(c.text) + 1], '#');  // nothing written after the terminator
    }
}

TEST(ServiceLookups, FirstAliases)
{
    char out[32];
    EXPECT_STREQ(getservaliasbyname("tcp", "http", out), "www");
    EXPECT_STREQ(getservaliasbyport("tcp", 25, out), "mail");
    std::strcpy(out, "untouched");
    EXPECT_EQ(getservaliasbyname("udp", "domain", out), nullptr);  // no aliases
    EXPECT_EQ(getservaliasbyport("udp", 4999, out), nullptr);      // no service
    EXPECT_EQ(getservaliasbyname("udp", "no-such-service", out), nullptr);
    EXPECT_STREQ(out, "untouched");
}

TEST(ProtocolLookups, ByNameAndNumericFallback)
{
    struct {
        const char* name;
        int number;
    } cases[] = {{"udp", 17}, {"tcp", 6}, {"UDP", 17}, {"17", 17}, {"0x11", 17}, {"255", 255},
                 {"300", -1}, {"0", -1},  {"-6", -1},  {"6x", -1}, {"", -1},     {nullptr, -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name ? c.name : "(null)");
        EXPECT_EQ(getprotocolbyname(c.name), c.number);
    }
}

TEST(ProtocolLookups, ByNumberAndAliases)
{
    char out[32];
    EXPECT_STREQ(getprotocolbynumber(17, out), "udp");
    EXPECT_STREQ(getprotoaliasbynumber(6, out), "TCP");
    EXPECT_STREQ(getprotoaliasbyname("icmp", out), "ICMP");
    std::strcpy(out, "untouched");
    EXPECT_EQ(getprotocolbynumber(254, out), nullptr);
    EXPECT_EQ(getprotoaliasbynumber(254, out), nullptr);
    EXPECT_EQ(getprotoaliasbyname("no-such-protocol", out), nullptr);
    EXPECT_STREQ(out, "untouched");
}

// A failed lookup, the numeric fallback's overflow included, leaves errno as
// the caller had it.
TEST(Lookups, LeaveErrnoAlone)
{
    char out[32];
    errno = 0;
    EXPECT_EQ(getservicebyname("udp", "99999999999999999999999"), -1);
    EXPECT_EQ(getprotocolbyname("-99999999999999999999999"), -1);
    EXPECT_EQ(getservicebyname("udp", "no-such-service"), -1);
    EXPECT_EQ(getprotocolbynumber(254, out), nullptr);
    EXPECT_EQ(errno, 0);
    for (int i = 0; i < 4; ++i)
        sockWSASockClean();
}

TEST(Lookups, StartUpFailureWritesNothing)
{
    char out[32] = "untouched";
    platform::fail_next_startups(8);
    EXPECT_EQ(getservicebyname("udp", "domain"), -1);
    EXPECT_EQ(getservicebyport("udp", 53, out), nullptr);
    EXPECT_EQ(getservaliasbyname("tcp", "http", out), nullptr);
    EXPECT_EQ(getservaliasbyport("tcp", 80, out), nullptr);
    EXPECT_EQ(getprotocolbyname("udp"), -1);
    EXPECT_EQ(getprotocolbynumber(17, out), nullptr);
    EXPECT_EQ(getprotoaliasbyname("udp", out), nullptr);
    EXPECT_EQ(getprotoaliasbynumber(17, out), nullptr);
    EXPECT_STREQ(out, "untouched");
    platform::fail_next_startups(0);
}

TEST(Lookups, EachCallStartsTheLayerOnce)
{
    int before = platform::startup_count();
    char out[32];
    getservicebyname("udp", "domain");
    getprotocolbynumber(17, out);
    EXPECT_EQ(platform::startup_count(), before + 2);
    sockWSASockClean();
    sockWSASockClean();
}

}  // namespace
