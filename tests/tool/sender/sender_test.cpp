// Probe sender: against our responder, a silent port, scripted peers that
// drop, delay or forge replies, a plain echo server, and the program's report.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/tool_test_support.hpp"
#include "tool/echomarkcli-select.hpp"
#include "tool/record/probe_facts.hpp"
#include "tool/report/statistics.hpp"
#include "tool/sender/sender.hpp"

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

// The records are large; one static instance of each serves every run.
echomark_record sender_record;
probe_facts sender_facts;
long_run sender_whole;

// The sender with the settings of a basic run; its facts are left in
// sender_facts.
sender_run run_sender(int port, double timeout, int count, int sendsize = 100, int recvsize = 100) {
    sender_settings settings;
    settings.ipaddr = "127.0.0.1";
    settings.ipport = port;
    settings.timeout = timeout;
    settings.count = count;
    settings.sendsize = sendsize;
    settings.recvsize = recvsize;
    recorder rec = {&sender_record, &sender_facts, &sender_whole, nullptr};
    ::testing::internal::CaptureStdout();
    double start = platform::monotonic_seconds();
    ::sender_run(&settings, &rec);
    double seconds = platform::monotonic_seconds() - start;
    return {::testing::internal::GetCapturedStdout(), seconds, &sender_record};
}

// The same run through the measurement's plain interface.
sender_run run_plain(int port, double timeout, int count, int sendsize, int recvsize) {
    ::testing::internal::CaptureStdout();
    double start = platform::monotonic_seconds();
    echomark_connect("127.0.0.1", port, timeout, count, sendsize, recvsize, &sender_record);
    double seconds = platform::monotonic_seconds() - start;
    return {::testing::internal::GetCapturedStdout(), seconds, &sender_record};
}

void compute(const probe_facts* facts, run_statistics* stats) {
    static statistics_scratch scratch;
    statistics_compute(facts, stats, &scratch);
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
    sender_run run = run_plain(responder.port, 2.0, 20, 8192, 9192);
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
// followed at once by probe 4's, which cycle 4 still takes as its own.
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
    // Cycle 4 takes the late reply to probe 3 and shows slot 4, not yet
    // timed; it goes on waiting and takes its own reply.
    EXPECT_EQ(count_matching(run.out, receive_line(4, 5, 2, port, 64, 3, "0\\.000000")), 1) << run.out;
    EXPECT_EQ(count_matching(run.out, receive_line(4, 5, 3, port, 64, 4, "0\\.0[3-9]\\d{4}")), 1) << run.out;
    EXPECT_EQ(count_matching(run.out, receive_line(5, 6, 4, port, 64, 5)), 1) << run.out;
    // The drain waits once for probe 1's reply.
    EXPECT_EQ(count_matching(run.out, drain_timeout_line(5, 6, 5)), 1) << run.out;
    EXPECT_EQ(count_matching(run.out, ".*:2 .*"), 1) << run.out;
    EXPECT_TRUE(ends_with(run.out, closing(6, 5, 6, "recvpkts/sendpkts=83.333[%]"))) << run.out;
    const echomark_record& r = *run.record;
    EXPECT_EQ(r.Rtime[1], 0.0);
    EXPECT_GE(r.Rtime[3], 0.03);  // the 50 ms wait of cycle 4
    EXPECT_LT(r.Rtime[3], 0.4);
    EXPECT_GE(r.Rtime[4], r.Rtime[3]);
    EXPECT_EQ(r.lastpkts, 5);
    // The round trip of the late reply runs from its own send, three time-outs
    // of cycle 3's wait plus cycle 4's 50 ms earlier.
    const probe_facts& f = sender_facts;
    EXPECT_EQ(f.kind[3], reply_late);
    EXPECT_GE(f.rtt[3], 0.4 + 0.05);
    EXPECT_EQ(f.kind[4], reply_own);
    EXPECT_GE(f.rtt[4], 0.05);
    EXPECT_LT(f.rtt[4], 0.4);
    EXPECT_EQ(f.kind[1], reply_never);
    EXPECT_EQ(f.rtt[1], 0.0);
}

