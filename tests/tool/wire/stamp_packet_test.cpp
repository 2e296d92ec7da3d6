// STAMP test packets: time stamps and error estimates, the two layouts with
// hostile input, the reflector (stateless and stateful), and interoperation
// with an implementation this project did not write (scapy's STAMP layer),
// down to the reflector program answering scapy's requests over loopback.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/clock.hpp"
#include "platform/clock_sync.hpp"
#include "tests/support/metrics_support.hpp"
#include "tests/support/tool_test_support.hpp"
#include "tool/responder/stamp_reflector.hpp"
#include "tool/wire/stamp_packet.hpp"
#include "tool/wire/stamp_time.hpp"

namespace {

constexpr int64_t billion = 1000000000;
constexpr int64_t now_ns = 1700000000 * billion + 123456789;  // 2023-11-14

// --- time stamps and error estimates ---------------------------------------------

TEST(StampTime, KnownValuesBothFormats)
{
    struct case_ {
        int64_t ns;
        uint64_t ntp;
        uint64_t ptp;
        bool ntp_range;  // 1968 to 2104
        bool ptp_range;  // 1970 to 2106
    } cases[] = {
        {0, 0x83AA7E80ULL << 32, 0, true, true},
        {1500000000, (0x83AA7E81ULL << 32) | 0x80000000u, (1ULL << 32) | 500000000u, true, true},
        {1, (0x83AA7E80ULL << 32) | 4u, 1, true, true},
        {-61505152 * billion, 0x80000000ULL << 32, 0xFC558180ULL << 32, true, false},  // NTP's top bit
        {2085978496 * billion, 0, 0x7C558180ULL << 32, true, true},                    // NTP seconds wrap
        {4294967295 * billion + 999999999, 0x83AA7E7FULL << 32 | 0xFFFFFFFCu, 0xFFFFFFFFULL << 32 | 999999999u, false,
         true},
    };
    for (const case_& c : cases) {
        EXPECT_EQ(ntp_from_unix_ns(c.ns), c.ntp) << c.ns;
        EXPECT_EQ(ptp_from_unix_ns(c.ns), c.ptp) << c.ns;
        if (c.ntp_range) {
            EXPECT_EQ(ntp_to_unix_ns(c.ntp), c.ns) << c.ns;
        }
        int64_t back = -1;
        EXPECT_TRUE(ptp_to_unix_ns(c.ptp, &back));
        if (c.ptp_range) {
            EXPECT_EQ(back, c.ns);
        }
    }
    // A fraction that rounds up carries into the next second.
    EXPECT_EQ(ntp_to_unix_ns((0x83AA7E80ULL << 32) | 0xFFFFFFFFu), billion);
    int64_t ns = 0;
    EXPECT_FALSE(ptp_to_unix_ns(billion, &ns));
    // The Z bit picks the format; the wire value 0 is no time.
    EXPECT_EQ(stamp_timestamp_from_ns(now_ns, 0x4001), ptp_from_unix_ns(now_ns));
    EXPECT_EQ(stamp_timestamp_from_ns(now_ns, 0x8001), ntp_from_unix_ns(now_ns));
    EXPECT_FALSE(stamp_timestamp_to_ns(0, 0x0001, &ns));
    EXPECT_FALSE(stamp_timestamp_to_ns(0, 0x4001, &ns));
}

// Every nanosecond comes back exactly, across both formats' ranges.
TEST(StampTime, EveryNanosecondComesBack)
{
    uint64_t state = 88172645463325252ULL;
    for (int i = 0; i < 200000; i++) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        int64_t ntp_ns = -61505152 * billion + static_cast<int64_t>(state % (uint64_t{1} << 32)) * billion +
                         static_cast<int64_t>((state >> 32) % billion);
        int64_t ptp_ns = static_cast<int64_t>(state % 4294967296ULL) * billion + static_cast<int64_t>(state >> 40);
        ASSERT_EQ(ntp_to_unix_ns(ntp_from_unix_ns(ntp_ns)), ntp_ns);
        int64_t back = -1;
        ASSERT_TRUE(ptp_to_unix_ns(ptp_from_unix_ns(ptp_ns), &back));
        ASSERT_EQ(back, ptp_ns);
    }
}

TEST(StampError, SmallestScaleWhoseMultiplierFitsNeverBelowTheError)
{
    struct case_ {
        double seconds;
        int scale;
        int multiplier;
    } cases[] = {
        {0.0, 0, 1},
        {-1.0, 0, 1},
        {1e-9, 0, 5},
        {0.001, 15, 132},
        {1.0, 25, 128},
        {16.0, 29, 128},
        {255.0 * 2147483648.0, 63, 255},
        {1e12, 63, 255},
        {INFINITY, 63, 255},
        {NAN, 63, 255},
    };
    for (const case_& c : cases) {
        stamp_error e = stamp_error_from_seconds(c.seconds, true, false);
        EXPECT_EQ(e.scale, c.scale) << c.seconds;
        EXPECT_EQ(e.multiplier, c.multiplier) << c.seconds;
        if (std::isfinite(c.seconds) && c.seconds < 1e11) {
            EXPECT_GE(stamp_error_seconds(e), c.seconds);
            // One scale less would need a multiplier beyond 8 bits.
            if (e.scale > 0) {
                EXPECT_GT(std::ceil(std::ldexp(c.seconds, 33 - e.scale)), 255.0) << c.seconds;
            }
        }
    }
    stamp_error e{true, true, 5, 7};
    EXPECT_EQ(stamp_error_bits(e), 0xC507);
    stamp_error back = stamp_error_of(0x4A20);
    EXPECT_FALSE(back.synchronized);
    EXPECT_TRUE(back.ptp);
    EXPECT_EQ(back.scale, 10);
    EXPECT_EQ(back.multiplier, 0x20);
    EXPECT_DOUBLE_EQ(stamp_error_seconds(back), 32.0 * std::ldexp(1.0, -22));
    EXPECT_LT(stamp_error_seconds(stamp_error_of(0x8A00)), 0.0);  // a multiplier of 0
}

