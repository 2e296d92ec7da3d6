// Probe sender: against our responder, a silent port, scripted peers that
// drop, delay or forge replies, a plain echo server, and the program's report.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/tool_test_support.hpp"
#include "tool/echomarkcli-select.hpp"

namespace {

using tooltest::count_matching;
using tooltest::stamp;

// The program in listen mode on a free loopback port, for as long as the object lives.
struct responder_program {
    int port = tooltest::free_port();
    std::string out_path = tooltest::temp_path();
    std::string err_path = tooltest::temp_path();
    pid_t pid = tooltest::start_program({"-l", "-h", "127.0.0.1", "-p", std::to_string(port)}, out_path, err_path);
    bool ready = tooltest::wait_port_taken(port, 10.0);

    ~responder_program() {
        kill(pid, SIGKILL);
        tooltest::wait_program(pid, 10.0);
        std::remove(out_path.c_str());
        std::remove(err_path.c_str());
    }
};

// A peer thread on its own loopback socket.  `answer` is called for every
// datagram received (index counts them) with the socket, the datagram in a
// 65536-byte zero-filled buffer, its length and its source.
using peer_action = std::function<void(int sock, unsigned char* data, int length, const sockaddr_in& from, int index)>;

struct scripted_peer {
    int sock = -1;
    int port = 0;
    std::atomic<bool> stop{false};
    std::atomic<int> received{0};
    std::thread thread;

