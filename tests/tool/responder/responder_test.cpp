// Echo responder: replies on the wire, log lines, foreign datagrams, and the
// program in listen mode keeping its output when killed.
#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.hpp"
#include "platform/clock_sync.hpp"
#include "tests/support/metrics_support.hpp"
#include "tests/support/tool_test_support.hpp"
#include "tool/responder/responder.hpp"
#include "tool/wire/probe_extension.hpp"
#include "tool/wire/probe_far_end.hpp"

namespace {

using tooltest::count_matching;
using tooltest::stamp;

// A responder with the settings of a basic run; its tables are too large
// for the stack.
std::unique_ptr<responder> basic_responder() {
    std::unique_ptr<responder> state(new responder);
    responder_settings settings;
    responder_init(state.get(), &settings);
    return state;
}

struct responder_fixture : ::testing::Test {
    int responder = -1;
    int port = 0;
    int client = -1;
    int client_port = 0;
    int counter = 0;
    std::vector<unsigned char> buffer = std::vector<unsigned char>(datagram_buffer_size);
    std::unique_ptr<::responder> state = basic_responder();

    void SetUp() override {
        responder = tooltest::open_udp(&port);
        client = tooltest::open_udp(&client_port);
        ASSERT_GE(responder, 0);
        ASSERT_GE(client, 0);
    }
    void TearDown() override {
        platform::closesocket(responder);
        platform::closesocket(client);
    }

    // Sends `datagram` from `from` and lets the responder handle it; returns its log.
    std::string handle(int from, const std::vector<unsigned char>& datagram) {
        EXPECT_EQ(tooltest::send_to(from, datagram.data(), static_cast<int>(datagram.size()), port),
                  static_cast<int>(datagram.size()));
        ::testing::internal::CaptureStdout();
        responder_reply_one(state.get(), responder, &counter, buffer.data());
        return ::testing::internal::GetCapturedStdout();
    }

    // The reply that `to` gets, or an empty optional-like marker (-2 length) on none.
    std::vector<unsigned char> reply(int to, int* length, double seconds = 2.0) {
        std::vector<unsigned char> data(datagram_buffer_size);
        *length = tooltest::receive_within(to, data.data(), datagram_buffer_size, seconds);
        data.resize(*length > 0 ? *length : 0);
        return data;
    }
};

std::vector<unsigned char> probe(int size, int number, int replysize) {
    std::vector<unsigned char> data(size < datagram_header_size ? datagram_header_size : size);
    data_value_set(data.data(), value_probe, number);
    data_value_set(data.data(), value_probesize, size);
    data_value_set(data.data(), value_replysize, replysize);
    data.resize(size);
    return data;
}

std::string receive_line(int counter, int port, int size, int number) {
    char text[200];
    std::snprintf(
        text, sizeof text,
        " echomark_listen\\(\\): \\[%06d\\] recvsize=udp_blockrecv\\(127\\.0\\.0\\.1:%d\\): recvsize=%d lastpkts=%06d",
        counter, port, size, number);
    return stamp + text;
}

std::string send_line(int counter, int port, int size, int number) {
    char text[200];
    std::snprintf(
        text, sizeof text,
        " echomark_listen\\(\\): \\[%06d\\] sendsize=udp_send\\(127\\.0\\.0\\.1:%d\\): sendsize=%d lastpkts=%06d",
        counter, port, size, number);
    return stamp + text;
}

TEST_F(responder_fixture, SetUpLinesAndPortCutToFiveCharacters) {
    ::testing::internal::CaptureStdout();
    int sock = responder_open("127.0.0.1", 123456);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("echomark_listen(): listaddr=create_sockaddrin(AF_INET, ipaddr=127.0.0.1, ipport=12345):\n"
                        "echomark_connect(): connaddr.sin_addr.s_addr=0100007F (127.0.0.1) listaddr.sin_port=12345\n",
                        0),
              0U)
        << out;
    if (sock >= 0) platform::closesocket(sock);
}

// IPv6 text makes an IPv6 responder: its own set-up lines, replies to the
// datagram's IPv6 source, and the source in the log as [address]:port.
// Two responders in one process, each with its own settings and tables,
// serving their own sockets at the same time.
TEST(ResponderTwoSockets, EachServesItsOwnSocketWithItsOwnSettings) {
    int port_a = 0, port_b = 0, client_port = 0;
    int a = tooltest::open_udp(&port_a);
    int b = tooltest::open_udp(&port_b);
    int client = tooltest::open_udp(&client_port);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    ASSERT_GE(client, 0);
    std::unique_ptr<responder> plain = basic_responder();
    std::unique_ptr<responder> echo = basic_responder();
    echo->settings.echo = true;
    for (int n = 0; n < 3; n++) {
        tooltest::send_to(client, probe(16, n, 40).data(), 16, port_a);
        tooltest::send_to(client, probe(16, n, 40).data(), 16, port_b);
    }
    ::testing::internal::CaptureStdout();
    std::thread serve_a([&] { responder_serve(plain.get(), a, 3); });
    std::thread serve_b([&] { responder_serve(echo.get(), b, 3); });
    serve_a.join();
    serve_b.join();
    std::string log = ::testing::internal::GetCapturedStdout();
    // The basic responder pads to the length asked for, the echo one sends
    // the datagram back as it came.
    int from_a = 0, from_b = 0;
    for (int k = 0; k < 6; k++) {
        unsigned char data[64];
        sockaddr_in from;
        int length = tooltest::receive_within(client, data, sizeof data, 2.0, &from);
        int source = ntohs(from.sin_port);
        if (source == port_a && length == 40) from_a++;
        if (source == port_b && length == 16) from_b++;
    }
    EXPECT_EQ(from_a, 3);
    EXPECT_EQ(from_b, 3);
    // Each counts its own datagrams from 0.
    for (int n = 0; n < 3; n++) {
        char counter[16];
        std::snprintf(counter, sizeof counter, "\\[%06d\\]", n);
        EXPECT_EQ(count_matching(log, stamp + " echomark_listen\\(\\): " + counter + " sendsize=udp_send.*"), 2) << log;
    }
    platform::closesocket(a);
    platform::closesocket(b);
    platform::closesocket(client);
}