// --- the session-sender's packet ---------------------------------------------------

constexpr uint16_t sender_error = 0x8A20;  // synchronized, NTP, 32 * 2^-22 s

int build_test_request(unsigned char* buffer, int length)
{
    return stamp_build_request(buffer, 2048, length, 7, now_ns, sender_error, 9);
}

TEST(StampRequest, BuiltAndReadBackAtEveryLengthWithHostileVariants)
{
    unsigned char packet[2048];
    std::memset(packet, 0xEE, sizeof packet);
    ASSERT_EQ(build_test_request(packet, 64), 64);
    for (int i = 16; i < 64; i++)
        EXPECT_EQ(packet[i], 0) << i;
    EXPECT_EQ(packet[64], 0xEE);
    // Every length a request can arrive with, cut from the built one (in a
    // buffer of that length, so a read beyond it shows under the sanitizer).
    for (int length = 0; length <= 64; length++) {
        std::vector<unsigned char> cut(packet, packet + length);
        stamp_request r;
        int result = stamp_parse_request(cut.data(), length, &r);
        if (length < stamp_twamp_light_shortest) {
            EXPECT_EQ(result, stamp_too_short) << length;
            continue;
        }
        ASSERT_EQ(result, 0) << length;
        EXPECT_EQ(r.sequence, 7u);
        int64_t t1 = 0;
        EXPECT_TRUE(stamp_timestamp_to_ns(r.timestamp, r.error_estimate, &t1));
        EXPECT_EQ(t1, now_ns);
        EXPECT_EQ(r.error_estimate, sender_error);
        EXPECT_EQ(r.ssid, length >= 16 ? 9 : 0) << length;
        EXPECT_EQ(r.zero_filled, length < stamp_packet_length) << length;
        EXPECT_FALSE(r.mbz_nonzero);
    }
    // Each must-be-zero byte set: still read (RFC 8762 ignores them), and noted.
    for (int i = stamp_request_mbz_offset; i < stamp_packet_length; i++) {
        packet[i] = 1;
        stamp_request r;
        EXPECT_EQ(stamp_parse_request(packet, 64, &r), 0);
        EXPECT_TRUE(r.mbz_nonzero) << i;
        packet[i] = 0;
    }
    // Building: too short a packet, too small a buffer.
    EXPECT_EQ(stamp_build_request(packet, 2048, 43, 1, now_ns, sender_error, 0), stamp_too_short);
    EXPECT_EQ(stamp_build_request(packet, 60, 64, 1, now_ns, sender_error, 0), stamp_no_room);
    EXPECT_EQ(stamp_build_request(nullptr, 64, 64, 1, now_ns, sender_error, 0), stamp_no_room);
    stamp_request r;
    EXPECT_EQ(stamp_parse_request(nullptr, 44, &r), stamp_too_short);
    EXPECT_EQ(stamp_parse_request(packet, -1, &r), stamp_too_short);
}

TEST(StampRequest, AuthenticatedLayoutIsRefusedOnlyWhenItLooksSo)
{
    unsigned char packet[stamp_authenticated_length] = {};
    ASSERT_EQ(build_test_request(packet, stamp_authenticated_length), stamp_authenticated_length);
    stamp_request r;
    EXPECT_EQ(stamp_parse_request(packet, stamp_authenticated_length, &r), 0);  // long, but T1 after the sequence
    // Authenticated: twelve zero bytes after the sequence number, the time at 16.
    unsigned char authenticated[stamp_authenticated_length] = {0, 0, 0, 7};
    authenticated[16] = 0xE8;
    EXPECT_EQ(stamp_parse_request(authenticated, stamp_authenticated_length, &r), stamp_authenticated);
    EXPECT_EQ(stamp_parse_request(authenticated, stamp_authenticated_length - 1, &r), 0);
    authenticated[16] = 0;  // no time at all: nothing says authenticated
    EXPECT_EQ(stamp_parse_request(authenticated, stamp_authenticated_length, &r), 0);
    authenticated[16] = 0xE8;
    stamp_reply reply;
    EXPECT_EQ(stamp_parse_reply(authenticated, stamp_authenticated_length, &reply), stamp_authenticated);
}

// --- the reflector -------------------------------------------------------------------

sockaddr_in6 source_of(const char* mapped_or_v6, uint16_t port)
{
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    inet_pton(AF_INET6, mapped_or_v6, &a.sin6_addr);
    return a;
}

