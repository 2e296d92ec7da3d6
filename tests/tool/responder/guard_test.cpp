// The responder's safety rules on their own, with a clock the test turns:
// own address, port 0, loops, the amplification budget, and the fixed table.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/winsock.hpp"
#include "tool/responder/responder_guard.hpp"

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
guard_decision check(responder_guard* g, const address& from, uint32_t fingerprint, int received, int reply,
                     int64_t now_us) {
    return guard_check(g, reinterpret_cast<const sockaddr*>(&from), sizeof from, fingerprint, received, reply, now_us);
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
        EXPECT_EQ(check(&guard, peer, 42, 64, 64, t).verdict, guard_answer) << copy;
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
        {16, 128, 5},        // asking eight times its size
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

TEST_F(guard_fixture, AmplificationIsBoundedOverAnySecond) {
    sockaddr_in attacked = v4("127.0.0.1", 6000);
    // One small datagram asking for the largest reply is answered in full.
    EXPECT_EQ(check(&guard, attacked, 0, 16, 65507, 0).verdict, guard_answer);
    // 2000 of them within a second get at most 16 times what they sent.
    reset();
    int64_t replied = 0, sent = 0;
    int announced = 0;
    for (int i = 0; i < 2000; i++) {
        guard_decision d = check(&guard, attacked, static_cast<uint32_t>(i), 16, 65507, i * 500);
        sent += 16;
        if (d.verdict == guard_answer) replied += 65507;
        if (d.announce) announced++;
        if (d.verdict != guard_answer) {
            EXPECT_EQ(d.verdict, guard_budget);
        }
    }
    EXPECT_LE(replied, 16 * sent);
    EXPECT_GE(replied, 65507);
    EXPECT_EQ(announced, 1);
    // Over a long run the excess stays at the refill rate of the budget.
    reset();
    replied = 0;
    sent = 0;
    for (int i = 0; i < 100000; i++) {
        if (check(&guard, attacked, static_cast<uint32_t>(i), 16, 65507, i * 100).verdict == guard_answer) {
            replied += 65507;
        }
        sent += 16;
    }
    // 10 s: the first budget, ten refills, and eight times what was sent.
    EXPECT_LE(replied - sent, 11 * guard_budget_bytes + guard_budget_ratio * sent);
    EXPECT_GE(replied, 9 * 65507);
    // Without the budget every reply goes out.
    reset("127.0.0.1", 7777, false);
    for (int i = 0; i < 100; i++) {
        EXPECT_EQ(check(&guard, attacked, static_cast<uint32_t>(i), 16, 65507, i).verdict, guard_answer);
    }
}

TEST_F(guard_fixture, FixedTableNoAllocationAndOverflowSharesOneBudget) {
    counting = true;
    // Far more sources than places, all at once: none gets a fresh budget by
    // pushing another out, so the replies stay bounded.
    int64_t replied = 0, sent = 0;
    for (int i = 0; i < 20 * guard_table_size; i++) {
        sockaddr_in6 forged = v6("2001:db8::1", 1 + i);
        if (check(&guard, forged, 1, 16, 65507, i).verdict == guard_answer) replied += 65507;
        sent += 16;
    }
    counting = false;
    EXPECT_EQ(allocations.load(), 0);
    // A first budget per place and one shared by the rest, then the ratio.
    EXPECT_LE(replied, (guard_table_size + 2) * guard_budget_bytes + (1 + guard_budget_ratio) * sent);
    // Places idle for a window go to new sources.
    EXPECT_EQ(check(&guard, v4("192.0.2.7", 999), 1, 16, 65507, 3 * guard_window_us).verdict, guard_answer);
    // Overflow sources must not pass for each other's repeats: the same
    // probe number from many of them is no loop.
    reset();
    int refused = 0;
    for (int i = 0; i < 4 * guard_table_size; i++) {
        sockaddr_in sender = v4("127.0.0.1", 1 + i);
        if (check(&guard, sender, 0, 64, 64, i).verdict != guard_answer) refused++;
    }
    EXPECT_EQ(refused, 0);
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