TEST(ResponderIpv6, AnswersOnIpv6AndLogsTheSourceInBrackets) {
    int client = platform::socket(AF_INET6, SOCK_DGRAM, IPPROTO_UDP);
    if (client < 0) GTEST_SKIP() << "this machine has no IPv6 sockets";
    sockaddr_in6 local{};
    local.sin6_family = AF_INET6;
    local.sin6_addr = in6addr_loopback;
    if (platform::bind(client, &local, sizeof local) != 0) {
        platform::closesocket(client);
        GTEST_SKIP() << "this machine has no IPv6 loopback (::1)";
    }
    int length = sizeof local;
    platform::getsockname(client, &local, &length);
    int free_port = tooltest::free_port();

    ::testing::internal::CaptureStdout();
    int sock = responder_open("::1", free_port);
    std::string out = ::testing::internal::GetCapturedStdout();
    ASSERT_GE(sock, 0) << out;
    std::string port = std::to_string(free_port);
    EXPECT_EQ(out, "echomark_listen(): listaddr=create_sockaddr6in(AF_INET6, ipaddr=::1, ipport=" + port + "):\n" +
                       "echomark_listen(): listaddr.sin6_addr=::1 listaddr.sin6_port=" + port + "\n");

    std::vector<unsigned char> sent = probe(100, 5, 200);
    sockaddr_in6 to = local;
    to.sin6_port = htons(static_cast<uint16_t>(free_port));
    ASSERT_EQ(platform::sendto(client, sent.data(), 100, 0, &to, sizeof to), 100);
    std::vector<unsigned char> buffer(datagram_buffer_size);
    int counter = 0;
    std::unique_ptr<responder> state = basic_responder();
    ::testing::internal::CaptureStdout();
    responder_reply_one(state.get(), sock, &counter, buffer.data());
    std::string log = ::testing::internal::GetCapturedStdout();
    std::vector<unsigned char> got(datagram_buffer_size);
    platform::socket_set set;
    platform::socket_set_zero(&set);
    platform::socket_set_add(client, &set);
    platform::timeval two = platform::timeval_from_seconds(2.0);
    ASSERT_EQ(platform::select(client + 1, &set, nullptr, nullptr, &two), 1);
    sockaddr_in6 responder_address{};
    int address_length = sizeof responder_address;
    EXPECT_EQ(platform::recvfrom(client, got.data(), datagram_buffer_size, 0, &responder_address, &address_length),
              200);
    EXPECT_EQ(data_value_get(got.data(), value_probe), 5);
    std::string source = "\\[::1\\]:" + std::to_string(ntohs(local.sin6_port));
    EXPECT_EQ(count_matching(log, stamp + " echomark_listen\\(\\): \\[000000\\] recvsize=udp_blockrecv\\(" + source +
                                      "\\): recvsize=100 lastpkts=000005"),
              1)
        << log;
    EXPECT_EQ(count_matching(log, stamp + " echomark_listen\\(\\): \\[000000\\] sendsize=udp_send\\(" + source +
                                      "\\): sendsize=200 lastpkts=000005"),
              1)
        << log;
    platform::closesocket(sock);
    platform::closesocket(client);
}

TEST_F(responder_fixture, PortInUseIsReportedInsteadOfWaitingForEver) {
    ::testing::internal::CaptureStdout();
    int sock = responder_open("127.0.0.1", port);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_LT(sock, 0);
    EXPECT_EQ(count_matching(out, "echomark_listen\\(\\): result=udp_bind\\(127\\.0\\.0\\.1:" + std::to_string(port) +
                                      "\\): result=-10048 if \\(result<0\\): error=10048:Only one usage of each socket "
                                      "address is normally permitted\\."),
              1)
        << out;
}

TEST_F(responder_fixture, ShortDatagramIsFilledWithZerosToTheReplySize) {
    std::vector<unsigned char> sent = probe(16, 7, 32);
    std::string log = handle(client, sent);
    int length = 0;
    std::vector<unsigned char> got = reply(client, &length);
    ASSERT_EQ(length, 32);
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), got.begin()));
    for (int i = 16; i < 32; i++) EXPECT_EQ(got[i], 0) << i;
    EXPECT_EQ(count_matching(log, receive_line(0, client_port, 16, 7)), 1) << log;
    EXPECT_EQ(count_matching(log, send_line(0, client_port, 32, 7)), 1) << log;
    EXPECT_EQ(tooltest::lines_of(log).size(), 2U) << log;
    EXPECT_EQ(counter, 1);
}

TEST_F(responder_fixture, DatagramShorterThanTheHeaderGetsAnEmptyReply) {
    std::string log = handle(client, {9, 9, 9, 9});
    int length = -5;
    reply(client, &length);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(count_matching(log, receive_line(0, client_port, 4, 0)), 1) << log;
    EXPECT_EQ(count_matching(log, send_line(0, client_port, 0, 0)), 1) << log;
    EXPECT_EQ(count_matching(log,
                             "echomark_listen\\(\\): sendsize=udp_send\\(\\): sendsize=0 if \\(sendsize<=0\\): "
                             "sendsize=0:Success"),
              1)
        << log;
    EXPECT_EQ(log.find("recvsize!=sendsize"), std::string::npos) << log;
    EXPECT_EQ(counter, 1);
}

// An empty datagram is a receive of 0 bytes: its error line, no reply, and the
// counter stays where it was.
TEST_F(responder_fixture, EmptyDatagramGetsTheReceiveErrorLineAndNoReply) {
    std::string log = handle(client, {});
    int length = 0;
    reply(client, &length, 0.1);
    EXPECT_EQ(length, -2);
    ASSERT_EQ(tooltest::lines_of(log).size(), 2U) << log;
    EXPECT_EQ(count_matching(log, receive_line(0, client_port, 0, 0)), 1) << log;
    EXPECT_EQ(tooltest::lines_of(log).back(),
              "echomark_listen(): recvsize=udp_blockrecv(): recvsize=0 if (recvsize<=0): recvsize=0:Success");
    EXPECT_EQ(counter, 0);
}