constexpr uint16_t reflector_error = 0x0F80;  // not synchronized, NTP
constexpr int64_t t2_ns = now_ns + 20000000;

struct reflected {
    int result;
    stamp_reply reply;
    unsigned char data[256];
};

// Reflects `request` from `source` and reads the answer as a sender would,
// after T3 is set.
reflected reflect(stamp_reflector* r, const unsigned char* request, int length, const sockaddr_in6& source,
                  int reply_size = 256)
{
    reflected out{};
    stamp_arrival arrival{reinterpret_cast<const sockaddr*>(&source), sizeof source, t2_ns, 61};
    out.result = stamp_reflect(r, &arrival, request, length, out.data, reply_size);
    if (out.result > 0) {
        EXPECT_EQ(stamp_parse_reply(out.data, out.result, &out.reply), 0);
        EXPECT_FALSE(out.reply.far_times_known);  // T3 is not there yet
        EXPECT_EQ(stamp_set_send_time(out.data, out.result, t2_ns + 1500), 0);
        EXPECT_EQ(stamp_parse_reply(out.data, out.result, &out.reply), 0);
    }
    return out;
}

TEST(StampReflector, StatelessAnswerCarriesEveryFieldAndTheTail)
{
    stamp_reflector r{reflector_error, stamp_default_port, nullptr, {}};
    unsigned char request[100];
    ASSERT_EQ(build_test_request(request, 100), 100);
    for (int i = stamp_packet_length; i < 100; i++)
        request[i] = static_cast<unsigned char>(i);
    sockaddr_in6 source = source_of("::ffff:192.0.2.1", 40000);
    reflected a = reflect(&r, request, 100, source);
    ASSERT_EQ(a.result, 100);
    const stamp_reply& p = a.reply;
    EXPECT_EQ(p.sequence, 7u);
    EXPECT_EQ(p.sender_sequence, 7u);
    EXPECT_EQ(p.error_estimate, reflector_error);
    EXPECT_EQ(p.ssid, 9);
    EXPECT_TRUE(p.far_times_known);
    EXPECT_EQ(p.t2_ns, t2_ns);
    EXPECT_EQ(p.t3_ns, t2_ns + 1500);
    EXPECT_TRUE(p.t1_known);
    EXPECT_EQ(p.t1_ns, now_ns);
    EXPECT_EQ(p.sender_error_estimate, sender_error);
    EXPECT_EQ(p.sender_ttl, 61);
    EXPECT_FALSE(p.mbz_nonzero);
    EXPECT_EQ(std::memcmp(a.data + stamp_packet_length, request + stamp_packet_length, 100 - stamp_packet_length), 0);
    // In the request's own buffer, the same answer.
    unsigned char in_place[100];
    std::memcpy(in_place, request, sizeof in_place);
    stamp_arrival arrival{reinterpret_cast<const sockaddr*>(&source), sizeof source, t2_ns, 61};
    ASSERT_EQ(stamp_reflect(&r, &arrival, in_place, 100, in_place, 100), 100);
    ASSERT_EQ(stamp_set_send_time(in_place, 100, t2_ns + 1500), 0);
    EXPECT_EQ(std::memcmp(in_place, a.data, 100), 0);
    // A short TWAMP-Light request is answered with 44 bytes.
    reflected shortest = reflect(&r, request, stamp_twamp_light_shortest, source);
    EXPECT_EQ(shortest.result, stamp_packet_length);
    EXPECT_EQ(shortest.reply.ssid, 0);
    EXPECT_EQ(shortest.reply.t1_ns, now_ns);
    // No answer: to port 0, to another reflector's port, without room, to bad input.
    EXPECT_EQ(reflect(&r, request, 100, source_of("::1", 0)).result, stamp_refused_source);
    EXPECT_EQ(reflect(&r, request, 100, source_of("::1", stamp_default_port)).result, stamp_refused_source);
    EXPECT_EQ(reflect(&r, request, 100, source, 99).result, stamp_no_room);
    EXPECT_EQ(reflect(&r, request, 13, source).result, stamp_too_short);
    request[20] = 1;
    EXPECT_EQ(reflect(&r, request, 100, source).result, 100);
    const stamp_input_counts& c = r.counts;
    EXPECT_EQ(c.accepted, 4u);
    EXPECT_EQ(c.zero_filled, 1u);
    EXPECT_EQ(c.mbz_nonzero, 1u);
    EXPECT_EQ(c.refused_source, 2u);
    EXPECT_EQ(c.no_room, 1u);
    EXPECT_EQ(c.too_short, 1u);
}