    explicit scripted_peer(peer_action answer) {
        sock = tooltest::open_udp(&port);
        thread = std::thread([this, answer] {
            std::vector<unsigned char> data(datagram_buffer_size);
            while (!stop) {
                std::fill(data.begin(), data.end(), 0);
                sockaddr_in from;
                int length = tooltest::receive_within(sock, data.data(), datagram_buffer_size, 0.05, &from);
                if (length < 0) continue;
                answer(sock, data.data(), length, from, received);
                received++;
            }
        });
    }
    ~scripted_peer() {
        stop = true;
        thread.join();
        platform::closesocket(sock);
    }
};

// Answers as the responder does: the first reply-size bytes back to the source.
void echo_reply(int sock, const unsigned char* data, const sockaddr_in& from) {
    int replysize = data_value_get(data, value_replysize);
    platform::sendto(sock, data, replysize, 0, &from, sizeof from);
}

struct sender_run {
    std::string out;
    double seconds;
    echomark_record* record;
};

// The record is large; one static instance serves every run.
sender_run run_sender(int port, double timeout, int count, int sendsize = 100, int recvsize = 100) {
    static echomark_record record;
    ::testing::internal::CaptureStdout();
    double start = platform::monotonic_seconds();
    echomark_connect("127.0.0.1", port, timeout, count, sendsize, recvsize, &record);
    double seconds = platform::monotonic_seconds() - start;
    return {::testing::internal::GetCapturedStdout(), seconds, &record};
}

std::string closing(int sendpkts, int recvpkts, int lastpkts1, const std::string& ratio) {
    return "echomark_connect(): sendpkts=" + std::to_string(sendpkts) +
           "\nechomark_connect(): recvpkts=" + std::to_string(recvpkts) +
           "\nechomark_connect(): lastpkts+1=" + std::to_string(lastpkts1) + "\nechomark_connect(): " + ratio + "\n";
}

bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string cycle(int i, int s, int r) {
    char text[64];
    std::snprintf(text, sizeof text, "i=%06d S=%06d R=%06d", i, s, r);
    return text;
}

std::string receive_line(int i, int s, int r, int port, int size, int probe,
                         const std::string& time = "\\d+\\.\\d{6}") {
    char text[160];
    std::snprintf(text, sizeof text,
                  " sendsize=udp_recv\\(127\\.0\\.0\\.1:%d\\): recvsize=%d lastpkts=%06d time=", port, size, probe);
    return stamp + " echomark_connect\\(\\):1 " + cycle(i, s, r) + text + time;
}

std::string send_line(int i, int s, int r, int port, int argssize, int size) {
    char text[160];
    std::snprintf(text, sizeof text,
                  " sendsize=udp_send\\(127\\.0\\.0\\.1:%d\\): argssize=%d sendsize=%d time=\\d+\\.\\d{6}", port,
                  argssize, size);
    return stamp + " echomark_connect\\(\\):1 " + cycle(i, s, r) + text;
}

std::string read_timeout_line(int i, int s, int r) {
    return stamp + " echomark_connect\\(\\):1 " + cycle(i, s, r) +
           " result=select\\(\\): TIMEOUT: if \\(result==0\\) continue;";
}

std::string drain_timeout_line(int i, int s, int r) {
    return stamp + " echomark_connect\\(\\):2 " + cycle(i, s, r) + " TIMEOUT: if \\(result==0\\) continue;";
}

TEST(ToolSender, AgainstOurResponderEveryProbeComesBack) {
    responder_program responder;
    ASSERT_TRUE(responder.ready);
    sender_run run = run_sender(responder.port, 2.0, 20, 8192, 9192);
    std::string p = std::to_string(responder.port);
    EXPECT_EQ(run.out.rfind("echomark_connect(): connaddr=create_sockaddrin(AF_INET, ipaddr=127.0.0.1, ipport=" + p +
                                "):\nechomark_connect(): connaddr.sin_addr.s_addr=0100007F (127.0.0.1) "
                                "connaddr.sin_port=" +
                                p + "\nechomark_connect(): echomark_send(void *arg):/echomark_recv(void *arg):\n",
                            0),
              0U)
        << run.out;
    for (int i = 0; i < 20; i++) {
        EXPECT_EQ(count_matching(run.out, send_line(i, i, i, responder.port, 8192, 8192)), 1) << i << run.out;
        EXPECT_EQ(count_matching(run.out, receive_line(i, i + 1, i, responder.port, 9192, i)), 1) << i << run.out;
    }
    EXPECT_EQ(
        count_matching(run.out,
                       "echomark_connect\\(\\): difftime=\\d+\\.\\d{6} \\[s\\] \\(\\d+\\.\\d{6} - \\d+\\.\\d{6}\\)"),
        1);
    EXPECT_TRUE(ends_with(run.out, closing(20, 20, 20, "recvpkts/sendpkts=100.000[%]"))) << run.out;
    EXPECT_EQ(run.out.find(":2 "), std::string::npos);
    EXPECT_EQ(run.record->sendpkts, 20);
    EXPECT_EQ(run.record->recvpkts, 20);
    EXPECT_EQ(run.record->lastpkts, 19);
}

TEST(ToolSender, SilentPortTimesOutEveryCycleAndOnceInTheDrain) {
    int port = 0;
    int silent = tooltest::open_udp(&port);
    sender_run run = run_sender(port, 0.2, 4);
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(count_matching(run.out, send_line(i, i, 0, port, 100, 100)), 1) << run.out;
        EXPECT_EQ(count_matching(run.out, read_timeout_line(i, i + 1, 0)), 1) << run.out;
    }
    EXPECT_EQ(count_matching(run.out, drain_timeout_line(0, 4, 0)), 1) << run.out;
    EXPECT_EQ(count_matching(run.out, ".*:2 .*"), 1) << run.out;
    EXPECT_TRUE(ends_with(run.out, closing(4, 0, 4, "recvpkts/sendpkts=0.000[%]"))) << run.out;
    // count x timeout, plus one more timeout for the drain.
    EXPECT_GE(run.seconds, 0.95);
    EXPECT_LT(run.seconds, 6.0);
    for (int i = 0; i < 4; i++) EXPECT_EQ(run.record->Rtime[i], 0.0);
    platform::closesocket(silent);
}