// Every reply comes three times: the copies are logged and taken, each cycle
// still gets its own reply, and each probe counts once.
TEST(ToolSender, RepliesSentThreeTimesCountOnce) {
    scripted_peer peer([](int sock, unsigned char* data, int, const sockaddr_in& from, int) {
        for (int copy = 0; copy < 3; copy++) echo_reply(sock, data, from);
    });
    sender_run run = run_sender(peer.port, 0.5, 20, 100, 32);
    EXPECT_EQ(count_matching(run.out, receive_line(1, 2, 1, peer.port, 32, 0)), 2) << run.out;
    EXPECT_EQ(count_matching(run.out, receive_line(1, 2, 1, peer.port, 32, 1)), 1) << run.out;
    EXPECT_EQ(count_matching(run.out, receive_line(19, 20, 19, peer.port, 32, 19)), 1) << run.out;
    EXPECT_EQ(run.out.find(":2 "), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("TIMEOUT"), std::string::npos) << run.out;
    EXPECT_TRUE(ends_with(run.out, closing(20, 20, 20, "recvpkts/sendpkts=100.000[%]"))) << run.out;
    run_statistics stats;
    compute(&sender_facts, &stats);
    EXPECT_EQ(stats.own, 20);
    EXPECT_EQ(stats.never, 0);
    EXPECT_EQ(stats.foreign, 0);
    // The last probe's two copies are never read.
    EXPECT_EQ(stats.duplicates, 38);
    EXPECT_EQ(stats.rtt.count, 20);
}

// One reply held back for three time-outs is taken late, in whichever cycle
// it arrives, and every later probe still gets its own reply and round trip.
TEST(ToolSender, ReplyHeldThreeTimeOutsLeavesLaterProbesOwn) {
    struct held_reply {
        std::vector<unsigned char> data = std::vector<unsigned char>(datagram_buffer_size);
        double due = 0.0;
    };
    static held_reply held;
    held.due = 0.0;
    scripted_peer peer([](int sock, unsigned char* data, int, const sockaddr_in& from, int) {
        if (data_value_get(data, value_probe) == 2) {
            std::copy(data, data + datagram_buffer_size, held.data.begin());
            held.due = platform::monotonic_seconds() + 0.3;
            return;
        }
        if (held.due > 0.0 && platform::monotonic_seconds() >= held.due) {
            echo_reply(sock, held.data.data(), from);
            held.due = 0.0;
        }
        echo_reply(sock, data, from);
    });
    sender_run run = run_sender(peer.port, 0.1, 400, 100, 32);
    EXPECT_EQ(count_matching(run.out, ".*TIMEOUT.*"), 1) << run.out;
    EXPECT_EQ(count_matching(run.out, read_timeout_line(2, 3, 2)), 1) << run.out;
    EXPECT_EQ(count_matching(run.out, ".* lastpkts=000002 .*"), 1) << run.out;
    EXPECT_EQ(run.out.find(":2 "), std::string::npos) << run.out;
    EXPECT_TRUE(ends_with(run.out, closing(400, 400, 400, "recvpkts/sendpkts=100.000[%]"))) << run.out;
    const probe_facts& f = sender_facts;
    EXPECT_EQ(f.kind[2], reply_late);
    EXPECT_GE(f.rtt[2], 0.3);
    EXPECT_LT(f.rtt[2], 1.0);
    int own_and_timed = 0;
    for (int i = 0; i < 400; i++) {
        if (i != 2 && f.kind[i] == reply_own && f.rtt[i] > 0.0 && f.rtt[i] < 0.1) own_and_timed++;
    }
    EXPECT_EQ(own_and_timed, 399);
}

// The round trip runs from just before the send to the reply's arrival: a
// peer that holds every reply 20 ms shows 20 ms and a little more.
TEST(ToolSender, RoundTripOfAPeerDelayingEveryReplyIsTheDelay) {
    scripted_peer peer([](int sock, unsigned char* data, int, const sockaddr_in& from, int) {
        platform::pause_seconds(0.020);
        echo_reply(sock, data, from);
    });
    platform::clock_reading before = platform::realtime_now();
    sender_run run = run_sender(peer.port, 0.5, 15, 64, 64);
    EXPECT_TRUE(ends_with(run.out, closing(15, 15, 15, "recvpkts/sendpkts=100.000[%]"))) << run.out;
    run_statistics stats;
    compute(&sender_facts, &stats);
    ASSERT_EQ(stats.rtt.count, 15);
    EXPECT_GE(stats.rtt.median, 0.0200);
    EXPECT_LE(stats.rtt.median, 0.0215);
    EXPECT_GE(stats.rtt.min, 0.0200);
    // Each probe's wall-clock send time lies within the run, in order.
    double start = static_cast<double>(before.seconds) + before.nanoseconds / 1e9;
    EXPECT_GE(sender_facts.sent_at[0], start);
    EXPECT_LT(sender_facts.sent_at[14], start + run.seconds);
    EXPECT_GT(sender_facts.sent_at[14] - sender_facts.sent_at[0], 14 * 0.020);
}

