// The responder's safety rules on their own, with a clock the test turns:
// own address, port 0, loops, the amplification limit under forged crowds,
// cookies, and the fixed tables.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/winsock.hpp"
#include "tool/responder/responder_guard.hpp"
#include "tool/responder/siphash.hpp"

// Allocations made by the code under test, counted while a test asks for it.
namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
}  // namespace

#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    if (counting) allocations++;
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

sockaddr_in v4(const char* text, int port) {
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    inet_pton(AF_INET, text, &a.sin_addr);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

sockaddr_in6 v6(const char* text, int port) {
    sockaddr_in6 a;
    std::memset(&a, 0, sizeof a);
    a.sin6_family = AF_INET6;
    inet_pton(AF_INET6, text, &a.sin6_addr);
    a.sin6_port = htons(static_cast<uint16_t>(port));
    return a;
}

template <typename address>
const sockaddr* as_sockaddr(const address& a) {
    return reinterpret_cast<const sockaddr*>(&a);
}

template <typename address>
guard_decision check(responder_guard* g, const address& from, uint32_t fingerprint, int received, int reply,
                     int64_t now_us, const unsigned char* cookie = nullptr) {
    return guard_check(g, as_sockaddr(from), sizeof from, fingerprint, received, reply, cookie, now_us);
}

struct guard_fixture : ::testing::Test {
    static responder_guard guard;
    void reset(const char* own_text = "127.0.0.1", int own_port = 7777, bool budget = true) {
        sockaddr_in own = v4(own_text, own_port);
        guard_reset(&guard, reinterpret_cast<const sockaddr*>(&own), sizeof own, budget);
    }
    void SetUp() override { reset(); }
};
responder_guard guard_fixture::guard;

TEST(GuardSource, FamilyAddressAndPortFromEitherFamily) {
    guard_source s;
    sockaddr_in a = v4("10.1.2.3", 4000);
    ASSERT_TRUE(guard_source_of(reinterpret_cast<sockaddr*>(&a), sizeof a, &s));
    EXPECT_EQ(s.family, AF_INET);
    EXPECT_EQ(s.port, 4000);
    const unsigned char expected4[16] = {10, 1, 2, 3};
    EXPECT_EQ(std::memcmp(s.address, expected4, 16), 0);
    sockaddr_in6 b = v6("2001:db8::5", 4001);
    ASSERT_TRUE(guard_source_of(reinterpret_cast<sockaddr*>(&b), sizeof b, &s));
    EXPECT_EQ(s.family, AF_INET6);
    EXPECT_EQ(s.port, 4001);
    EXPECT_EQ(s.address[0], 0x20);
    EXPECT_EQ(s.address[15], 5);
    // Too short for its family, or another family: no source.
    EXPECT_FALSE(guard_source_of(reinterpret_cast<sockaddr*>(&b), sizeof a, &s));
    sockaddr_in c = a;
    c.sin_family = AF_UNIX;
    EXPECT_FALSE(guard_source_of(reinterpret_cast<sockaddr*>(&c), sizeof c, &s));
    EXPECT_FALSE(guard_source_of(nullptr, 0, &s));
}

TEST_F(guard_fixture, OwnAddressAndPortZeroAreRefusedAndSaidOnce) {
    sockaddr_in own = v4("127.0.0.1", 7777);
    guard_decision d = check(&guard, own, 1, 16, 16, 0);
    EXPECT_EQ(d.verdict, guard_own_address);
    EXPECT_TRUE(d.announce);
    d = check(&guard, own, 2, 16, 16, 10);
    EXPECT_EQ(d.verdict, guard_own_address);
    EXPECT_FALSE(d.announce);
    // A second later the refusal is said again.
    EXPECT_TRUE(check(&guard, own, 3, 16, 16, guard_window_us + 10).announce);
    // Other lines about the source share its allowance.
    EXPECT_FALSE(guard_may_say(&guard, as_sockaddr(own), sizeof own, guard_window_us + 20));
    EXPECT_TRUE(guard_may_say(&guard, as_sockaddr(own), sizeof own, 2 * guard_window_us + 20));
    EXPECT_FALSE(check(&guard, own, 4, 16, 16, 2 * guard_window_us + 30).announce);

    EXPECT_EQ(check(&guard, v4("127.0.0.1", 0), 1, 16, 16, 0).verdict, guard_port_zero);
    // Same address, other port; same port, other address: ordinary sources.
    EXPECT_EQ(check(&guard, v4("127.0.0.1", 7778), 1, 16, 16, 0).verdict, guard_answer);
    EXPECT_EQ(check(&guard, v4("127.0.0.2", 7777), 1, 16, 16, 0).verdict, guard_answer);
    EXPECT_EQ(check(&guard, v6("::1", 7777), 1, 16, 16, 0).verdict, guard_answer);

    // Bound to the wildcard address, every loopback address with its port is its own.
    reset("0.0.0.0", 7777);
    EXPECT_EQ(check(&guard, v4("127.0.0.1", 7777), 1, 16, 16, 0).verdict, guard_own_address);
    EXPECT_EQ(check(&guard, v4("127.1.2.3", 7777), 1, 16, 16, 0).verdict, guard_own_address);
    EXPECT_EQ(check(&guard, v6("::ffff:127.0.0.1", 7777), 1, 16, 16, 0).verdict, guard_own_address);
    EXPECT_EQ(check(&guard, v6("::1", 7777), 1, 16, 16, 0).verdict, guard_own_address);
    EXPECT_EQ(check(&guard, v4("192.0.2.1", 7777), 1, 16, 16, 0).verdict, guard_answer);
}

TEST_F(guard_fixture, RepeatedDatagramIsALoopAndTheSourceRestsAWindow) {
    sockaddr_in peer = v4("127.0.0.1", 5000);
    int64_t t = 1000;
    for (int copy = 0; copy <= guard_repeat_limit; copy++, t += 50) {
        guard_decision answered = check(&guard, peer, 42, 64, 64, t);
        EXPECT_EQ(answered.verdict, guard_answer) << copy;
        EXPECT_EQ(answered.received, static_cast<uint32_t>(copy + 1));  // every datagram of the source counts
    }
    guard_decision d = check(&guard, peer, 42, 64, 64, t);
    EXPECT_EQ(d.verdict, guard_loop);
    EXPECT_TRUE(d.announce);
    // The whole source rests, new numbers included, said once.
    d = check(&guard, peer, 43, 64, 64, t + 100);
    EXPECT_EQ(d.verdict, guard_loop);
    EXPECT_FALSE(d.announce);
    // Other sources are not touched.
    EXPECT_EQ(check(&guard, v4("127.0.0.1", 5001), 42, 64, 64, t + 100).verdict, guard_answer);
    // After the window it is answered again.
    EXPECT_EQ(check(&guard, peer, 44, 64, 64, t + guard_window_us + 1).verdict, guard_answer);
}

TEST_F(guard_fixture, ManyLoopsAtOnceAreFoundToo) {
    // 200 forged datagrams circulating between two responders: each passes
    // every 200th datagram.
    sockaddr_in peer = v4("127.0.0.1", 5000);
    int answered = 0;
    for (int pass = 0; pass < 20; pass++) {
        for (uint32_t loop = 0; loop < 200; loop++) {
            if (check(&guard, peer, loop, 64, 64, pass * 2000 + loop * 10).verdict == guard_answer) answered++;
        }
    }
    EXPECT_LE(answered, 200 * (guard_repeat_limit + 1));
}

TEST_F(guard_fixture, ProgramsOwnRunsAreNeverRefused) {
    struct run {
        int sendsize, recvsize;
        int64_t interval_us;
    } runs[] = {
        {8192, 9192, 1000},  // the defaults
        {8192, 9192, 10},    // --interval=0 on a fast path
        {64, 64, 5},         // the benchmark's probes
        {16, 256, 5},        // asking the whole ratio
        {6, 6, 5},           // a plain echo client
        {44, 44, 2},         // reflection of a timestamp test packet, at a high rate
        {1000, 8000, 20},   {65507, 65507, 100},
    };
    for (const run& r : runs) {
        reset();
        sockaddr_in sender = v4("127.0.0.1", 40000);
        for (int probe = 0; probe < 10000; probe++) {
            guard_decision d =
                check(&guard, sender, static_cast<uint32_t>(probe), r.sendsize, r.recvsize, probe * r.interval_us);
            ASSERT_EQ(d.verdict, guard_answer) << r.sendsize << " " << r.recvsize << " probe " << probe;
        }
    }
}

// Forged 16-byte requests for the largest reply, in every mix of sources:
// towards every address the replies stay within the ratio of what came from
// it, while the program's own sender beside them is answered every time.
TEST_F(guard_fixture, ForgedCrowdsGetNoMoreThanTheRatioOfTheirBytes) {
    struct attack {
        const char* name;
        bool v6;
        int addresses, ports, rounds;
        int64_t spacing_us, round_us;
        int answered;  // the requests that earn a reply
    } attacks[] = {
        {"1024 fixed sources, 4 rounds", false, 1024, 1, 4, 100, guard_window_us, 0},
        {"20000 churning sources", false, 20000, 1, 1, 100, 0, 0},
        // One address gathers 256 bytes of credit per request, whatever the port.
        {"20000 ports of one address", false, 1, 20000, 1, 100, 0, 20000 * 256 / 65507},
        {"IPv6: 20000 addresses of one /64", true, 20000, 1, 1, 100, 0, 0},
        {"IPv6: 20000 ports of one address", true, 1, 20000, 1, 100, 0, 20000 * 256 / 65507},
        // No refill with time, however slowly one asks.
        {"one source every 10 s for 1000 s", false, 1, 1, 100, 0, 10 * guard_window_us, 0},
    };
    counting = true;
    for (const attack& a : attacks) {
        reset();
        sockaddr_in sender = v4("127.0.0.1", 40000);
        int64_t sent = 0, replied = 0;
        int answered = 0, requests = 0;
        int64_t t = 0;
        for (int round = 0; round < a.rounds; round++, t += a.round_us) {
            for (int i = 0; i < a.addresses * a.ports; i++, t += a.spacing_us) {
                int address = i / a.ports;
                int port = 1 + i % a.ports;
                guard_decision d;
                if (a.v6) {
                    sockaddr_in6 forged = v6("2001:db8::", port);
                    for (int b = 0; b < 4; b++)
                        forged.sin6_addr.s6_addr[15 - b] = static_cast<unsigned char>(address >> (8 * b));
                    d = check(&guard, forged, static_cast<uint32_t>(requests), 16, 65507, t);
                } else {
                    sockaddr_in forged = v4("10.0.0.0", port);
                    forged.sin_addr.s_addr = htonl(0x0A000000U + static_cast<uint32_t>(address));
                    d = check(&guard, forged, static_cast<uint32_t>(requests), 16, 65507, t);
                }
                requests++;
                sent += 16;
                if (d.verdict == guard_answer) {
                    replied += 65507;
                    answered++;
                } else {
                    ASSERT_EQ(d.verdict, guard_budget) << a.name;
                }
                if (i % 10 == 0) {
                    ASSERT_EQ(check(&guard, sender, static_cast<uint32_t>(requests), 8192, 9192, t).verdict,
                              guard_answer)
                        << a.name << " request " << requests;
                }
            }
        }
        EXPECT_LE(replied, probe_unproven_ratio * sent) << a.name;
        EXPECT_EQ(answered, a.answered) << a.name;
    }
    counting = false;
    EXPECT_EQ(allocations.load(), 0);

    // --nobudget: every reply goes out.
    reset("127.0.0.1", 7777, false);
    for (int i = 0; i < 100; i++) {
        EXPECT_EQ(check(&guard, v4("10.0.0.1", 1 + i), static_cast<uint32_t>(i), 16, 65507, i).verdict, guard_answer);
    }
}

TEST_F(guard_fixture, CreditIsCappedAndAnAddressPushedOutStartsAtZero) {
    sockaddr_in source = v4("10.0.0.1", 1000);
    // Large datagrams asking for nothing: the credit stops at its cap.
    for (int i = 0; i < 100; i++) check(&guard, source, static_cast<uint32_t>(i), 65507, 0, i);
    int answered = 0;
    for (int i = 0; i < 100; i++) {
        if (check(&guard, source, static_cast<uint32_t>(100 + i), 16, 65507, 100 + i).verdict == guard_answer) {
            answered++;
        }
    }
    EXPECT_EQ(answered, guard_credit_cap / 65507);

    // Credit again, then a crowd of new addresses pushes the address out of
    // the table: none of them inherits its credit, and it starts again at nothing.
    reset();
    for (int i = 0; i < 10; i++) check(&guard, source, static_cast<uint32_t>(i), 65507, 0, i);
    for (int i = 0; i < 20 * guard_account_table_size; i++) {
        sockaddr_in crowd = v4("10.0.0.0", 2000);
        crowd.sin_addr.s_addr = htonl(0x0B000000U + static_cast<uint32_t>(i));
        ASSERT_EQ(check(&guard, crowd, 1, 16, 65507, 100 + i).verdict, guard_budget) << i;
    }
    EXPECT_EQ(check(&guard, source, 99, 16, 65507, guard_window_us).verdict, guard_budget);
}

// Far more sources than places, one forged source among them repeating a
// datagram: that one is refused, every other one keeps being answered.
TEST_F(guard_fixture, TheLoopRuleRefusesTheForgedSourceNotTheCrowd) {
    sockaddr_in sender = v4("127.0.0.1", 40000);
    sockaddr_in repeater = v4("10.9.9.9", 53);
    int refused_repeats = 0;
    for (int i = 0; i < 20 * guard_table_size; i++) {
        int64_t t = i * 50;
        sockaddr_in crowd = v4("10.0.0.0", 1 + i % 60000);
        crowd.sin_addr.s_addr = htonl(0x0A000000U + static_cast<uint32_t>(i));
        // Every crowd source sends probe number 0: equal numbers from
        // different sources are no loop.
        ASSERT_EQ(check(&guard, crowd, 0, 64, 64, t).verdict, guard_answer) << i;
        if (check(&guard, repeater, 7, 64, 64, t).verdict == guard_loop) refused_repeats++;
        if (i % 4 == 0) {
            ASSERT_EQ(check(&guard, sender, static_cast<uint32_t>(i), 8192, 9192, t).verdict, guard_answer) << i;
        }
    }
    EXPECT_GE(refused_repeats, 20 * guard_table_size - 2 * (guard_repeat_limit + 1));
}

TEST(GuardCookie, SipHashGivesTheReferenceValues) {
    unsigned char key[siphash_key_size];
    unsigned char message[64];
    for (int i = 0; i < 16; i++) key[i] = static_cast<unsigned char>(i);
    for (int i = 0; i < 64; i++) message[i] = static_cast<unsigned char>(i);
    // Message 00 01 02 ... of each length, key 00 01 ... 0f.
    struct vector {
        int length;
        uint64_t hash;
    } vectors[] = {{0, 0x726fdb47dd0e0e31ULL},  {1, 0x74f839c593dc67fdULL}, {7, 0xab0200f58b01d137ULL},
                   {8, 0x93f5f5799a932462ULL},  {9, 0x9e0082df0ba9e4b0ULL}, {15, 0xa129ca6149be45e5ULL},
                   {25, 0xbce192de8a85b8eaULL}, {63, 0x958a324ceb064572ULL}};
    for (const vector& v : vectors) EXPECT_EQ(siphash24(key, message, v.length), v.hash) << v.length;
}

TEST_F(guard_fixture, ACookieProvesTheAddressAndLiftsOnlyTheLimit) {
    sockaddr_in client = v4("10.1.2.3", 4000);
    unsigned char cookie[guard_cookie_size];
    ASSERT_TRUE(guard_cookie_make(&guard, as_sockaddr(client), sizeof client, 0, cookie));
    auto valid = [&](const auto& from, const unsigned char* c, int64_t at) {
        return guard_cookie_check(&guard, as_sockaddr(from), sizeof from, c, at);
    };
    // Bound to the address, not the port; an IPv4 peer of a dual-stack socket is the same address.
    EXPECT_TRUE(valid(client, cookie, 0));
    EXPECT_TRUE(valid(v4("10.1.2.3", 9), cookie, 0));
    EXPECT_TRUE(valid(v6("::ffff:10.1.2.3", 9), cookie, 0));
    EXPECT_FALSE(valid(v4("10.1.2.4", 4000), cookie, 0));
    EXPECT_FALSE(valid(v6("2001:db8::1", 4000), cookie, 0));
    EXPECT_FALSE(valid(client, nullptr, 0));
    for (int bit = 0; bit < 8 * guard_cookie_size; bit++) {
        cookie[bit / 8] ^= static_cast<unsigned char>(1 << bit % 8);
        EXPECT_FALSE(valid(client, cookie, 0)) << bit;
        cookie[bit / 8] ^= static_cast<unsigned char>(1 << bit % 8);
    }
    // Good through the next key period, not the one after.
    EXPECT_TRUE(valid(client, cookie, 2 * guard_cookie_period_us - 1));
    EXPECT_FALSE(valid(client, cookie, 2 * guard_cookie_period_us));

    // A proven datagram gets the largest reply for 16 bytes, again and
    // again; without the cookie, or with a cookie of another guard (another
    // key), none.
    for (int i = 0; i < 1000; i++) {
        ASSERT_EQ(check(&guard, client, static_cast<uint32_t>(i), 16, 65507, i, cookie).verdict, guard_answer) << i;
    }
    EXPECT_EQ(check(&guard, client, 1000, 16, 65507, 1000).verdict, guard_budget);
    unsigned char stale[guard_cookie_size];
    std::memcpy(stale, cookie, sizeof stale);
    reset();
    EXPECT_EQ(check(&guard, client, 1001, 16, 65507, 1001, stale).verdict, guard_budget);
    // The loop rule still holds for a proven source.
    ASSERT_TRUE(guard_cookie_make(&guard, as_sockaddr(client), sizeof client, 0, cookie));
    guard_verdict last = guard_answer;
    for (int copy = 0; copy <= guard_repeat_limit + 1; copy++)
        last = check(&guard, client, 5, 16, 16, 2000 + copy, cookie).verdict;
    EXPECT_EQ(last, guard_loop);
}

TEST_F(guard_fixture, CookieFieldsOnTheWire) {
    sockaddr_in client = v4("10.1.2.3", 4000);
    unsigned char expected[guard_cookie_size];
    ASSERT_TRUE(guard_cookie_make(&guard, as_sockaddr(client), sizeof client, 0, expected));
    unsigned char data[64];
    struct wire_case {
        uint32_t flags;
        int length;  // received, and the reply's length
        bool cookie;
    } cases[] = {
        {probe_ask_cookie | probe_ask_hello, probe_cookie_end, true},
        {probe_ask_cookie, 64, true},
        {probe_ask_cookie, probe_cookie_end - 1, false},  // no room for the field
        {probe_ask_oneway, 64, false},                    // not asked
    };
    for (const wire_case& c : cases) {
        std::memset(data, 0x5A, sizeof data);
        data_value_set(data, value_reserved, static_cast<int>(c.flags));
        EXPECT_EQ(guard_cookie_presented(data, c.length), c.cookie ? data + probe_cookie_offset : nullptr) << c.length;
        EXPECT_EQ(guard_cookie_answer(&guard, as_sockaddr(client), sizeof client, data, c.length, 0), c.cookie);
        uint32_t flags = static_cast<uint32_t>(data_value_get(data, value_reserved));
        EXPECT_EQ(flags, c.cookie ? c.flags | probe_did_cookie : c.flags);
        EXPECT_EQ(std::memcmp(data + probe_cookie_offset, expected, guard_cookie_size) == 0, c.cookie);
        EXPECT_EQ(data[probe_cookie_end], 0x5A);  // nothing beyond the field
    }
}

TEST(GuardFingerprint, EqualBytesEqualPrintsAndLengthCounts) {
    unsigned char a[100], b[100];
    for (int i = 0; i < 100; i++) a[i] = b[i] = static_cast<unsigned char>(i);
    EXPECT_EQ(guard_fingerprint(a, 100), guard_fingerprint(b, 100));
    EXPECT_NE(guard_fingerprint(a, 100), guard_fingerprint(a, 99));
    b[3] ^= 1;
    EXPECT_NE(guard_fingerprint(a, 100), guard_fingerprint(b, 100));
    EXPECT_EQ(std::strcmp(guard_reason(guard_loop), "loop"), 0);
    EXPECT_EQ(std::strcmp(guard_reason(guard_budget), "budget"), 0);
}

}  // namespace