// Probe 1 is dropped; probe 3's reply comes only after probe 4, 50 ms late,
// followed at once by probe 4's; probe 5's reply is left for the drain.
TEST(ToolSender, DroppedAndLateRepliesAreTimedIntoTheirOwnSlots) {
    scripted_peer peer([](int sock, unsigned char* data, int, const sockaddr_in& from, int) {
        static std::vector<unsigned char> held(datagram_buffer_size);
        int probe = data_value_get(data, value_probe);
        if (probe == 1) return;
        if (probe == 3) {
            std::copy(data, data + datagram_buffer_size, held.begin());
            return;
        }
        if (probe == 4) {
            platform::Sleep(50);
            echo_reply(sock, held.data(), from);
        }
        echo_reply(sock, data, from);
    });
    sender_run run = run_sender(peer.port, 0.4, 6, 100, 64);
    const int port = peer.port;
    EXPECT_EQ(count_matching(run.out, read_timeout_line(1, 2, 1)), 1) << run.out;
    EXPECT_EQ(count_matching(run.out, read_timeout_line(3, 4, 2)), 1) << run.out;
    // Cycle 4 takes the late reply to probe 3 and shows slot 4, not yet timed.
    EXPECT_EQ(count_matching(run.out, receive_line(4, 5, 2, port, 64, 3, "0\\.000000")), 1) << run.out;
    EXPECT_EQ(count_matching(run.out, receive_line(5, 6, 3, port, 64, 4, "0\\.000000")), 1) << run.out;
    // The drain takes probe 5's reply, then times out waiting for probe 1's.
    EXPECT_EQ(count_matching(run.out, stamp + " echomark_connect\\(\\):2 " + cycle(4, 6, 4) +
                                          " sendsize=udp_recv\\(127\\.0\\.0\\.1:" + std::to_string(port) +
                                          "\\): recvsize=64 lastpkts=000005"),
              1)
        << run.out;
    EXPECT_EQ(count_matching(run.out, drain_timeout_line(5, 6, 5)), 1) << run.out;
    EXPECT_TRUE(ends_with(run.out, closing(6, 5, 6, "recvpkts/sendpkts=83.333[%]"))) << run.out;
    const echomark_record& r = *run.record;
    EXPECT_EQ(r.Rtime[1], 0.0);
    EXPECT_GE(r.Rtime[3], 0.03);  // the 50 ms wait of cycle 4
    EXPECT_LT(r.Rtime[3], 0.4);
    EXPECT_EQ(r.Rtime[5], 0.0);  // the drain records no time
    EXPECT_EQ(r.lastpkts, 5);
}

// A duplicated reply is taken by the next cycle and counted like any other;
// every later reply then comes one cycle late and the last stays unread.
TEST(ToolSender, DuplicatedReplyShiftsTheFollowingOnes) {
    scripted_peer peer([](int sock, unsigned char* data, int, const sockaddr_in& from, int index) {
        echo_reply(sock, data, from);
        if (index == 0) echo_reply(sock, data, from);
    });
    sender_run run = run_sender(peer.port, 0.5, 4, 100, 32);
    EXPECT_EQ(count_matching(run.out, receive_line(1, 2, 1, peer.port, 32, 0)), 1) << run.out;
    EXPECT_EQ(count_matching(run.out, receive_line(3, 4, 3, peer.port, 32, 2)), 1) << run.out;
    EXPECT_EQ(run.out.find(":2 "), std::string::npos) << run.out;
    EXPECT_TRUE(ends_with(run.out, closing(4, 4, 3, "recvpkts/sendpkts=100.000[%]"))) << run.out;
    EXPECT_EQ(run.record->Rtime[3], 0.0);
}