TEST_F(responder_fixture, FullProbeIsAnsweredWithTheLengthItAsksFor) {
    std::vector<unsigned char> sent = probe(8192, 42, 9192);
    for (std::size_t i = datagram_header_size; i < sent.size(); i++) sent[i] = static_cast<unsigned char>(i * 7);
    std::string log = handle(client, sent);
    int length = 0;
    std::vector<unsigned char> got = reply(client, &length);
    ASSERT_EQ(length, 9192);
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), got.begin()));
    for (int i = 8192; i < 9192; i++) ASSERT_EQ(got[i], 0) << i;
    EXPECT_EQ(count_matching(log, send_line(0, client_port, 9192, 42)), 1) << log;

    // A probe longer than its reply is cut to the reply size.
    std::string cut = handle(client, probe(1000, 43, 20));
    got = reply(client, &length);
    ASSERT_EQ(length, 20);
    EXPECT_EQ(data_value_get(got.data(), value_probe), 43);
    EXPECT_EQ(count_matching(cut, send_line(1, client_port, 20, 43)), 1) << cut;
}

TEST_F(responder_fixture, EachSenderIsAnsweredAtItsOwnAddress) {
    int other_port = 0;
    int other = tooltest::open_udp(&other_port);
    ASSERT_GE(other, 0);
    std::string first = handle(client, probe(64, 1, 64));
    std::string second = handle(other, probe(64, 2, 48));
    int length = 0;
    std::vector<unsigned char> got = reply(client, &length);
    EXPECT_EQ(length, 64);
    EXPECT_EQ(data_value_get(got.data(), value_probe), 1);
    got = reply(other, &length);
    EXPECT_EQ(length, 48);
    EXPECT_EQ(data_value_get(got.data(), value_probe), 2);
    // Nothing strayed to the wrong sender.
    reply(client, &length, 0.1);
    EXPECT_EQ(length, -2);
    EXPECT_EQ(count_matching(first, send_line(0, client_port, 64, 1)), 1) << first;
    EXPECT_EQ(count_matching(second, send_line(1, other_port, 48, 2)), 1) << second;
    EXPECT_EQ(counter, 2);
    platform::closesocket(other);
}

TEST_F(responder_fixture, ForeignReplySizesAreRefusedAndTheNextDatagramAnswered) {
    for (int replysize : {-1, INT_MIN, datagram_buffer_size + 1, INT_MAX}) {
        std::string log = handle(client, probe(16, 5, replysize));
        int length = 0;
        reply(client, &length, 0.1);
        EXPECT_EQ(length, -2) << replysize;
        EXPECT_EQ(count_matching(log, receive_line(0, client_port, 16, 5)), 1) << log;
        EXPECT_EQ(count_matching(log, "echomark_listen\\(\\): \\[000000\\] replysize=" + std::to_string(replysize) +
                                          " if \\(replysize<0 \\|\\| replysize>65536\\): no reply"),
                  1)
            << log;
        EXPECT_EQ(tooltest::lines_of(log).size(), 2U) << log;
    }
    EXPECT_EQ(counter, 0);
    handle(client, probe(16, 6, 16));
    int length = 0;
    reply(client, &length);
    EXPECT_EQ(length, 16);
}

TEST_F(responder_fixture, LargestDatagramsAreHandled) {
    // The largest UDP datagram comes back whole.
    std::vector<unsigned char> sent = probe(65507, 9, 65507);
    std::fill(sent.begin() + datagram_header_size, sent.end(), 0xAB);
    std::string log = handle(client, sent);
    int length = 0;
    std::vector<unsigned char> got = reply(client, &length);
    ASSERT_EQ(length, 65507);
    EXPECT_TRUE(got == sent);
    EXPECT_EQ(count_matching(log, send_line(0, client_port, 65507, 9)), 1) << log;

    // A reply the buffer holds but no datagram can carry fails to send; the
    // counter still advances and the responder goes on.
    log = handle(client, probe(16, 10, datagram_buffer_size));
    EXPECT_EQ(count_matching(log, send_line(1, client_port, -1, 10)), 1) << log;
    EXPECT_EQ(count_matching(log,
                             "echomark_listen\\(\\): sendsize=udp_send\\(\\): sendsize=-1 if \\(sendsize<=0\\): "
                             "sendsize=10040:A message sent on a datagram socket was larger than the internal "
                             "message buffer or the buffer used to receive it\\."),
              1)
        << log;
    EXPECT_EQ(count_matching(log, "echomark_listen\\(\\): if \\(recvsize!=sendsize\\) recvsize=65536 != sendsize=-1"),
              1)
        << log;
    EXPECT_EQ(counter, 2);
    handle(client, probe(16, 11, 16));
    reply(client, &length);
    EXPECT_EQ(length, 16);
}

TEST_F(responder_fixture, FloodOfRandomDatagramsLeavesItAnswering) {
    std::srand(7);
    std::vector<unsigned char> junk(512);
    ::testing::internal::CaptureStdout();
    for (int round = 0; round < 20; round++) {
        // In batches, so the socket's receive queue never drops any and the
        // bounded loop never waits for a datagram that will not come.
        for (int i = 0; i < 10; i++) {
            for (unsigned char& byte : junk) byte = static_cast<unsigned char>(std::rand());
            tooltest::send_to(client, junk.data(), std::rand() % static_cast<int>(junk.size()), port);
        }
        responder_serve(state.get(), responder, 10);
    }
    tooltest::send_to(client, probe(16, 77, 24).data(), 16, port);
    responder_serve(state.get(), responder, 1);
    std::string log = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(count_matching(log, ".*recvsize=udp_blockrecv\\(127\\.0\\.0\\.1:.*"), 201);
    // Drain the replies to the junk; the last one answers the probe.
    std::vector<unsigned char> data(datagram_buffer_size);
    int last_probe = -1, length = 0;
    while ((length = tooltest::receive_within(client, data.data(), datagram_buffer_size, 0.2)) >= 0) {
        last_probe = length >= 8 ? data_value_get(data.data(), value_probe) : -1;
    }
    EXPECT_EQ(last_probe, 77);
}