// The drain waits for the probes really missing: an empty datagram taken
// there is no reply, and the reply behind it is still taken.
TEST(ToolSender, DrainTakesTheMissingReplyBehindAnEmptyDatagram) {
    scripted_peer peer([](int sock, unsigned char* data, int, const sockaddr_in& from, int index) {
        if (index == 2) {
            platform::Sleep(750);  // past the cycle's wait, inside the drain's
            platform::sendto(sock, data, 0, 0, &from, sizeof from);
        }
        echo_reply(sock, data, from);
    });
    sender_run run = run_sender(peer.port, 0.5, 3, 100, 32);
    EXPECT_EQ(count_matching(run.out, read_timeout_line(2, 3, 2)), 1) << run.out;
    // Nothing of the empty datagram's header arrived, so it names no probe.
    EXPECT_EQ(count_matching(run.out, stamp + " echomark_connect\\(\\):2 " + cycle(2, 3, 2) +
                                          " sendsize=udp_recv\\(127\\.0\\.0\\.1:" + std::to_string(peer.port) +
                                          "\\): recvsize=0 lastpkts=000000"),
              1)
        << run.out;
    EXPECT_EQ(
        count_matching(run.out, stamp + " echomark_connect\\(\\):2 " + cycle(2, 3, 2) +
                                    " recvsize=udp_recv\\(\\): recvsize=0 if \\(recvsize<=0\\): recvsize=0:Success"),
        1)
        << run.out;
    EXPECT_EQ(count_matching(run.out, stamp + " echomark_connect\\(\\):2 " + cycle(3, 3, 2) +
                                          " sendsize=udp_recv\\(127\\.0\\.0\\.1:" + std::to_string(peer.port) +
                                          "\\): recvsize=32 lastpkts=000002"),
              1)
        << run.out;
    EXPECT_EQ(count_matching(run.out, ".*:2 .*"), 3) << run.out;
    EXPECT_TRUE(ends_with(run.out, closing(3, 3, 3, "recvpkts/sendpkts=100.000[%]"))) << run.out;
    EXPECT_EQ(sender_facts.kind[2], reply_drain);
    EXPECT_GE(sender_facts.rtt[2], 0.75);
    EXPECT_EQ(sender_facts.foreign, 1);
}

// A stream of datagrams that are no reply keeps neither the cycle nor the
// drain waiting beyond its time-out.
TEST(ToolSender, DatagramsThatAreNoReplyNeverExtendTheWaits) {
    scripted_peer peer([](int sock, unsigned char* data, int, const sockaddr_in& from, int index) {
        if (index < 2) {
            echo_reply(sock, data, from);
            return;
        }
        for (int k = 0; k < 60; k++) {
            platform::sendto(sock, data, 1, 0, &from, sizeof from);
            platform::Sleep(25);
        }
    });
    sender_run run = run_sender(peer.port, 0.5, 3, 100, 32);
    EXPECT_EQ(count_matching(run.out, read_timeout_line(2, 3, 2)), 1) << run.out;
    // The drain counts a wait per datagram taken and ends at its time-out.
    EXPECT_EQ(count_matching(run.out, stamp + " echomark_connect\\(\\):2 i=\\d{6} S=000003 R=000002 TIMEOUT: .*"), 1)
        << run.out;
    EXPECT_GE(count_matching(run.out, ".*:1 " + cycle(2, 3, 2) + " sendsize=udp_recv.* recvsize=1 lastpkts=000000 .*"),
              10)
        << run.out;
    EXPECT_TRUE(ends_with(run.out, closing(3, 2, 3, "recvpkts/sendpkts=66.667[%]"))) << run.out;
    // The cycle's time-out and the drain's one, not the stream's 1.5 s.
    EXPECT_GE(run.seconds, 0.95);
    EXPECT_LT(run.seconds, 1.4);
}

// Each good reply is followed by a 1 ms pause.
TEST(ToolSender, EveryGoodReplyIsFollowedByTheOneMillisecondPause) {
    scripted_peer peer(
        [](int sock, unsigned char* data, int, const sockaddr_in& from, int) { echo_reply(sock, data, from); });
    sender_run run = run_sender(peer.port, 2.0, 100, 32, 32);
    EXPECT_TRUE(ends_with(run.out, closing(100, 100, 100, "recvpkts/sendpkts=100.000[%]"))) << run.out;
    EXPECT_GE(run.seconds, 0.1);
}