// The drain makes at most as many waits as replies were missing: an empty
// datagram taken there uses up its one wait, and the reply behind it stays
// unread, with no time-out line.
TEST(ToolSender, DrainEndsAfterAsManyWaitsAsRepliesWereMissing) {
    scripted_peer peer([](int sock, unsigned char* data, int, const sockaddr_in& from, int index) {
        if (index == 2) {
            platform::Sleep(750);  // past the cycle's wait, inside the drain's
            platform::sendto(sock, data, 0, 0, &from, sizeof from);
        }
        echo_reply(sock, data, from);
    });
    sender_run run = run_sender(peer.port, 0.5, 3, 100, 32);
    EXPECT_EQ(count_matching(run.out, read_timeout_line(2, 3, 2)), 1) << run.out;
    // The buffer still holds probe 2 as built, so the empty datagram reads as it.
    EXPECT_EQ(count_matching(run.out, stamp + " echomark_connect\\(\\):2 " + cycle(2, 3, 2) +
                                          " sendsize=udp_recv\\(127\\.0\\.0\\.1:" + std::to_string(peer.port) +
                                          "\\): recvsize=0 lastpkts=000002"),
              1)
        << run.out;
    EXPECT_EQ(
        count_matching(run.out, stamp + " echomark_connect\\(\\):2 " + cycle(2, 3, 2) +
                                    " recvsize=udp_recv\\(\\): recvsize=0 if \\(recvsize<=0\\): recvsize=0:Success"),
        1)
        << run.out;
    EXPECT_EQ(count_matching(run.out, ".*:2 .*"), 2) << run.out;
    EXPECT_TRUE(ends_with(run.out, closing(3, 2, 3, "recvpkts/sendpkts=66.667[%]"))) << run.out;
}

// Each good reply is followed by a 1 ms pause.
TEST(ToolSender, EveryGoodReplyIsFollowedByTheOneMillisecondPause) {
    scripted_peer peer(
        [](int sock, unsigned char* data, int, const sockaddr_in& from, int) { echo_reply(sock, data, from); });
    sender_run run = run_sender(peer.port, 2.0, 100, 32, 32);
    EXPECT_TRUE(ends_with(run.out, closing(100, 100, 100, "recvpkts/sendpkts=100.000[%]"))) << run.out;
    EXPECT_GE(run.seconds, 0.1);
}

TEST(ToolSender, RepliesWithForeignProbeNumbersAreLoggedButNotRecorded) {
    for (int foreign : {-1, echomark_slots, INT_MAX, INT_MIN}) {
        scripted_peer peer([foreign](int sock, unsigned char* data, int, const sockaddr_in& from, int) {
            if (data_value_get(data, value_probe) == 2) data_value_set(data, value_probe, foreign);
            echo_reply(sock, data, from);
        });
        sender_run run = run_sender(peer.port, 0.2, 3, 100, 32);
        EXPECT_EQ(count_matching(run.out, receive_line(2, 3, 2, peer.port, 32, foreign)), 1) << run.out;
        EXPECT_EQ(run.record->recvpkts, 2) << foreign;
        EXPECT_EQ(run.record->Rtime[2], 0.0) << foreign;
        // The drain waits once for the reply that never counted.
        EXPECT_EQ(count_matching(run.out, drain_timeout_line(2, 3, 2)), 1) << run.out;
        int lastpkts1 = static_cast<int>(static_cast<uint32_t>(foreign) + 1U);
        EXPECT_TRUE(ends_with(run.out, closing(3, 2, lastpkts1, "recvpkts/sendpkts=66.667[%]"))) << run.out;
    }
}

// An empty reply is a failed receive: logged, timed by what the buffer still
// holds (the probe just built), not counted.
TEST(ToolSender, EmptyReplyIsReportedAndNotCounted) {
    scripted_peer peer([](int sock, unsigned char* data, int, const sockaddr_in& from, int index) {
        if (index == 1) data_value_set(data, value_replysize, 0);
        echo_reply(sock, data, from);
    });
    sender_run run = run_sender(peer.port, 0.3, 2, 100, 32);
    EXPECT_EQ(count_matching(run.out, receive_line(1, 2, 1, peer.port, 0, 1)), 1) << run.out;
    EXPECT_EQ(count_matching(run.out, stamp + " echomark_recv\\(\\):1 " + cycle(1, 2, 1) +
                                          " recvsize=udp_recv\\(\\): recvsize=0 if \\(recvsize<=0\\): error=0:Success"),
              1)
        << run.out;
    EXPECT_EQ(count_matching(run.out, drain_timeout_line(1, 2, 1)), 1) << run.out;
    EXPECT_TRUE(ends_with(run.out, closing(2, 1, 2, "recvpkts/sendpkts=50.000[%]"))) << run.out;
}