TEST_F(responder_fixture, ReplyAfterALongerDatagramHoldsNoBytesOfIt) {
    // The serving loop clears only what the previous datagram wrote; a short
    // probe after a long one must still be padded with zeros only.
    std::vector<unsigned char> long_probe = probe(3000, 1, 0);
    std::fill(long_probe.begin() + datagram_header_size, long_probe.end(), 0xAB);
    tooltest::send_to(client, long_probe.data(), static_cast<int>(long_probe.size()), port);
    std::vector<unsigned char> short_probe = probe(20, 2, 2500);
    tooltest::send_to(client, short_probe.data(), static_cast<int>(short_probe.size()), port);
    ::testing::internal::CaptureStdout();
    responder_serve(state.get(), responder, 2);
    ::testing::internal::GetCapturedStdout();

    int length = 0;
    std::vector<unsigned char> got = reply(client, &length);  // the empty reply to probe 1
    EXPECT_EQ(length, 0);
    got = reply(client, &length);
    ASSERT_EQ(length, 2500);
    EXPECT_EQ(data_value_get(got.data(), value_probe), 2);
    for (int i = 20; i < 2500; i++) ASSERT_EQ(got[i], 0) << i;

    // Waiting datagrams are answered together: the buffers the long one
    // used read as zeros again, a reply that fails in the middle fails
    // alone, and each datagram keeps its lines in order.
    tooltest::send_to(client, probe(20, 3, 2500).data(), 20, port);
    tooltest::send_to(client, probe(16, 4, datagram_buffer_size).data(), 16, port);
    tooltest::send_to(client, probe(16, 5, 16).data(), 16, port);
    platform::Sleep(50);
    state->settings.budget = false;  // a reply that cannot go out at all, not one refused
    ::testing::internal::CaptureStdout();
    responder_serve(state.get(), responder, 3);
    state->settings.budget = true;
    std::vector<std::string> lines = tooltest::lines_of(::testing::internal::GetCapturedStdout());
    ASSERT_EQ(lines.size(), 8U);
    const std::string expected[] = {receive_line(0, client_port, 20, 3),
                                    send_line(0, client_port, 2500, 3),
                                    receive_line(1, client_port, 16, 4),
                                    send_line(1, client_port, -1, 4),
                                    "echomark_listen\\(\\): sendsize=udp_send\\(\\): sendsize=-1 .*",
                                    "echomark_listen\\(\\): if \\(recvsize!=sendsize\\) recvsize=65536 != sendsize=-1",
                                    receive_line(2, client_port, 16, 5),
                                    send_line(2, client_port, 16, 5)};
    for (int i = 0; i < 8; i++) EXPECT_EQ(tooltest::matching({lines[i]}, expected[i]).size(), 1U) << i << lines[i];
    got = reply(client, &length);
    ASSERT_EQ(length, 2500);
    EXPECT_EQ(data_value_get(got.data(), value_probe), 3);
    for (int i = 20; i < 2500; i++) ASSERT_EQ(got[i], 0) << i;
    got = reply(client, &length);
    ASSERT_EQ(length, 16);
    EXPECT_EQ(data_value_get(got.data(), value_probe), 5);
}

// Sum of the reply sizes in the send lines of a log.
long replied_bytes(const std::string& log) {
    long total = 0;
    for (const std::string& line : tooltest::matching(tooltest::lines_of(log), ".* sendsize=udp_send\\(.*")) {
        std::size_t at = line.rfind("sendsize=");
        total += std::atol(line.c_str() + at + 9);
    }
    return total;
}