TEST(StampReply, EveryTruncationAndEveryHostileField)
{
    stamp_reflector r{reflector_error, stamp_default_port, nullptr, {}};
    unsigned char request[64];
    ASSERT_EQ(build_test_request(request, 64), 64);
    reflected a = reflect(&r, request, 64, source_of("::1", 40000));
    ASSERT_EQ(a.result, 64);
    for (int length = 0; length < 64; length++) {
        std::vector<unsigned char> cut(a.data, a.data + length);
        stamp_reply p;
        int result = stamp_parse_reply(cut.data(), length, &p);
        EXPECT_EQ(result, length < stamp_reply_shortest ? stamp_too_short : 0) << length;
        if (result == 0) {
            EXPECT_TRUE(p.far_times_known && p.sender_ttl == 61) << length;
        }
    }
    struct case_ {
        int offset;
        uint8_t value;
        bool mbz_nonzero;
        bool far_times_known;
    } cases[] = {
        {38, 1, true, true},    {39, 1, true, true},      {41, 1, true, true},
        {43, 0x80, true, true}, {16, 0xFF, false, false},  // T2 after T3
        {11, 0, false, true},                              // T3 a few nanoseconds earlier, still after T2
    };
    for (const case_& c : cases) {
        unsigned char copy[64];
        std::memcpy(copy, a.data, sizeof copy);
        copy[c.offset] = c.value;
        stamp_reply p;
        ASSERT_EQ(stamp_parse_reply(copy, 64, &p), 0);
        EXPECT_EQ(p.mbz_nonzero, c.mbz_nonzero) << c.offset;
        EXPECT_EQ(p.far_times_known, c.far_times_known) << c.offset;
    }
    // No T3, and a PTP T2 whose nanoseconds are no time.
    unsigned char copy[64];
    std::memcpy(copy, a.data, sizeof copy);
    std::memset(copy + 4, 0, 8);
    stamp_reply p;
    ASSERT_EQ(stamp_parse_reply(copy, 64, &p), 0);
    EXPECT_FALSE(p.far_times_known);
    std::memcpy(copy, a.data, sizeof copy);
    copy[12] |= 0x40;
    std::memset(copy + 20, 0xFF, 4);
    ASSERT_EQ(stamp_parse_reply(copy, 64, &p), 0);
    EXPECT_FALSE(p.far_times_known);
    stamp_input_counts counts{};
    stamp_count_reply(&counts, 0, &p);
    stamp_count_reply(&counts, stamp_too_short, &p);
    EXPECT_EQ(counts.accepted, 1u);
    EXPECT_EQ(counts.bad_timestamp, 1u);
    EXPECT_EQ(counts.too_short, 1u);
}

stamp_session_table sessions;

TEST(StampReflector, StatefulCountsPerSessionAndEvictedSessionsStartAgain)
{
    stamp_sessions_reset(&sessions, 0x1234);
    stamp_reflector r{reflector_error, stamp_default_port, &sessions, {}};
    unsigned char request[44];
    ASSERT_EQ(build_test_request(request, 44), 44);
    sockaddr_in6 one = source_of("2001:db8::1", 40000);
    sockaddr_in6 other_port = source_of("2001:db8::1", 40001);
    for (uint32_t expected = 0; expected < 3; expected++) {
        EXPECT_EQ(reflect(&r, request, 44, one).reply.sequence, expected);
        EXPECT_EQ(reflect(&r, request, 44, other_port).reply.sequence, expected);
    }
    // Each SSID from one source is a session of its own, whichever places
    // the sessions share.
    for (uint32_t expected = 0; expected < 2; expected++) {
        for (int ssid = 1000; ssid < 2000; ssid++) {
            request[14] = static_cast<unsigned char>(ssid >> 8);
            request[15] = static_cast<unsigned char>(ssid);
            ASSERT_EQ(reflect(&r, request, 44, one).reply.sequence, expected) << ssid;
        }
    }
    request[14] = 0;
    request[15] = 9;
    // Twice as many sources as places: the oldest sessions are pushed out.
    for (int i = 0; i < 2 * stamp_session_capacity; i++) {
        char text[64];
        std::snprintf(text, sizeof text, "2001:db8:1::%x", i + 1);
        ASSERT_EQ(reflect(&r, request, 44, source_of(text, 50000)).reply.sequence, 0u);
    }
    EXPECT_GE(r.counts.sessions_evicted, static_cast<uint64_t>(stamp_session_capacity));
    EXPECT_EQ(reflect(&r, request, 44, one).reply.sequence, 0u);
    // Refused requests use up no sequence number.
    EXPECT_EQ(reflect(&r, request, 44, one, 10).result, stamp_no_room);
    EXPECT_EQ(reflect(&r, request, 44, one).reply.sequence, 1u);
    // An IPv4 record is the same session as its mapped IPv6 form.
    sockaddr_in four{};
    four.sin_family = AF_INET;
    four.sin_port = htons(40000);
    inet_pton(AF_INET, "192.0.2.7", &four.sin_addr);
    uint32_t sequence = 99;
    bool evicted = false;
    ASSERT_TRUE(
        stamp_session_next(&sessions, reinterpret_cast<const sockaddr*>(&four), sizeof four, 9, &sequence, &evicted));
    EXPECT_EQ(sequence, 0u);
    sockaddr_in6 mapped = source_of("::ffff:192.0.2.7", 40000);
    ASSERT_TRUE(stamp_session_next(&sessions, reinterpret_cast<const sockaddr*>(&mapped), sizeof mapped, 9, &sequence,
                                   &evicted));
    EXPECT_EQ(sequence, 1u);
    EXPECT_FALSE(stamp_session_next(&sessions, reinterpret_cast<const sockaddr*>(&four), 8, 9, &sequence, &evicted));
}

// --- interoperation with scapy's STAMP layer ---------------------------------------------

