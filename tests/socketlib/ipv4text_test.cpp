// IPv4 text utilities: reverse names, the dotted-quad check, network membership.
#include <gtest/gtest.h>

#include <cstring>

#include "socketlib/socket.hpp"

namespace {

using namespace socketlib;

TEST(Ipaddr2arpa, ReversesTheBytes)
{
    struct {
        const char* address;
        const char* name;
    } cases[] = {{"10.1.2.3", "3.2.1.10.in-addr.arpa"},
                 {"192.0.2.10", "10.2.0.192.in-addr.arpa"},
                 {"not an address", "255.255.255.255.in-addr.arpa"},
                 {"255.255.255.255", "255.255.255.255.in-addr.arpa"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        char out[29];
        EXPECT_EQ(ipaddr2arpa(c.address, out, sizeof out), out);
        EXPECT_STREQ(out, c.name);
    }
}

TEST(Ipaddr2arpa, ShortBufferIsCutAndTerminated)
{
    char out[16];
    std::memset(out, '#', sizeof out);
    ipaddr2arpa("10.1.2.3", out, 8);
    EXPECT_STREQ(out, "3.2.1.1");
    EXPECT_EQ(out[8], '#');
    ipaddr2arpa("10.1.2.3", out, 0);
    EXPECT_EQ(out[0], '3');  // size 0 writes nothing
    EXPECT_EQ(ipaddr2arpa(nullptr, out, 8), nullptr);
}

TEST(Ipaddrvalid, DigitRulesByGroup)
{
    struct {
        const char* text;
        int valid;
    } cases[] = {
        {"10.0.0.1", 1},     {"10.0.0.0", 0},        {"0.1.2.3", 0},
        {"10.1.05.1", 1},    {"10.05.1.1", 0},       {"10.1.1", 0},
        {"10.1.1.1.", 0},    {"1000.1.1.1", 0},      {"", 0},
        {"10.1.1.05", 0},    {"192.168.1.1", 1},     {"127.0.0.1", 1},
        {"199.99.9.199", 1}, {"255.255.255.255", 1}, {"256.1.1.1", 0},
        {"1.1.1.256", 0},    {"099.1.1.1", 0},       {"1.1.1.1.1", 0},
        {".1.1.1", 0},       {"1..1.1", 0},          {"+1.1.1.1", 0},
        {"1.1.1.1 ", 0},     {"a.b.c.d", 0},         {"1.2.3.4/8", 0},
        {nullptr, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(null)");
        EXPECT_EQ(ipaddrvalid(c.text), c.valid);
    }
}

TEST(Ipaddrinnetwork, PrefixMasks)
{
    struct {
        const char* network;
        const char* address;
        int inside;
    } cases[] = {
        {"10.0.0.0/8", "10.20.30.40", 1},   {"10.0.0.0/16", "10.20.30.40", 0}, {"10.0.0.0/0", "192.0.2.1", 1},
        {"10.0.0.0/8", "10.2x.30.40", 0},   {"10.0.0.0/8a", "10.20.30.40", 0}, {"10.0.0.0/8", "10.20.30", 0},
        {"192.0.2.0/24", "192.0.2.255", 1}, {"192.0.2.0/24", "192.0.3.0", 0},  {"192.0.2.7/32", "192.0.2.7", 1},
        {"192.0.2.7/40", "192.0.2.7", 1},   {"192.0.2.7/40", "192.0.2.8", 0},  {"192.0.2.7", "192.0.2.7", 1},
        {"192.0.2.7", "192.0.2.8", 0},      {"10.0.0.0/8", "10.1.1.1/30", 1},  {nullptr, "10.0.0.1", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.network ? c.network : "(null)") << " " << c.address);
        EXPECT_EQ(ipaddrinnetwork(c.network, c.address), c.inside);
    }
}

}  // namespace