TEST_F(responder_fixture, SmallDatagramsBuyAtMostTheRatioAndACookieLiftsIt) {
    // A small datagram asking for the largest reply gets none: its address
    // has not earned it.
    std::string log = handle(client, probe(16, 1, 65507));
    int length = 0;
    reply(client, &length, 0.1);
    EXPECT_EQ(length, -2);
    EXPECT_EQ(count_matching(
                  log, "echomark_listen\\(\\): \\[000000\\] refused\\(127\\.0\\.0\\.1:" + std::to_string(client_port) +
                           "\\): reason=budget lastpkts=000001: no reply to this source for now"),
              1)
        << log;

    // A hello brings the cookie back; with it the same request is answered
    // in full, and the reply carries the cookie again.
    std::vector<unsigned char> hello = probe(probe_cookie_end, -1, probe_cookie_end);
    data_value_set(hello.data(), value_reserved, static_cast<int>(probe_ask_cookie | probe_ask_hello));
    handle(client, hello);
    std::vector<unsigned char> got = reply(client, &length);
    ASSERT_EQ(length, probe_cookie_end);
    EXPECT_EQ(static_cast<uint32_t>(data_value_get(got.data(), value_reserved)),
              probe_ask_cookie | probe_ask_hello | probe_did_cookie);
    std::vector<unsigned char> proven = probe(probe_cookie_end, 2, 65507);
    data_value_set(proven.data(), value_reserved, static_cast<int>(probe_ask_cookie));
    std::copy(got.begin() + probe_cookie_offset, got.begin() + probe_cookie_end, proven.begin() + probe_cookie_offset);
    handle(client, proven);
    got = reply(client, &length);
    ASSERT_EQ(length, 65507);
    EXPECT_EQ(data_value_get(got.data(), value_probe), 2);
    EXPECT_EQ(static_cast<uint32_t>(data_value_get(got.data(), value_reserved)), probe_ask_cookie | probe_did_cookie);
    EXPECT_TRUE(std::equal(proven.begin() + probe_cookie_offset, proven.end(), got.begin() + probe_cookie_offset));

    // A cookie written beyond the bytes that arrived is cleared with them:
    // the next reply from that buffer is padded with zeros only.
    std::vector<unsigned char> short_ask = probe(datagram_header_size, 3, probe_cookie_end);
    data_value_set(short_ask.data(), value_reserved, static_cast<int>(probe_ask_cookie));
    ::testing::internal::CaptureStdout();
    for (const std::vector<unsigned char>& datagram : {short_ask, probe(datagram_header_size, 4, 32)}) {
        tooltest::send_to(client, datagram.data(), datagram_header_size, port);
        responder_serve(state.get(), responder, 1);
    }
    ::testing::internal::GetCapturedStdout();
    got = reply(client, &length);
    ASSERT_EQ(length, probe_cookie_end);
    EXPECT_EQ(static_cast<uint32_t>(data_value_get(got.data(), value_reserved)), probe_ask_cookie | probe_did_cookie);
    got = reply(client, &length);
    ASSERT_EQ(length, 32);
    for (int i = datagram_header_size; i < 32; i++) EXPECT_EQ(got[i], 0) << i;

    // 2000 of them from another port of that address get back at most 16
    // times what the address sent, and the refusal is said once.
    int other_port = 0;
    int other = tooltest::open_udp(&other_port);
    ASSERT_GE(other, 0);
    ::testing::internal::CaptureStdout();
    for (int batch = 0; batch < 20; batch++) {
        for (int i = 0; i < 100; i++) tooltest::send_to(other, probe(16, batch * 100 + i, 65507).data(), 16, port);
        responder_serve(state.get(), responder, 100);
    }
    std::string flood = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(count_matching(flood, ".*recvsize=udp_blockrecv\\(127\\.0\\.0\\.1:" + std::to_string(other_port) +
                                        "\\): recvsize=16 .*"),
              2000);
    long replied = replied_bytes(flood);
    EXPECT_LE(replied, 16L * 2000 * 16) << flood.substr(0, 2000);
    EXPECT_GE(replied, 65507L);
    EXPECT_EQ(count_matching(
                  flood, "echomark_listen\\(\\): \\[\\d{6}\\] refused\\(127\\.0\\.0\\.1:" + std::to_string(other_port) +
                             "\\): reason=budget lastpkts=\\d{6}: no reply to this source for now"),
              1)
        << flood.substr(0, 2000);

    // --nobudget lifts it: every one is answered.
    state->settings.budget = false;
    ::testing::internal::CaptureStdout();
    for (int i = 0; i < 20; i++) tooltest::send_to(other, probe(16, 5000 + i, 65507).data(), 16, port);
    responder_serve(state.get(), responder, 20);
    std::string lifted = ::testing::internal::GetCapturedStdout();
    state->settings.budget = true;
    EXPECT_EQ(replied_bytes(lifted), 20L * 65507) << lifted;
    platform::closesocket(other);
}

TEST_F(responder_fixture, OwnAddressAndRepeatedDatagramsAreNotAnswered) {
    // A datagram from the responder's own address and port (here it sends
    // to itself) would otherwise answer itself for ever.
    std::string log = handle(responder, probe(16, 3, 16));
    EXPECT_EQ(count_matching(log, receive_line(0, port, 16, 3)), 1) << log;
    EXPECT_EQ(
        count_matching(log, "echomark_listen\\(\\): \\[000000\\] refused\\(127\\.0\\.0\\.1:" + std::to_string(port) +
                                "\\): reason=own address lastpkts=000003: no reply to this source for now"),
        1)
        << log;
    EXPECT_EQ(tooltest::lines_of(log).size(), 2U) << log;
    int length = 0;
    reply(responder, &length, 0.1);
    EXPECT_EQ(length, -2);
    EXPECT_EQ(counter, 0);

    // --echo: a plain echo client gets its own bytes back; the same datagram
    // again and again (a loop through another echo server) is cut off.
    state->settings.echo = true;
    std::vector<unsigned char> hello = {'h', 'e', 'l', 'l', 'o', '\n'};
    std::string all;
    for (int copy = 0; copy < 10; copy++) {
        all += handle(client, hello);
        std::vector<unsigned char> got = reply(client, &length, copy < 5 ? 2.0 : 0.05);
        if (copy < 5) {
            EXPECT_EQ(got, hello) << copy;
        } else {
            EXPECT_EQ(length, -2) << copy;
        }
    }
    state->settings.echo = false;
    // The probe number field is whatever the text holds there: "o\n".
    EXPECT_EQ(count_matching(all, send_line(0, client_port, 6, 0x0A6F)), 1) << all;
    EXPECT_EQ(count_matching(
                  all, ".* sendsize=udp_send\\(127\\.0\\.0\\.1:" + std::to_string(client_port) + "\\): sendsize=6 .*"),
              5)
        << all;
    EXPECT_EQ(
        count_matching(all, ".* refused\\(127\\.0\\.0\\.1:" + std::to_string(client_port) + "\\): reason=loop .*"), 1)
        << all;
    EXPECT_EQ(counter, 5);
}