const char* const far_end_script = ECHOMARK_SOURCE_DIR "/tests/support/stamp_far_end.py";

bool scapy_stamp_available()
{
    return std::system("/usr/bin/python3 -c 'import scapy.contrib.stamp' >/dev/null 2>&1") == 0;
}

// Runs the far end on `commands`, one output line for each.
std::vector<std::string> far_end(const std::vector<std::string>& commands)
{
    char input[] = "/tmp/echomark-stamp-XXXXXX";
    int fd = mkstemp(input);
    EXPECT_GE(fd, 0);
    std::string text;
    for (const std::string& c : commands)
        text += c + "\n";
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    std::string command = std::string("/usr/bin/python3 ") + far_end_script + " <" + input;
    std::vector<std::string> lines;
    if (FILE* out = popen(command.c_str(), "r")) {
        char line[1024];
        while (std::fgets(line, sizeof line, out) != nullptr)
            lines.emplace_back(line, std::strcspn(line, "\n"));
        EXPECT_EQ(pclose(out), 0);
    }
    unlink(input);
    EXPECT_EQ(lines.size(), commands.size());
    lines.resize(commands.size());
    return lines;
}

std::string hex_of(const unsigned char* data, int length)
{
    std::string text;
    char two[3];
    for (int i = 0; i < length; i++) {
        std::snprintf(two, sizeof two, "%02x", data[i]);
        text += two;
    }
    return text;
}

int bytes_of(const std::string& hex, unsigned char* out, int size)
{
    int length = static_cast<int>(hex.size() / 2);
    for (int i = 0; i < length && i < size; i++)
        out[i] = static_cast<unsigned char>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    return length < size ? length : size;
}

// Packets as "key=value ..." lines, in the far end's words and order.
std::string estimate_words(const char* prefix, uint16_t bits)
{
    stamp_error e = stamp_error_of(bits);
    char text[96];
    std::snprintf(text, sizeof text, "%ss=%d %sz=%d %sscale=%d %smult=%d", prefix, e.synchronized, prefix, e.ptp,
                  prefix, e.scale, prefix, e.multiplier);
    return text;
}

std::string request_line(uint32_t seq, int64_t t1, uint16_t error, uint16_t ssid, bool mbz, int length)
{
    char text[160];
    std::snprintf(text, sizeof text, "seq=%u t1=%lld %s ssid=%u mbz=%d length=%d", seq, static_cast<long long>(t1),
                  estimate_words("", error).c_str(), ssid, mbz, length);
    return text;
}

std::string reply_line(const stamp_reply& p)
{
    char text[320];
    std::snprintf(text, sizeof text, "seq=%u t3=%lld %s ssid=%u t2=%lld sseq=%u t1=%lld %s mbz=%d ttl=%d length=%d",
                  p.sequence, static_cast<long long>(p.t3_ns), estimate_words("", p.error_estimate).c_str(), p.ssid,
                  static_cast<long long>(p.t2_ns), p.sender_sequence, static_cast<long long>(p.t1_ns),
                  estimate_words("s", p.sender_error_estimate).c_str(), p.mbz_nonzero, p.sender_ttl, p.length);
    return text;
}

struct request_case {
    uint32_t seq;
    int64_t t1;
    uint16_t error;  // S, Z, scale, multiplier
    uint16_t ssid;
    int length;
};

const request_case request_cases[] = {
    {0, now_ns, 0x8A20, 0, 44},
    {1, now_ns + 999999999, 0x3FFF, 0xFFFF, 64},
    {0xFFFFFFFF, 2000000000 * billion + 1, 0xC001, 1, 44},
    {12345, now_ns + 7, 0x5D80, 862, 200},
};
constexpr int case_count = static_cast<int>(std::size(request_cases));

// The answer to a request case, as each side should read it.
stamp_reply answer_to(const request_case& c, uint32_t seq, uint16_t error, int ttl, int64_t t2, int64_t t3)
{
    stamp_reply p{};
    p.sequence = seq;
    p.error_estimate = error;
    p.ssid = c.ssid;
    p.sender_sequence = c.seq;
    p.sender_error_estimate = c.error;
    p.sender_ttl = static_cast<uint8_t>(ttl);
    p.length = c.length;
    p.t1_ns = c.t1;
    p.t2_ns = t2;
    p.t3_ns = t3;
    return p;
}

// The answer to case i that scapy builds: a reflector with the next case's
// clock, so the two error estimates differ.
stamp_reply scapy_answer(int i)
{
    const request_case& c = request_cases[i];
    return answer_to(c, c.seq + 5, request_cases[(i + 1) % case_count].error, 64 - i, c.t1 + 1000, c.t1 + 2001);
}