TEST(ToolSender, SizesBeyondTheBufferNeverLeaveIt) {
    scripted_peer peer(
        [](int sock, unsigned char* data, int, const sockaddr_in& from, int) { echo_reply(sock, data, from); });
    // 65536 bytes fit the buffer but no datagram: the send fails and is reported.
    sender_run run = run_sender(peer.port, 0.2, 1, 70000, 16);
    EXPECT_EQ(count_matching(run.out, send_line(0, 0, 0, peer.port, 70000, -1)), 1) << run.out;
    EXPECT_EQ(count_matching(run.out, stamp + " echomark_send\\(\\):1 " + cycle(0, 0, 0) +
                                          " sendsize=udp_send\\(\\): sendsize=-1 if \\(sendsize<=0\\): "
                                          "error=1:Operation not permitted"),
              1)
        << run.out;
    EXPECT_EQ(count_matching(run.out, read_timeout_line(0, 0, 0)), 1) << run.out;
    EXPECT_TRUE(ends_with(run.out, "echomark_connect(): sendpkts==0\n")) << run.out;

    run = run_sender(peer.port, 0.2, 1, -5, 16);
    EXPECT_EQ(count_matching(run.out, send_line(0, 0, 0, peer.port, -5, 0)), 1) << run.out;
}

TEST(ToolSender, WaitThatFailsEndsTheRunAtOnce) {
    int port = 0;
    int silent = tooltest::open_udp(&port);
    sender_run run = run_sender(port, -1.0, 5);
    EXPECT_EQ(count_matching(run.out, stamp + " echomark_connect\\(\\):1 /000000/000000/000000/ SOCKERR: if \\(result "
                                              "<0\\) return  ;"),
              1)
        << run.out;
    EXPECT_EQ(run.out.find("difftime"), std::string::npos) << run.out;
    EXPECT_EQ(run.record->sendpkts, 0);
    platform::closesocket(silent);
}

TEST(ToolSender, NoProbesAtAll) {
    sender_run run = run_sender(9, 0.1, 0);
    EXPECT_TRUE(ends_with(run.out, closing(0, 0, 1, "sendpkts==0"))) << run.out;
}

// --- the program: report, count cap, output kept when killed ---------------------