// A probe that asks with probe_ask_oneway gets the far end's fields: T2 and
// T3 on the calendar clock within the exchange, its source's count, the TTL
// and TOS it left with, the clock's state; a reply too short for them gets
// none, and a probe that does not ask comes back byte for byte.
TEST_F(responder_fixture, FarEndFieldsOnlyForProbesThatAskAndHaveRoom) {
    int ttl = 42, tos = 0x20;
    ASSERT_EQ(platform::setsockopt(client, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl), 0);
    ASSERT_EQ(platform::setsockopt(client, IPPROTO_IP, IP_TOS, &tos, sizeof tos), 0);
    std::vector<unsigned char> data(datagram_buffer_size);
    auto exchange = [&](const std::vector<unsigned char>& sent, int64_t* before, int64_t* after) {
        *before = platform::realtime_ns();
        tooltest::send_to(client, sent.data(), static_cast<int>(sent.size()), port);
        ::testing::internal::CaptureStdout();
        responder_serve(state.get(), responder, 1);
        ::testing::internal::GetCapturedStdout();
        int length = tooltest::receive_within(client, data.data(), datagram_buffer_size, 2.0);
        *after = platform::realtime_ns();
        return length;
    };
    const bool synchronized = platform::clock_sync_now().synchronized;
    for (uint32_t n = 1; n <= 3; n++) {
        std::vector<unsigned char> asking = probe(datagram_header_size, static_cast<int>(n), 64);
        data_value_set(asking.data(), value_reserved, static_cast<int>(probe_ask_oneway));
        int64_t before = 0, after = 0;
        ASSERT_EQ(exchange(asking, &before, &after), 64);
        EXPECT_EQ(static_cast<uint32_t>(data_value_get(data.data(), value_reserved)),
                  probe_ask_oneway | probe_did_oneway);
        probe_far_end far;
        ASSERT_TRUE(probe_far_end_read(data.data(), 64, &far));
        EXPECT_LE(before, far.received_ns);
        EXPECT_LE(far.received_ns, far.sent_ns);
        EXPECT_LE(far.sent_ns, after);
        EXPECT_EQ(far.count, n);
        EXPECT_EQ(far.ttl, ttl);
        EXPECT_EQ(far.tos, tos);
        EXPECT_EQ(far.clock_synchronized, synchronized);
        EXPECT_EQ(data[probe_extension_end - 1], 0);
        for (int i = probe_extension_end; i < 64; i++) ASSERT_EQ(data[i], 0) << i;
    }
    // Too short for the fields: the reply carries none, and says so.
    std::vector<unsigned char> asking = probe(datagram_header_size, 4, probe_extension_end - 1);
    data_value_set(asking.data(), value_reserved, static_cast<int>(probe_ask_oneway));
    int64_t before = 0, after = 0;
    ASSERT_EQ(exchange(asking, &before, &after), probe_extension_end - 1);
    EXPECT_EQ(static_cast<uint32_t>(data_value_get(data.data(), value_reserved)), probe_ask_oneway);
    for (int i = datagram_header_size; i < probe_extension_end - 1; i++) EXPECT_EQ(data[i], 0) << i;
    // Without the flag the probe's own bytes come back where the fields
    // would be, and a short probe after the fields finds only zeros.
    std::vector<unsigned char> plain = probe(80, 5, 80);
    for (int i = datagram_header_size; i < 80; i++) plain[i] = static_cast<unsigned char>(i * 13 + 1);
    ASSERT_EQ(exchange(plain, &before, &after), 80);
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), data.begin()));
    ASSERT_EQ(exchange(probe(datagram_header_size, 6, 64), &before, &after), 64);
    for (int i = datagram_header_size; i < 64; i++) EXPECT_EQ(data[i], 0) << i;
}

// A stateful STAMP reflector counts only what it answers: the copies of a
// loop, refused by the safety rules, leave no gap in its numbers.
TEST_F(responder_fixture, StatefulStampCountsOnlyWhatTheRulesLetThrough) {
    responder_settings settings;
    settings.stamp = responder_stamp_stateful;
    responder_init(state.get(), &settings);
    std::vector<unsigned char> request(stamp_packet_length, 0);
    request[13] = 1;  // an error estimate with a multiplier
    std::vector<uint32_t> numbers;
    auto exchange = [&](int copies) {
        for (int i = 0; i < copies; i++) tooltest::send_to(client, request.data(), stamp_packet_length, port);
        ::testing::internal::CaptureStdout();
        responder_serve(state.get(), responder, copies);
        ::testing::internal::GetCapturedStdout();
        unsigned char data[128];
        while (tooltest::receive_within(client, data, sizeof data, 0.2) == stamp_packet_length) {
            numbers.push_back(static_cast<uint32_t>(data[0]) << 24 | static_cast<uint32_t>(data[1]) << 16 |
                              static_cast<uint32_t>(data[2]) << 8 | data[3]);
        }
    };
    exchange(guard_repeat_limit + 4);
    EXPECT_EQ(numbers, (std::vector<uint32_t>{0, 1, 2, 3, 4}));
    platform::Sleep(static_cast<uint32_t>(guard_window_us / 1000 + 100));
    request[3] = 1;  // the sender's next
    exchange(1);
    EXPECT_EQ(numbers, (std::vector<uint32_t>{0, 1, 2, 3, 4, 5}));
}

// Floods the responder on `port` from `client` for `seconds` with distinct
// probes, taking the replies as they come; calls `midway` half way through.
// Returns the probe numbers of the replies received.
template <typename action>
std::vector<int> flood(int client, int port, double seconds, action midway) {
    std::vector<int> replied;
    unsigned char data[datagram_buffer_size];
    double start = platform::monotonic_seconds();
    bool acted = false;
    for (int n = 0; platform::monotonic_seconds() - start < seconds; n++) {
        tooltest::send_to(client, probe(64, n, 64).data(), 64, port);
        int length;
        while ((length = platform::recvfrom(client, data, sizeof data, MSG_DONTWAIT, nullptr, nullptr)) > 0) {
            replied.push_back(data_value_get(data, value_probe));
        }
        if (!acted && platform::monotonic_seconds() - start >= seconds / 2) {
            midway();
            acted = true;
        }
    }
    int length;
    while ((length = tooltest::receive_within(client, data, sizeof data, 0.2)) > 0) {
        replied.push_back(data_value_get(data, value_probe));
    }
    return replied;
}

// Probe numbers of the send lines to `client_port` in a log.
std::vector<bool> logged_replies(const std::string& log, int client_port) {
    std::vector<bool> logged(1 << 22);
    std::string key = "sendsize=udp_send(127.0.0.1:" + std::to_string(client_port) + "): sendsize=64 lastpkts=";
    for (std::size_t at = log.find(key); at != std::string::npos; at = log.find(key, at + 1)) {
        long n = std::atol(log.c_str() + at + key.size());
        if (n >= 0 && n < static_cast<long>(logged.size())) logged[static_cast<std::size_t>(n)] = true;
    }
    return logged;
}