// Packets each side builds read the same on the other: session-sender
// packets both ways, scapy's reflector packets as the sender reads them,
// and the reflector's answers to scapy's requests as scapy reads them.
// Scapy's packets cut at every length give clean results.
TEST(StampInterop, ScapyReadsOurPacketsAndWeReadScapys)
{
    if (!scapy_stamp_available())
        GTEST_SKIP() << "/usr/bin/python3 cannot import scapy.contrib.stamp (python3-scapy)";
    std::vector<std::string> commands;
    for (int i = 0; i < case_count; i++) {
        const request_case& c = request_cases[i];
        std::string expected = request_line(c.seq, c.t1, c.error, c.ssid, false, c.length);
        commands.push_back("build-request " + expected);
        unsigned char ours[256];
        ASSERT_EQ(stamp_build_request(ours, sizeof ours, c.length, c.seq, c.t1, c.error, c.ssid), c.length);
        commands.push_back("parse-request " + hex_of(ours, c.length));
        commands.push_back("build-reply " + reply_line(scapy_answer(i)));
    }
    std::vector<std::string> out = far_end(commands);

    stamp_reflector reflector{0x3FFF, stamp_default_port, nullptr, {}};  // unsynchronized, largest error
    std::vector<std::string> answers;
    std::vector<std::string> expected_answers;
    for (int i = 0; i < case_count; i++) {
        const request_case& c = request_cases[i];
        SCOPED_TRACE(i);
        std::string expected = request_line(c.seq, c.t1, c.error, c.ssid, false, c.length);
        EXPECT_EQ(out[3 * i + 1], expected);  // ours, read by scapy
        // Scapy's request, read here.
        unsigned char theirs[256] = {};
        int length = bytes_of(out[3 * i], theirs, sizeof theirs);
        stamp_request r;
        ASSERT_EQ(stamp_parse_request(theirs, length, &r), 0);
        int64_t t1 = 0;
        EXPECT_TRUE(stamp_timestamp_to_ns(r.timestamp, r.error_estimate, &t1));
        EXPECT_EQ(request_line(r.sequence, t1, r.error_estimate, r.ssid, r.mbz_nonzero, r.length), expected);
        // Scapy's reflector packet, read here.
        unsigned char answer[256] = {};
        int answer_length = bytes_of(out[3 * i + 2], answer, sizeof answer);
        stamp_reply p;
        ASSERT_EQ(stamp_parse_reply(answer, answer_length, &p), 0);
        EXPECT_TRUE(p.far_times_known && p.t1_known);
        EXPECT_EQ(reply_line(p), reply_line(scapy_answer(i)));
        // Every cut of scapy's packets, in buffers of exactly that length.
        for (int cut = 0; cut < length; cut++) {
            std::vector<unsigned char> request_part(theirs, theirs + cut);
            std::vector<unsigned char> answer_part(answer, answer + cut);
            EXPECT_EQ(stamp_parse_request(request_part.data(), cut, &r), cut < 14 ? stamp_too_short : 0) << cut;
            EXPECT_EQ(stamp_parse_reply(answer_part.data(), cut, &p), cut < 41 ? stamp_too_short : 0) << cut;
        }
        // Our answer to scapy's request, for scapy to read.
        sockaddr_in6 source = source_of("::ffff:127.0.0.1", static_cast<uint16_t>(40000 + i));
        stamp_arrival arrival{reinterpret_cast<const sockaddr*>(&source), sizeof source, c.t1 + 5000, 250 - i};
        unsigned char reply[256];
        int reply_length = stamp_reflect(&reflector, &arrival, theirs, length, reply, sizeof reply);
        ASSERT_EQ(reply_length, c.length);
        ASSERT_EQ(stamp_set_send_time(reply, reply_length, c.t1 + 9999), 0);
        answers.push_back("parse-reply " + hex_of(reply, reply_length));
        stamp_reply meant = answer_to(c, c.seq, reflector.error_estimate, 250 - i, c.t1 + 5000, c.t1 + 9999);
        expected_answers.push_back(reply_line(meant));
    }
    EXPECT_EQ(far_end(answers), expected_answers);
}

// --- the reflector program against scapy's session-sender ----------------------------

// "key=value ..." as the far end writes it.
std::map<std::string, long long> words_of(const std::string& line)
{
    std::map<std::string, long long> words;
    std::istringstream in(line);
    for (std::string word; in >> word;) {
        std::size_t equals = word.find('=');
        if (equals != std::string::npos)
            words[word.substr(0, equals)] = std::stoll(word.substr(equals + 1));
    }
    return words;
}

int udp_from(const char* address, int port, int ttl)
{
    int sock = platform::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in at = tooltest::loopback(port);
    inet_pton(AF_INET, address, &at.sin_addr);
    if (sock < 0 || platform::bind(sock, &at, sizeof at) != 0)
        return -1;
    platform::setsockopt(sock, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl);
    return sock;
}

int port_of(int sock)
{
    sockaddr_in at{};
    int length = sizeof at;
    platform::getsockname(sock, &at, &length);
    return ntohs(at.sin_port);
}

// One test packet sent to the reflector program.
struct sent_request {
    int sender;  // index into the senders
    uint32_t seq;
    uint16_t error;
    uint16_t ssid;
    int length;  // as built
    int cut;     // bytes sent: a TWAMP-Light sender's shorter packet, or the whole
    bool mbz;    // a must-be-zero byte set
};