TEST(ToolSenderProgram, ReportAgainstOurResponder) {
    responder_program responder;
    ASSERT_TRUE(responder.ready);
    tooltest::run_result r = tooltest::run_program({"-h", "127.0.0.1", "-p", std::to_string(responder.port), "-c", "25",
                                                    "--sendsize=100", "--recvsize=200", "-t", "2"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::vector<std::string> table =
        tooltest::matching(tooltest::lines_of(r.out), "main\\(\\): i=\\d{6} Stime=\\d+\\.\\d{6} Rtime=\\d+\\.\\d{6}");
    ASSERT_EQ(table.size(), 25U) << r.out;
    for (int i = 0; i < 25; i++) {
        char prefix[32];
        std::snprintf(prefix, sizeof prefix, "main(): i=%06d ", i);
        EXPECT_EQ(table[i].rfind(prefix, 0), 0U) << table[i];
    }
    EXPECT_TRUE(ends_with(r.out,
                          "main(): sendpkts=25\nmain(): recvpkts=25\nmain(): lastpkts+1=25\n"
                          "main(): recvpkts/sendpkts=100.000[%]\n"))
        << r.out;
    EXPECT_EQ(count_matching(r.out, ".*udp_recv\\(127\\.0\\.0\\.1:\\d+\\): recvsize=200 .*"), 25) << r.out;
}

TEST(ToolSenderProgram, CountAboveTheRecordIsCut) {
    int port = 0;
    int silent = tooltest::open_udp(&port);
    tooltest::run_result r =
        tooltest::run_program({"-h", "127.0.0.1", "-p", std::to_string(port), "-c", "20000", "-t", "0.0002"}, 240.0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count_matching(r.out, "main\\(\\): i=\\d{6} Stime=.*"), 10000);
    EXPECT_NE(r.out.find("main(): i=009999 "), std::string::npos);
    EXPECT_TRUE(ends_with(r.out,
                          "main(): sendpkts=10000\nmain(): recvpkts=0\nmain(): lastpkts+1=10000\n"
                          "main(): recvpkts/sendpkts=0.000[%]\n"))
        << r.out.substr(r.out.size() > 500 ? r.out.size() - 500 : 0);
    platform::closesocket(silent);
}

TEST(ToolSenderProgram, NoProbeSentStillPrintsTheWholeTable) {
    int port = 0;
    int silent = tooltest::open_udp(&port);
    tooltest::run_result r =
        tooltest::run_program({"-h", "127.0.0.1", "-p", std::to_string(port), "-c", "3", "-t", "-1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(ends_with(r.out,
                          "main(): i=000000 Stime=0.000000 Rtime=0.000000\n"
                          "main(): i=000001 Stime=0.000000 Rtime=0.000000\n"
                          "main(): i=000002 Stime=0.000000 Rtime=0.000000\n"
                          "main(): sendpkts=0\nmain(): recvpkts=0\nmain(): lastpkts+1=1\nmain(): sendpkts==0\n"))
        << r.out;
    platform::closesocket(silent);
}

// Killed while waiting for a reply, with output to a file: every probe sent
// and every reply taken is already in the file.
TEST(ToolSenderProgram, OutputSurvivesSigkill) {
    scripted_peer peer([](int sock, unsigned char* data, int, const sockaddr_in& from, int index) {
        if (index < 3) echo_reply(sock, data, from);
    });
    std::string out_path = tooltest::temp_path();
    std::string err_path = tooltest::temp_path();
    pid_t pid = tooltest::start_program({"-h", "127.0.0.1", "-p", std::to_string(peer.port), "-c", "100", "-t", "30"},
                                        out_path, err_path);
    double deadline = platform::monotonic_seconds() + 20.0;
    while (peer.received < 4 && platform::monotonic_seconds() < deadline) platform::Sleep(10);
    ASSERT_EQ(peer.received, 4);
    platform::Sleep(200);  // the sender is now waiting for reply 3
    kill(pid, SIGKILL);
    EXPECT_EQ(tooltest::wait_program(pid, 10.0), -1000 - SIGKILL);
    std::string out = tooltest::read_file(out_path);
    for (int i = 0; i < 4; i++) EXPECT_EQ(count_matching(out, send_line(i, i, i, peer.port, 8192, 8192)), 1) << out;
    for (int i = 0; i < 3; i++) EXPECT_EQ(count_matching(out, receive_line(i, i + 1, i, peer.port, 9192, i)), 1) << out;
    std::remove(out_path.c_str());
    std::remove(err_path.c_str());
}

// socat, a plain echo server that is not ours: replies are the probes unchanged.
TEST(ToolSenderProgram, AgainstSocatEchoServer) {
    if (system("command -v socat >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "socat is not installed: no foreign echo server to measure against";
    int port = tooltest::free_port();
    pid_t socat = fork();
    if (socat == 0) {
        std::string address = "UDP4-RECVFROM:" + std::to_string(port) + ",bind=127.0.0.1,fork";
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execlp("socat", "socat", "-T", "60", address.c_str(), "PIPE", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_TRUE(tooltest::wait_port_taken(port, 10.0));
    tooltest::run_result r = tooltest::run_program(
        {"-h", "127.0.0.1", "-p", std::to_string(port), "-c", "30", "--sendsize=512", "-t", "2"}, 120.0);
    kill(socat, SIGTERM);
    tooltest::wait_program(socat, 10.0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count_matching(r.out, ".*udp_recv\\(127\\.0\\.0\\.1:" + std::to_string(port) + "\\): recvsize=512 .*"),
              30)
        << r.out;
    EXPECT_TRUE(ends_with(r.out,
                          "main(): sendpkts=30\nmain(): recvpkts=30\nmain(): lastpkts+1=30\n"
                          "main(): recvpkts/sendpkts=100.000[%]\n"))
        << r.out;
}

}  // namespace