// The program in listen mode, output to a file, killed without warning:
// every datagram it answered before it went idle is in the file, and a kill
// in the middle of a flood cuts no line.
TEST(ToolResponderProgram, OutputSurvivesSigkill) {
    for (int attempt = 0; attempt < 3; attempt++) {
        int port = tooltest::free_port();
        std::string out_path = tooltest::temp_path();
        std::string err_path = tooltest::temp_path();
        pid_t pid = tooltest::start_program({"-l", "-h", "127.0.0.1", "-p", std::to_string(port)}, out_path, err_path);
        ASSERT_TRUE(tooltest::wait_port_taken(port, 10.0));
        int client_port = 0;
        int client = tooltest::open_udp(&client_port);
        unsigned char data[datagram_buffer_size];
        for (int i = 0; i < 5; i++) {
            std::vector<unsigned char> sent = probe(100, i, 50);
            tooltest::send_to(client, sent.data(), 100, port);
            EXPECT_EQ(tooltest::receive_within(client, data, sizeof data, 5.0), 50) << i;
        }
        // The reply is sent before its line is printed; give the last line a moment.
        platform::Sleep(200);
        int flooder_port = 0;
        int flooder = tooltest::open_udp(&flooder_port);
        std::vector<int> replied = flood(flooder, port, 0.6, [pid] { kill(pid, SIGKILL); });
        EXPECT_EQ(tooltest::wait_program(pid, 10.0), -1000 - SIGKILL);
        EXPECT_FALSE(replied.empty());
        std::string out = tooltest::read_file(out_path);
        std::string p = std::to_string(port);
        EXPECT_EQ(
            out.rfind("echomark_listen(): listaddr=create_sockaddrin(AF_INET, ipaddr=127.0.0.1, ipport=" + p +
                          "):\nechomark_connect(): connaddr.sin_addr.s_addr=0100007F (127.0.0.1) listaddr.sin_port=" +
                          p + "\n",
                      0),
            0U)
            << out;
        for (int i = 0; i < 5; i++) {
            EXPECT_EQ(count_matching(out, receive_line(i, client_port, 100, i)), 1) << out;
            EXPECT_EQ(count_matching(out, send_line(i, client_port, 50, i)), 1) << out;
        }
        ASSERT_FALSE(out.empty());
        // Linux may end a file write that SIGKILL interrupts at a page
        // boundary, whatever the program asked; only such a cut is tried again.
        if (out.back() != '\n' && out.size() % 4096 == 0 && attempt < 2) {
            platform::closesocket(client);
            platform::closesocket(flooder);
            std::remove(out_path.c_str());
            std::remove(err_path.c_str());
            continue;
        }
        EXPECT_EQ(out.back(), '\n') << out.substr(out.size() > 300 ? out.size() - 300 : 0);
        EXPECT_EQ(tooltest::read_file(err_path), "");
        platform::closesocket(client);
        platform::closesocket(flooder);
        std::remove(out_path.c_str());
        std::remove(err_path.c_str());
        break;
    }
}

// SIGTERM in the middle of a flood: status 0, the log ends with a whole
// line, and every reply the client got has its line.  SIGINT and SIGHUP end
// an idle responder the same way.
TEST(ToolResponderProgram, StopSignalsEndItWithEverythingWritten) {
    for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
        int port = tooltest::free_port();
        std::string out_path = tooltest::temp_path();
        std::string err_path = tooltest::temp_path();
        pid_t pid = tooltest::start_program({"-l", "-h", "127.0.0.1", "-p", std::to_string(port)}, out_path, err_path);
        ASSERT_TRUE(tooltest::wait_port_taken(port, 10.0));
        int client_port = 0;
        int client = tooltest::open_udp(&client_port);
        std::vector<int> replied;
        if (signal_number == SIGTERM) {
            replied = flood(client, port, 0.6, [pid] { kill(pid, SIGTERM); });
        } else {
            tooltest::send_to(client, probe(64, 1, 64).data(), 64, port);
            unsigned char data[100];
            EXPECT_EQ(tooltest::receive_within(client, data, sizeof data, 5.0), 64);
            replied.push_back(1);
            kill(pid, signal_number);
        }
        EXPECT_EQ(tooltest::wait_program(pid, 10.0), 0) << signal_number;
        std::string out = tooltest::read_file(out_path);
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(out.back(), '\n') << signal_number;
        std::vector<bool> logged = logged_replies(out, client_port);
        int missing = 0;
        for (int n : replied) {
            if (n < 0 || n >= static_cast<int>(logged.size()) || !logged[static_cast<std::size_t>(n)]) missing++;
        }
        EXPECT_FALSE(replied.empty());
        EXPECT_EQ(missing, 0) << signal_number << ": of " << replied.size();
        EXPECT_EQ(tooltest::read_file(err_path), "");
        platform::closesocket(client);
        std::remove(out_path.c_str());
        std::remove(err_path.c_str());
    }
}