// `echomark -l --stamp` answering scapy's requests over loopback, stateless
// and stateful: every field of every answer as scapy reads it, short
// TWAMP-Light requests, bad input counted and not answered (nor ever
// towards the reflector's own port), the lines, and the counts on /metrics.
TEST(StampInterop, ReflectorProgramAnswersScapysSessionSenders)
{
    if (!scapy_stamp_available())
        GTEST_SKIP() << "/usr/bin/python3 cannot import scapy.contrib.stamp (python3-scapy)";
    platform::clock_sync_state clock = platform::clock_sync_now();
    uint16_t reflector_estimate = stamp_error_bits(
        stamp_error_from_seconds(platform::clock_sync_error_bound(&clock), clock.known && clock.synchronized, false));
    const std::vector<sent_request> requests = {
        {0, 100, 0x8A20, 0, 44, 44, false},   {0, 101, 0x8A20, 0, 44, 44, false}, {1, 5, 0x4001, 7, 200, 200, false},
        {0, 102, 0x0F80, 0, 44, 14, false},   // TWAMP-Light, the shortest
        {1, 9, 0x4001, 7, 44, 30, false},     // TWAMP-Light, and a gap in the sender's numbers
        {0, 103, 0x8A20, 0, 64, 64, true},    // a must-be-zero byte set: answered all the same
        {0, 0xFFFFFFF0, 0x8A20, 0, 44, 44, false},
    };
    const int ttl[2] = {33, 200};
    for (const char* mode : {"--stamp", "--stamp=stateful"}) {
        SCOPED_TRACE(mode);
        bool stateful = std::strcmp(mode, "--stamp=stateful") == 0;
        int port = tooltest::free_port();
        int metrics_port = metricstest::free_tcp_port();
        std::string out_path = tooltest::temp_path(), err_path = tooltest::temp_path();
        pid_t pid = tooltest::start_program({"-l", "-h", "127.0.0.1", "-p", std::to_string(port), mode,
                                             "--metrics=" + std::to_string(metrics_port)},
                                            out_path, err_path);
        ASSERT_TRUE(tooltest::wait_port_taken(port, 10.0));
        int senders[2] = {udp_from("127.0.0.1", 0, ttl[0]), udp_from("127.0.0.1", 0, ttl[1])};
        ASSERT_GE(senders[0], 0);
        ASSERT_GE(senders[1], 0);

        std::vector<std::string> builds;
        for (const sent_request& r : requests) {
            builds.push_back("build-request seq=" + std::to_string(r.seq) + " t1=" + std::to_string(now_ns + r.seq) +
                             " " + estimate_words("", r.error) + " ssid=" + std::to_string(r.ssid) +
                             " length=" + std::to_string(r.length));
        }
        std::vector<std::string> built = far_end(builds);
        std::vector<std::string> parses;
        std::vector<int64_t> before(requests.size()), after(requests.size());
        for (std::size_t i = 0; i < requests.size(); i++) {
            const sent_request& r = requests[i];
            unsigned char packet[256] = {};
            ASSERT_EQ(bytes_of(built[i], packet, sizeof packet), r.length) << i;
            if (r.mbz)
                packet[30] = 0xAA;
            before[i] = platform::realtime_ns();
            ASSERT_EQ(tooltest::send_to(senders[r.sender], packet, r.cut, port), r.cut);
            unsigned char reply[512];
            int length = tooltest::receive_within(senders[r.sender], reply, sizeof reply, 5.0);
            after[i] = platform::realtime_ns();
            ASSERT_EQ(length, std::max(r.cut, stamp_packet_length)) << i;
            parses.push_back("parse-reply " + hex_of(reply, length));
        }
        std::vector<std::string> parsed = far_end(parses);
        uint32_t session_count[2] = {0, 0};
        for (std::size_t i = 0; i < requests.size(); i++) {
            SCOPED_TRACE(i);
            const sent_request& r = requests[i];
            std::map<std::string, long long> w = words_of(parsed[i]);
            uint32_t seq = stateful ? session_count[r.sender]++ : r.seq;
            EXPECT_EQ(w["seq"], seq);
            EXPECT_EQ(w["sseq"], r.seq);
            EXPECT_EQ(w["ssid"], r.ssid);
            EXPECT_EQ(w["length"], std::max(r.cut, stamp_packet_length));
            EXPECT_EQ(w["ttl"], ttl[r.sender]);
            EXPECT_EQ(w["mbz"], 0);
            // The sender's estimate and T1 come back as they were (a
            // TWAMP-Light packet of 14 bytes has them all).
            stamp_error sender = stamp_error_of(r.error);
            EXPECT_EQ(w["ss"], sender.synchronized);
            EXPECT_EQ(w["sz"], sender.ptp);
            EXPECT_EQ(w["sscale"], sender.scale);
            EXPECT_EQ(w["smult"], sender.multiplier);
            EXPECT_EQ(w["t1"], now_ns + r.seq);
            // The reflector's clock: the truth about its synchronization,
            // and T2, T3 within the exchange on its calendar clock (scapy
            // rounds NTP fractions to the nanosecond).
            stamp_error own = stamp_error_of(reflector_estimate);
            EXPECT_EQ(w["s"], own.synchronized);
            EXPECT_EQ(w["z"], own.ptp);
            EXPECT_EQ(w["scale"], own.scale);
            EXPECT_EQ(w["mult"], own.multiplier);
            EXPECT_GE(w["t2"], before[i] - 1);
            EXPECT_LE(w["t2"], w["t3"]);
            EXPECT_LE(w["t3"], after[i] + 1);
        }

        // Bad input, each from a source of its own: nothing comes back.
        int short_sender = udp_from("127.0.0.1", 0, 64);
        int authenticated_sender = udp_from("127.0.0.1", 0, 64);
        int other_reflector = udp_from("127.0.0.2", port, 64);  // the reflector's own port
        ASSERT_GE(other_reflector, 0);
        unsigned char bad[stamp_authenticated_length] = {0, 0, 0, 1};
        ASSERT_EQ(tooltest::send_to(short_sender, bad, stamp_twamp_light_shortest - 1, port),
                  stamp_twamp_light_shortest - 1);
        bad[16] = 0xEE;  // a time after twelve zero bytes: the authenticated layout
        ASSERT_EQ(tooltest::send_to(authenticated_sender, bad, sizeof bad, port), static_cast<int>(sizeof bad));
        bad[16] = 0;
        ASSERT_EQ(tooltest::send_to(other_reflector, bad, stamp_packet_length, port), stamp_packet_length);
        unsigned char reply[512];
        for (int sock : {short_sender, authenticated_sender, other_reflector})
            EXPECT_EQ(tooltest::receive_within(sock, reply, sizeof reply, 0.2), -2);
        // A last good one: everything before it has been counted.
        ASSERT_EQ(tooltest::send_to(senders[0], bad, stamp_packet_length, port), stamp_packet_length);
        ASSERT_EQ(tooltest::receive_within(senders[0], reply, sizeof reply, 5.0), stamp_packet_length);

        metricstest::http_reply page = metricstest::ask(metrics_port, metricstest::get("/metrics"));
        ASSERT_EQ(page.status, 200) << page.raw;
        const int answered = static_cast<int>(requests.size()) + 1;
        const struct {
            const char* series;
            double value;
        } truth[] = {
            {"echomark_responder_datagrams_total", answered + 3.0},
            {"echomark_responder_replies_total", static_cast<double>(answered)},
            {"echomark_responder_stamp_requests_total{result=\"answered\"}", static_cast<double>(answered)},
            {"echomark_responder_stamp_requests_total{result=\"too_short\"}", 1},
            {"echomark_responder_stamp_requests_total{result=\"authenticated\"}", 1},
            {"echomark_responder_stamp_requests_total{result=\"reflector_port\"}", 1},
            {"echomark_responder_stamp_zero_filled_total", 2},
            {"echomark_responder_stamp_mbz_nonzero_total", 1},
            {"echomark_responder_stamp_sessions_evicted_total", 0},
        };
        for (const auto& t : truth)
            EXPECT_EQ(metricstest::sample(page.body, t.series), t.value) << t.series;
        if (metricstest::installed(metricstest::promtool_path)) {
            std::string said;
            EXPECT_TRUE(metricstest::promtool_accepts(page.body, &said)) << said << "\n" << page.body;
        }

        kill(pid, SIGTERM);
        EXPECT_EQ(tooltest::wait_program(pid, 10.0), 0);
        std::string out = tooltest::read_file(out_path);
        std::string a = std::to_string(port_of(senders[0]));
        std::string sent_number = stateful ? "000000" : "000100";
        EXPECT_EQ(tooltest::count_matching(out, tooltest::stamp +
                                                    " echomark_listen\\(\\): \\[000000\\] recvsize=udp_blockrecv\\("
                                                    "127\\.0\\.0\\.1:" +
                                                    a + "\\): recvsize=44 lastpkts=000100"),
                  1)
            << out;
        EXPECT_EQ(tooltest::count_matching(out, tooltest::stamp +
                                                    " echomark_listen\\(\\): \\[000000\\] sendsize=udp_send\\("
                                                    "127\\.0\\.0\\.1:" +
                                                    a + "\\): sendsize=44 lastpkts=" + sent_number),
                  1)
            << out;
        EXPECT_EQ(tooltest::count_matching(out, ".* lastpkts=4294967280"), stateful ? 1 : 2) << out;
        const struct {
            int sock;
            std::string line;
        } said[] = {
            {short_sender, "recvsize=13 result=-1:too short count=1: no reply"},
            {authenticated_sender, "recvsize=112 result=-2:authenticated count=1: no reply"},
            {other_reflector, "recvsize=44 result=-4:reflector port count=1: no reply"},
            {senders[0], "recvsize=64 result=0:must-be-zero not zero count=1: answered"},
        };
        for (const auto& line : said) {
            std::string source = (line.sock == other_reflector ? "127.0.0.2:" : "127.0.0.1:") +
                                 std::to_string(port_of(line.sock));
            EXPECT_EQ(out.find("] stamp_reflect(" + source + "): " + line.line + "\n") != std::string::npos, true)
                << line.line << "\n"
                << out;
        }
        EXPECT_EQ(out.find("sendsize=udp_send(127.0.0.2:"), std::string::npos) << out;
        EXPECT_EQ(tooltest::read_file(err_path), "");
        for (int sock : {senders[0], senders[1], short_sender, authenticated_sender, other_reflector})
            platform::closesocket(sock);
        std::remove(out_path.c_str());
        std::remove(err_path.c_str());
    }
}

}  // namespace