// Replies naming no probe sent in this run, and a reply to probe 2 from
// another port (other_port), are logged and counted as foreign only.
TEST(ToolSender, RepliesWithForeignProbeNumbersAreLoggedButNotRecorded) {
    constexpr int other_port = 2;
    for (int foreign : {-1, echomark_slots, INT_MAX, INT_MIN, 5000, 3, other_port}) {
        int other = 0;
        int other_sock = tooltest::open_udp(&other);
        scripted_peer peer([foreign, other_sock](int sock, unsigned char* data, int, const sockaddr_in& from, int) {
            if (data_value_get(data, value_probe) == 2) {
                if (foreign == other_port) sock = other_sock;
                data_value_set(data, value_probe, foreign);
            }
            echo_reply(sock, data, from);
        });
        sender_run run = run_sender(peer.port, 0.2, 3, 100, 32);
        EXPECT_EQ(
            count_matching(run.out, receive_line(2, 3, 2, foreign == other_port ? other : peer.port, 32, foreign)), 1)
            << run.out;
        EXPECT_EQ(run.record->recvpkts, 2) << foreign;
        EXPECT_EQ(run.record->Rtime[2], 0.0) << foreign;
        EXPECT_EQ(sender_facts.foreign, 1) << foreign;
        // The cycle goes on waiting for its reply, and the drain once more.
        EXPECT_EQ(count_matching(run.out, read_timeout_line(2, 3, 2)), 1) << run.out;
        EXPECT_EQ(count_matching(run.out, drain_timeout_line(2, 3, 2)), 1) << run.out;
        // Only what came from the destination names the latest probe number.
        int lastpkts1 = foreign == other_port ? 3 : static_cast<int>(static_cast<uint32_t>(foreign) + 1U);
        EXPECT_TRUE(ends_with(run.out, closing(3, 2, lastpkts1, "recvpkts/sendpkts=66.667[%]"))) << run.out;
        platform::closesocket(other_sock);
    }
}

// A datagram too short to hold a whole probe number is no reply, whatever the
// buffer held before: an empty one is also a failed receive; one 0xFF byte
// or seven are logged as naming no probe.  Nothing is counted or timed.
TEST(ToolSender, DatagramsShorterThanAProbeNumberAreNoReply) {
    for (int size : {0, 1, 7}) {
        scripted_peer peer([size](int sock, unsigned char*, int, const sockaddr_in& from, int) {
            unsigned char junk[8];
            std::memset(junk, 0xFF, sizeof junk);
            platform::sendto(sock, junk, size, 0, &from, sizeof from);
        });
        sender_run run = run_sender(peer.port, 0.2, 2, 100, 32);
        for (int i = 0; i < 2; i++) {
            EXPECT_EQ(count_matching(run.out, receive_line(i, i + 1, 0, peer.port, size, 0, "0\\.000000")), 1)
                << run.out;
            EXPECT_EQ(count_matching(run.out, read_timeout_line(i, i + 1, 0)), 1) << run.out;
        }
        EXPECT_EQ(count_matching(run.out, stamp + " echomark_recv\\(\\):1 .* recvsize=udp_recv\\(\\): recvsize=0 if "
                                                  "\\(recvsize<=0\\): error=0:Success"),
                  size == 0 ? 2 : 0)
            << run.out;
        EXPECT_EQ(count_matching(run.out, drain_timeout_line(0, 2, 0)), 1) << run.out;
        EXPECT_TRUE(ends_with(run.out, closing(2, 0, 2, "recvpkts/sendpkts=0.000[%]"))) << run.out;
        EXPECT_EQ(run.record->Rtime[0], 0.0);
        EXPECT_EQ(run.record->Rtime[1], 0.0);
        EXPECT_EQ(sender_facts.foreign, 2) << size;
    }
}

TEST(ToolSender, SizesBeyondTheBufferNeverLeaveIt) {
    scripted_peer peer(
        [](int sock, unsigned char* data, int, const sockaddr_in& from, int) { echo_reply(sock, data, from); });
    // 65536 bytes fit the buffer but no datagram: the send fails and is
    // reported with the platform's code and text.
    for (int sendsize : {65536, 70000}) {
        sender_run run = run_sender(peer.port, 0.2, 1, sendsize, 16);
        EXPECT_EQ(count_matching(run.out, send_line(0, 0, 0, peer.port, sendsize, -1)), 1) << run.out;
        EXPECT_EQ(count_matching(run.out, stamp + " echomark_send\\(\\):1 " + cycle(0, 0, 0) +
                                              " sendsize=udp_send\\(\\): sendsize=-1 if \\(sendsize<=0\\): "
                                              "error=10040:A message sent on a datagram socket was larger than the "
                                              "internal message buffer or the buffer used to receive it\\."),
                  1)
            << run.out;
        EXPECT_EQ(count_matching(run.out, read_timeout_line(0, 0, 0)), 1) << run.out;
        EXPECT_TRUE(ends_with(run.out, "echomark_connect(): sendpkts==0\n")) << run.out;
        EXPECT_EQ(sender_facts.sent[0], 0);
    }

    sender_run run = run_sender(peer.port, 0.2, 1, -5, 16);
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