// --metrics: after known traffic the page holds the truth, rule by rule,
// promtool accepts it, and a real Prometheus server scrapes the same.
TEST(ToolResponderProgram, MetricsCountWhatHappenedAndPrometheusScrapesThem) {
    int port = tooltest::free_port();
    int metrics_port = metricstest::free_tcp_port();
    std::string out_path = tooltest::temp_path(), err_path = tooltest::temp_path();
    pid_t pid = tooltest::start_program({"-l", "-h", "127.0.0.1", "-p", std::to_string(port), "--maxreply=1000",
                                         "--metrics=" + std::to_string(metrics_port)},
                                        out_path, err_path);
    ASSERT_TRUE(tooltest::wait_port_taken(port, 10.0));
    int client_port = 0;
    int client = tooltest::open_udp(&client_port);
    // An address of its own, which has earned no budget yet.
    int stranger = platform::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in stranger_address = tooltest::loopback(0);
    stranger_address.sin_addr.s_addr = htonl(0x7F000003);
    ASSERT_EQ(platform::bind(stranger, &stranger_address, sizeof stranger_address), 0);
    struct step {
        int sock;
        std::vector<unsigned char> datagram;
        int reply;  // its length, -1 for none
    };
    std::vector<step> steps;
    for (int n = 1; n <= 5; n++) steps.push_back({client, probe(64, n, 100), 100});
    steps.push_back({client, probe(16, 10, 70000), -1});        // too large
    steps.push_back({client, probe(16, 11, 2000), -1});         // beyond --maxreply
    steps.push_back({stranger, probe(16, 12, 1000), -1});       // beyond its budget
    int looper_port = 0;
    int looper = tooltest::open_udp(&looper_port);
    for (int copy = 0; copy < 8; copy++) {  // a loop: 5 answered, then its source refused for a second
        steps.push_back({looper, probe(20, 99, 20), copy < 5 ? 20 : -1});
    }
    steps.push_back({client, probe(64, 6, 100), 100});  // the last: everything before it is counted
    long received = 0, sent = 0, replies = 0;
    unsigned char data[datagram_buffer_size];
    for (const step& s : steps) {
        ASSERT_EQ(tooltest::send_to(s.sock, s.datagram.data(), static_cast<int>(s.datagram.size()), port),
                  static_cast<int>(s.datagram.size()));
        received += static_cast<long>(s.datagram.size());
        if (s.reply < 0) continue;
        ASSERT_EQ(tooltest::receive_within(s.sock, data, sizeof data, 5.0), s.reply) << (&s - steps.data());
        sent += s.reply;
        replies++;
    }
    metricstest::http_reply page = metricstest::ask(metrics_port, metricstest::get("/metrics"));
    ASSERT_EQ(page.status, 200) << page.raw;
    const struct {
        const char* series;
        double value;
    } truth[] = {
        {"echomark_responder_datagrams_total", static_cast<double>(steps.size())},
        {"echomark_responder_replies_total", static_cast<double>(replies)},
        {"echomark_responder_received_bytes_total", static_cast<double>(received)},
        {"echomark_responder_sent_bytes_total", static_cast<double>(sent)},
        {"echomark_responder_receive_errors_total", 0},
        {"echomark_responder_send_errors_total", 0},
        {"echomark_responder_refused_total{reason=\"too_large\"}", 1},
        {"echomark_responder_refused_total{reason=\"max_reply\"}", 1},
        {"echomark_responder_refused_total{reason=\"budget\"}", 1},
        {"echomark_responder_refused_total{reason=\"loop\"}", 3},
        {"echomark_responder_refused_total{reason=\"own_address\"}", 0},
        {"echomark_responder_refused_total{reason=\"port_zero\"}", 0},
    };
    for (const auto& t : truth) EXPECT_EQ(metricstest::sample(page.body, t.series), t.value) << t.series;
    EXPECT_EQ(page.body.find("stamp"), std::string::npos);
    if (metricstest::installed(metricstest::promtool_path)) {
        std::string said;
        EXPECT_TRUE(metricstest::promtool_accepts(page.body, &said)) << said << "\n" << page.body;
    }

    bool scraped = metricstest::installed(metricstest::prometheus_path);
    if (scraped) {
        metricstest::prometheus_server prometheus;
        ASSERT_TRUE(metricstest::prometheus_start(&prometheus, {metrics_port}));
        EXPECT_EQ(metricstest::query_within(prometheus.port, "echomark_responder_replies_total", 20.0), replies)
            << tooltest::read_file(prometheus.log_path);
        EXPECT_EQ(metricstest::query(prometheus.port, "echomark_responder_refused_total{reason=\"loop\"}"), 3.0);
        EXPECT_EQ(metricstest::query(prometheus.port, "echomark_responder_received_bytes_total"), received);
        metricstest::prometheus_stop(&prometheus);
    }
    kill(pid, SIGTERM);
    EXPECT_EQ(tooltest::wait_program(pid, 10.0), 0);
    std::string out = tooltest::read_file(out_path);
    std::string m = std::to_string(metrics_port);
    EXPECT_EQ(count_matching(out, "echomark_listen\\(\\): result=metrics_endpoint_open\\(127\\.0\\.0\\.1:" + m +
                                      "\\): result=0 url=http://127\\.0\\.0\\.1:" + m + "/metrics"),
              1)
        << out.substr(0, 600);
    EXPECT_EQ(count_matching(out, stamp + " echomark_listen\\(\\): \\[\\d{6}\\] recvsize=udp_blockrecv.*"),
              static_cast<int>(steps.size()));
    EXPECT_EQ(tooltest::read_file(err_path), "");
    platform::closesocket(client);
    platform::closesocket(stranger);
    platform::closesocket(looper);
    std::remove(out_path.c_str());
    std::remove(err_path.c_str());
    if (!scraped) GTEST_SKIP() << "prometheus is not installed (Debian package prometheus): no real scraper";
}

TEST(ToolResponderProgram, PortInUseEndsWithStatusMinusOne) {
    int port = 0;
    int holder = tooltest::open_udp(&port);
    tooltest::run_result r = tooltest::run_program({"-l", "-h", "127.0.0.1", "-p", std::to_string(port)}, 10.0);
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("udp_bind("), std::string::npos) << r.out;
    platform::closesocket(holder);

    // So does a --metrics port that another program holds.
    int listener = platform::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = tooltest::loopback(0);
    ASSERT_EQ(platform::bind(listener, &address, sizeof address), 0);
    ASSERT_EQ(platform::listen(listener, 1), 0);
    int length = sizeof address;
    platform::getsockname(listener, &address, &length);
    std::string held = std::to_string(ntohs(address.sin_port));
    r = tooltest::run_program(
        {"-l", "-h", "127.0.0.1", "-p", std::to_string(tooltest::free_port()), "--metrics=" + held}, 10.0);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(count_matching(r.out, "echomark_listen\\(\\): result=metrics_endpoint_open\\(127\\.0\\.0\\.1:" + held +
                                        "\\): result=-10048 if \\(result<0\\): error=10048:.*"),
              1)
        << r.out;
    platform::closesocket(listener);
}

}  // namespace
