// What the kernel tells about received datagrams (arrival stamp, TTL, TOS),
// round trips on one clock, and the clock's synchronization state.
#include <gtest/gtest.h>

#include <sys/time.h>
#include <sys/timex.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>

#include "platform/batch.hpp"
#include "platform/clock.hpp"
#include "platform/clock_sync.hpp"
#include "platform/winsock.hpp"

namespace {

using namespace platform;

// A UDP socket on loopback (127.0.0.1, ::1, or :: for both families) on a
// free port, with a bounded receive wait.
struct endpoint {
    SOCKET sock = INVALID_SOCKET;
    sockaddr_storage address{};
    int length = 0;
};

endpoint open_endpoint(int family, const char* text)
{
    endpoint e;
    e.sock = platform::socket(family, SOCK_DGRAM, IPPROTO_UDP);
    int length = sizeof e.address;
    WSAStringToAddressA(text, family, nullptr, &e.address, &length);
    if (family == AF_INET6) {
        int both = 0;
        platform::setsockopt(e.sock, IPPROTO_IPV6, IPV6_V6ONLY, &both, sizeof both);
    }
    platform::bind(e.sock, &e.address, length);
    e.length = sizeof e.address;
    platform::getsockname(e.sock, &e.address, &e.length);
    ::timeval wait{2, 0};
    platform::setsockopt(e.sock, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    return e;
}

// The address to send to: the endpoint's port on `text`.
sockaddr_storage destination(const endpoint& to, int family, const char* text, int* length)
{
    sockaddr_storage d{};
    *length = sizeof d;
    WSAStringToAddressA(text, family, nullptr, &d, length);
    uint16_t port = to.address.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in&>(to.address).sin_port
                                                    : reinterpret_cast<const sockaddr_in6&>(to.address).sin6_port;
    if (family == AF_INET)
        reinterpret_cast<sockaddr_in&>(d).sin_port = port;
    else
        reinterpret_cast<sockaddr_in6&>(d).sin6_port = port;
    return d;
}

// TTL (hop limit) 37 and TOS (traffic class) 184, DSCP 46 "expedited", reach
// the receiver as sent: over IPv4, over IPv6, and as IPv4 to a socket bound
// to ::, through the single and the batched receive.  Without the switch
// they stay unknown, and the plain batched receive reads none.
TEST(ReceiveFacts, TtlTosAndStampOfEachFamilyAndOfMappedIpv4)
{
    struct case_ {
        const char* name;
        int receiver_family;
        const char* receiver_at;
        int sender_family;
        const char* sender_to;
    } cases[] = {
        {"ipv4", AF_INET, "127.0.0.1", AF_INET, "127.0.0.1"},
        {"ipv6", AF_INET6, "::1", AF_INET6, "::1"},
        {"ipv4 to ::", AF_INET6, "::", AF_INET, "127.0.0.1"},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        endpoint receiver = open_endpoint(c.receiver_family, c.receiver_at);
        SOCKET sender = platform::socket(c.sender_family, SOCK_DGRAM, IPPROTO_UDP);
        ASSERT_NE(receiver.sock, INVALID_SOCKET);
        int ttl = 37;
        int tos = 184;
        if (c.sender_family == AF_INET) {
            ASSERT_EQ(platform::setsockopt(sender, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl), 0);
            ASSERT_EQ(platform::setsockopt(sender, IPPROTO_IP, IP_TOS, &tos, sizeof tos), 0);
        } else {
            ASSERT_EQ(platform::setsockopt(sender, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &ttl, sizeof ttl), 0);
            ASSERT_EQ(platform::setsockopt(sender, IPPROTO_IPV6, IPV6_TCLASS, &tos, sizeof tos), 0);
        }
        int to_length = 0;
        sockaddr_storage to = destination(receiver, c.sender_family, c.sender_to, &to_length);
        char data[8] = "facts";
        char got[8];
        auto send_one = [&] { ASSERT_EQ(platform::sendto(sender, data, 8, 0, &to, to_length), 8); };

        // Not switched on: nothing but the arrival time as the receive returned.
        send_one();
        receive_time arrival{};
        ASSERT_EQ(recvfrom_stamped(receiver.sock, got, 8, 0, nullptr, nullptr, &arrival), 8);
        EXPECT_FALSE(arrival.facts.ttl_known || arrival.facts.tos_known || arrival.facts.stamp_known);

        ASSERT_EQ(receive_facts_on(receiver.sock), 0);
        for (int batched = 0; batched <= 2; batched++) {
            int64_t before = realtime_ns();
            send_one();
            receive_facts facts{};
            int64_t returned = 0;
            if (batched == 0) {
                ASSERT_EQ(recvfrom_stamped(receiver.sock, got, 8, 0, nullptr, nullptr, &arrival), 8);
                facts = arrival.facts;
                returned = arrival.taken.calendar_ns;
            } else {
                datagram one{};
                one.data = got;
                one.size = 8;
                int taken = batched == 1 ? recv_datagrams_with_facts(receiver.sock, &one, 1, true)
                                         : recv_datagrams(receiver.sock, &one, 1, true);
                returned = realtime_ns();
                ASSERT_EQ(taken, 1);
                ASSERT_EQ(one.result, 8);
                facts = one.facts;
            }
            SCOPED_TRACE(batched);
            if (batched == 2) {
                EXPECT_FALSE(facts.ttl_known || facts.tos_known || facts.stamp_known);
                continue;
            }
            EXPECT_TRUE(facts.ttl_known);
            EXPECT_EQ(facts.ttl, 37);
            EXPECT_TRUE(facts.tos_known);
            EXPECT_EQ(facts.tos, 184);
            ASSERT_TRUE(facts.stamp_known);
            EXPECT_GE(facts.stamp_ns, before);
            EXPECT_LE(facts.stamp_ns, returned);
        }
        platform::closesocket(sender);
        platform::closesocket(receiver.sock);
    }
}

// The round trip's rules on made-up readings: the stamp when the calendar
// kept pace, else the monotonic clock; never negative.
TEST(RoundTrips, StampWhenTheCalendarKeptPaceElseTheMonotonicClock)
{
    const clock_pair sent{1000000000, 500};
    struct case_ {
        bool stamp_known;
        int64_t stamp;
        clock_pair taken;
        int64_t expected;
        bool from_stamp;
    } cases[] = {
        {true, 1000007000, {1000009000, 9500}, 7000, true},           // both clocks advanced 9 us
        {false, 0, {1000009000, 9500}, 9000, false},                  // no stamp
        {true, 1000007000, {1000009000 + 30000, 9500}, 9000, false},  // calendar stepped 30 us forward
        {true, 1000007000, {1000009000 - 30000, 9500}, 9000, false},  // and back
        {true, 999999000, {1000009000, 9500}, 9000, false},           // a stamp before the send
        {true, 1000009001, {1000009000, 9500}, 9000, false},          // and after the return
        {true, 1000007000, {1000009000 + 15000, 9500}, 7000, true},   // within the tolerance
        {false, 0, {1000000000, 400}, 0, false},                      // monotonic went nowhere
    };
    for (const case_& c : cases) {
        round_trip r = round_trip_between(sent, c.stamp_known, c.stamp, c.taken);
        EXPECT_EQ(r.nanoseconds, c.expected) << c.stamp << " " << c.taken.calendar_ns;
        EXPECT_EQ(r.from_stamp, c.from_stamp) << c.stamp << " " << c.taken.calendar_ns;
    }
}

// Many thousands of exchanges over loopback with an echo on another thread,
// one at a time: every one has a round trip, from the kernel's stamp and the
// calendar send time, and none is shorter than a trip through the stack
// both ways can be (at least 2 us) or longer than the monotonic time to the
// receive's return.
TEST(RoundTrips, EveryLoopbackRoundTripIsPhysical)
{
    endpoint a = open_endpoint(AF_INET, "127.0.0.1");
    endpoint b = open_endpoint(AF_INET, "127.0.0.1");
    ASSERT_EQ(receive_facts_on(a.sock), 0);
    constexpr int exchanges = 20000;
    std::thread echo([&b] {
        char data[64];
        for (int i = 0; i < exchanges; i++) {
            sockaddr_storage from{};
            int from_length = sizeof from;
            int got = platform::recvfrom(b.sock, data, sizeof data, 0, &from, &from_length);
            if (got < 0 || platform::sendto(b.sock, data, got, 0, &from, from_length) != got)
                return;  // the bounded wait ran out: the sender gave up
        }
    });
    int counted = 0;
    int from_stamp = 0;
    int64_t shortest = INT64_MAX;
    char data[64] = {};
    for (int i = 0; i < exchanges; i++) {
        clock_pair sent = clock_pair_now();
        if (platform::sendto(a.sock, data, 64, 0, &b.address, b.length) != 64)
            break;
        receive_time arrival{};
        if (recvfrom_stamped(a.sock, data, 64, 0, nullptr, nullptr, &arrival) != 64)
            break;
        round_trip trip = round_trip_between(sent, arrival.facts.stamp_known, arrival.facts.stamp_ns, arrival.taken);
        counted++;
        from_stamp += trip.from_stamp ? 1 : 0;
        if (trip.nanoseconds < shortest)
            shortest = trip.nanoseconds;
        EXPECT_LE(trip.nanoseconds, arrival.taken.monotonic_ns - sent.monotonic_ns + calendar_step_tolerance_ns);
    }
    echo.join();
    EXPECT_EQ(counted, exchanges);
    EXPECT_GE(shortest, 2000);
    // Only a preemption between two clock readings, or the first datagrams
    // while the kernel turns stamping on, fall back to the monotonic clock.
    EXPECT_GE(from_stamp, exchanges * 99 / 100);
    RecordProperty("shortest_round_trip_ns", std::to_string(shortest));
    std::printf("shortest loopback round trip: %lld ns (%d of %d from the kernel's stamp)\n",
                static_cast<long long>(shortest), from_stamp, exchanges);
    platform::closesocket(a.sock);
    platform::closesocket(b.sock);
}

TEST(ClockSync, SynchronizedOnlyWhenTheKernelSaysSo)
{
    struct case_ {
        int result;
        int status;
        long maximum_us;
        bool known;
        bool synchronized;
        double bound;
    } cases[] = {
        {TIME_OK, 0, 1500, true, true, 0.0015},
        {TIME_INS, STA_PLL, 20, true, true, 0.00002},
        {TIME_OK, STA_UNSYNC, 1500, true, false, INFINITY},
        {TIME_ERROR, 0, 16000000, true, false, INFINITY},
        {-1, 0, 0, false, false, INFINITY},
    };
    for (const case_& c : cases) {
        clock_sync_state state = clock_sync_from_kernel(c.result, c.status, c.maximum_us, 10);
        EXPECT_EQ(state.known, c.known) << c.result << " " << c.status;
        EXPECT_EQ(state.synchronized, c.synchronized) << c.result << " " << c.status;
        EXPECT_DOUBLE_EQ(clock_sync_error_bound(&state), c.bound) << c.result << " " << c.status;
    }
    // This machine's clock, as the kernel tells it directly.
    struct timex reading {};
    int result = ::adjtimex(&reading);
    clock_sync_state now = clock_sync_now();
    EXPECT_TRUE(now.known);
    EXPECT_EQ(now.synchronized, result != TIME_ERROR && (reading.status & STA_UNSYNC) == 0);
    EXPECT_GE(now.maximum_error, now.estimated_error);
}

}  // namespace
