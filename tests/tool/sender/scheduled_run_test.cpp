// Scheduled runs of the real program (--rate=, --send-interval=) against
// scripted loopback peers that drop, swap, delay or copy replies, read back
// from its CSV file and its statistics block; Poisson gaps; the round-trip
// limits on both kinds of run; Ctrl-C; IPv6.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <cmath>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/picture_support.hpp"
#include "tests/support/tool_test_support.hpp"
#include "tool/wire/probe_datagram.hpp"

namespace {

using tooltest::lines_of;
using tooltest::run_program;

// A reply the peer sends once it is due.
struct held_reply {
    double due;
    std::vector<unsigned char> bytes;
    sockaddr_in to;
};

// What a peer does with probe `probe`: reply now (any number of copies),
// later, or not at all, by adding to `out` (due 0: at once).
using peer_script = std::function<void(int probe, std::vector<unsigned char>& reply, std::vector<held_reply>* out)>;

// A loopback peer that answers as its script says, sending held replies
// when they fall due.
struct scripted_peer {
    int sock = -1;
    int port = 0;
    std::atomic<bool> stop{false};
    std::thread thread;

    explicit scripted_peer(peer_script script) {
        sock = tooltest::open_udp(&port);
        thread = std::thread([this, script] {
            std::vector<unsigned char> data(datagram_buffer_size);
            std::deque<held_reply> held;
            while (!stop) {
                double now = platform::monotonic_seconds();
                while (!held.empty() && held.front().due <= now) {
                    const held_reply& r = held.front();
                    platform::sendto(sock, r.bytes.data(), static_cast<int>(r.bytes.size()), 0, &r.to, sizeof r.to);
                    held.pop_front();
                }
                double wait = held.empty() ? 0.05 : std::max(0.0, held.front().due - now);
                sockaddr_in from;
                int length = tooltest::receive_within(sock, data.data(), datagram_buffer_size, wait, &from);
                if (length < 16) continue;
                std::vector<unsigned char> reply(data.begin(), data.begin() + data_value_get(data.data(), value_replysize));
                std::vector<held_reply> out;
                script(data_value_get(data.data(), value_probe), reply, &out);
                for (held_reply& r : out) {
                    r.to = from;
                    if (r.due <= 0.0) {
                        platform::sendto(sock, r.bytes.data(), static_cast<int>(r.bytes.size()), 0, &from, sizeof from);
                    } else {
                        held.push_back(r);  // every script holds for one fixed time: due times stay in order
                    }
                }
            }
        });
    }
    ~scripted_peer() {
        stop = true;
        thread.join();
        platform::closesocket(sock);
    }
};

void reply_now(std::vector<unsigned char>& reply, std::vector<held_reply>* out) { out->push_back({0.0, reply, {}}); }

// The CSV file of a run: rows by column name, and the summary.
struct csv_file {
    std::vector<std::map<std::string, std::string>> rows;
    std::map<std::string, std::string> summary;
};

std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> fields;
    std::string field;
    for (char c : line) {
        if (c == ',') {
            fields.push_back(field);
            field.clear();
        } else if (c != '"') {
            field += c;
        }
    }
    fields.push_back(field);
    return fields;
}

csv_file read_csv(const std::string& path) {
    csv_file csv;
    std::vector<std::string> lines = lines_of(tooltest::read_file(path));
    if (lines.empty()) return csv;
    std::vector<std::string> header = split(lines[0]);
    std::size_t at = 1;
    for (; at < lines.size() && !lines[at].empty(); at++) {
        std::vector<std::string> fields = split(lines[at]);
        std::map<std::string, std::string> row;
        for (std::size_t k = 0; k < header.size() && k < fields.size(); k++) row[header[k]] = fields[k];
        csv.rows.push_back(row);
    }
    for (at += 2; at < lines.size(); at++) {
        std::vector<std::string> fields = split(lines[at]);
        if (fields.size() == 2) csv.summary[fields[0]] = fields[1];
    }
    return csv;
}

double number(const std::map<std::string, std::string>& row, const std::string& key) {
    auto found = row.find(key);
    return found == row.end() || found->second.empty() ? NAN : std::stod(found->second);
}

struct scheduled_run {
    tooltest::run_result result;
    csv_file csv;
};

scheduled_run run_scheduled(int port, std::vector<std::string> extra, const char* host = "127.0.0.1") {
    std::string csv_path = tooltest::temp_path();
    std::vector<std::string> args = {"-h", host, "-p", std::to_string(port), "--sendsize=64", "--recvsize=64",
                                     "--quiet", "--stats", "--csv=" + csv_path};
    args.insert(args.end(), extra.begin(), extra.end());
    scheduled_run run{run_program(args, 60.0), read_csv(csv_path)};
    std::remove(csv_path.c_str());
    return run;
}

// --- scripted peers at 1000 probes per second --------------------------------------

struct peer_case {
    const char* name;
    peer_script script;
    std::string copies;                     // replies of an answered probe
    std::map<std::string, double> summary;  // CSV summary figures expected exactly
};

TEST(ToolScheduledRun, ScriptedPeersGiveLossPeriodsReorderingAndCopies) {
    const std::vector<peer_case> cases = {
        {"every 10th dropped",
         [](int probe, std::vector<unsigned char>& reply, std::vector<held_reply>* out) {
             if (probe % 10 != 9) reply_now(reply, out);
         },
         "1",
         {{"answered", 900}, {"lost", 100}, {"loss", 10.0}, {"loss_periods", 100}, {"loss_period_mean", 1},
          {"loss_period_longest", 1}, {"reordered", 0}, {"duplicate_replies", 0}}},
        {"five in a row dropped",
         [](int probe, std::vector<unsigned char>& reply, std::vector<held_reply>* out) {
             if (probe < 500 || probe >= 505) reply_now(reply, out);
         },
         "1",
         {{"lost", 5}, {"loss", 0.5}, {"loss_periods", 1}, {"loss_period_mean", 5}, {"loss_period_longest", 5}}},
        {"pairs swapped",
         [](int probe, std::vector<unsigned char>& reply, std::vector<held_reply>* out) {
             static std::vector<unsigned char> even;
             if (probe % 2 == 0) {
                 even = reply;
                 return;
             }
             reply_now(reply, out);
             reply_now(even, out);
         },
         "1",
         {{"answered", 1000}, {"lost", 0}, {"reordered", 500}, {"reordered_ratio", 50.0}, {"reorder_extent_max", 1},
          {"reorder_extent_mean", 1}}},
        // The last probe is answered once: the run ends as soon as every
        // probe is answered, and a copy behind that answer would miss it.
        {"every reply but the last twice",
         [](int probe, std::vector<unsigned char>& reply, std::vector<held_reply>* out) {
             reply_now(reply, out);
             if (probe < 999) reply_now(reply, out);
         },
         "2",
         {{"answered", 1000}, {"lost", 0}, {"duplicate_replies", 999}, {"reordered", 0}}},
    };
    for (const peer_case& c : cases) {
        scripted_peer peer(c.script);
        std::string svg_path = tooltest::temp_path();
        // A wait of a second: a peer thread held off the processor for a
        // while on a busy machine still answers each probe within it.
        scheduled_run run = run_scheduled(peer.port, {"--rate=1000", "-c", "1000", "-t", "1", "--svg=" + svg_path});
        ASSERT_EQ(run.result.status, 0) << c.name << run.result.err;
        ASSERT_EQ(run.csv.rows.size(), 1000U) << c.name;
        EXPECT_EQ(run.csv.summary["schedule"], "fixed") << c.name;
        EXPECT_EQ(run.csv.summary["probes"], "1000") << c.name;
        EXPECT_EQ(run.csv.summary["cut_short"], "0") << c.name;
        EXPECT_EQ(run.csv.summary["late_replies"], "0") << c.name;
        for (const auto& [key, value] : c.summary) EXPECT_NEAR(number(run.csv.summary, key), value, 1e-9) << c.name << " " << key;
        // The table agrees with the figures: each probe once, its copies counted.
        int answered = 0;
        for (std::size_t k = 0; k < run.csv.rows.size(); k++) {
            const auto& row = run.csv.rows[k];
            const bool got = row.at("outcome") == "answered";
            answered += got ? 1 : 0;
            EXPECT_EQ(row.at("reply"), got ? "own" : "never") << c.name;
            EXPECT_EQ(row.at("arrival_order").empty(), !got) << c.name;
            if (got) {
                EXPECT_EQ(row.at("replies"), k + 1 < run.csv.rows.size() ? c.copies : "1") << c.name << " " << k;
            }
        }
        EXPECT_EQ(std::to_string(answered), run.csv.summary["answered"]) << c.name;
        EXPECT_EQ(run.csv.summary["recvpkts"], run.csv.summary["answered"]) << c.name;
        EXPECT_EQ(tooltest::count_matching(run.result.out, "main\\(\\): i=\\d{6} Stime=.*"), 1000) << c.name;
        EXPECT_NE(run.result.out.find("stats(): loss periods=" + run.csv.summary["loss_periods"] + " "),
                  std::string::npos)
            << c.name << run.result.out;
        // The picture draws every probe, the lost ones on the axis.
        std::string svg = tooltest::read_file(svg_path);
        EXPECT_EQ(tooltest::svg_marks(svg, "own").size(), static_cast<std::size_t>(answered)) << c.name;
        EXPECT_EQ(tooltest::svg_marks(svg, "lost").size(), static_cast<std::size_t>(1000 - answered)) << c.name;
        std::remove(svg_path.c_str());
    }
}

// Every reply 20 ms late: the round trips are the delay, and the sender,
// 100 probes a second, keeps to its schedule; the interval lines and the
// JSON file show it.
TEST(ToolScheduledRun, DelayedRepliesDoNotDelayTheSchedule) {
    scripted_peer peer([](int, std::vector<unsigned char>& reply, std::vector<held_reply>* out) {
        out->push_back({platform::monotonic_seconds() + 0.020, reply, {}});
    });
    std::string json_path = tooltest::temp_path();
    scheduled_run run =
        run_scheduled(peer.port, {"--send-interval=0.01", "-c", "200", "-t", "0.5", "--every=0.5", "--json=" + json_path});
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    ASSERT_EQ(run.csv.rows.size(), 200U);
    // The peer's own timer wakes late now and then on a busy machine: the
    // shortest round trip and the median tell the delay.
    std::vector<double> rtts;
    for (const auto& row : run.csv.rows) rtts.push_back(number(row, "rtt"));
    std::sort(rtts.begin(), rtts.end());
    EXPECT_GE(rtts.front(), 0.0200);
    EXPECT_LE(rtts[rtts.size() / 2], 0.0215);
    EXPECT_LT(number(run.csv.summary, "lag_p99"), 0.001);
    // Probe k was due k * 10 ms after the start, and left then.
    for (std::size_t k = 0; k < run.csv.rows.size(); k++) {
        EXPECT_NEAR(number(run.csv.rows[k], "scheduled"), 0.01 * static_cast<double>(k), 1e-9) << k;
        EXPECT_GE(number(run.csv.rows[k], "send_time"), number(run.csv.rows[k], "scheduled")) << k;
    }
    std::vector<std::string> every =
        tooltest::matching(lines_of(run.result.out), "every\\(\\): " + tooltest::stamp +
                                                         " t=\\S+ sent=\\d+ received=\\d+ loss=\\S+ rtt median=\\S+ "
                                                         "p99=\\S+ \\[s\\] lag p99=\\S+ max=\\S+ \\[s\\]");
    EXPECT_GE(every.size(), 3U) << run.result.out;

    // Python's own parser reads the same figures and columns from the JSON file.
    std::string script = tooltest::temp_path(), read_back = tooltest::temp_path();
    std::FILE* code = std::fopen(script.c_str(), "w");
    std::fputs("import json, sys\n"
               "d = json.load(open(sys.argv[1]))\n"
               "s = d['summary']['schedule']\n"
               "p = d['probes']\n"
               "print(s['shape'], s['answered'], '%.9f' % s['lag_p99'], len(p))\n"
               "print(*('%.9f %.9f %d %s' % (q['scheduled'], q['send_time'], q['arrival_order'], q['outcome'])\n"
               "        for q in p[:2]))\n",
               code);
    std::fclose(code);
    ASSERT_EQ(std::system(("/usr/bin/python3 " + script + " " + json_path + " >" + read_back).c_str()), 0);
    std::vector<std::string> lines = lines_of(tooltest::read_file(read_back));
    ASSERT_EQ(lines.size(), 2U);
    EXPECT_EQ(lines[0], "fixed 200 " + run.csv.summary["lag_p99"] + " 200");
    const auto& r0 = run.csv.rows[0];
    const auto& r1 = run.csv.rows[1];
    EXPECT_EQ(lines[1], r0.at("scheduled") + " " + r0.at("send_time") + " " + r0.at("arrival_order") + " " +
                            r0.at("outcome") + " " + r1.at("scheduled") + " " + r1.at("send_time") + " " +
                            r1.at("arrival_order") + " " + r1.at("outcome"));
    for (const std::string& path : {json_path, script, read_back}) std::remove(path.c_str());
}

// Poisson gaps of mean 1 ms from a fixed seed: their mean and spread as an
// exponential distribution has them, in the schedule and in the sends; the
// same seed gives the same schedule, and a drawn seed is printed.
TEST(ToolScheduledRun, PoissonGapsHaveTheMeanAndSpreadAndRepeatWithTheSeed) {
    scripted_peer peer([](int, std::vector<unsigned char>& reply, std::vector<held_reply>* out) { reply_now(reply, out); });
    scheduled_run run =
        run_scheduled(peer.port, {"--rate=1000", "--schedule=poisson", "--seed=20261208", "-c", "10000", "-t", "0.2"});
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    ASSERT_EQ(run.csv.rows.size(), 10000U);
    EXPECT_EQ(run.csv.summary["schedule"], "poisson");
    EXPECT_EQ(run.csv.summary["seed"], "20261208");
    for (const char* column : {"scheduled", "send_time"}) {
        double sum = 0.0, squares = 0.0;
        const int gaps = 9999;
        for (int k = 0; k < gaps; k++) {
            double gap = number(run.csv.rows[k + 1], column) - number(run.csv.rows[k], column);
            sum += gap;
            squares += gap * gap;
        }
        double mean = sum / gaps;
        EXPECT_NEAR(mean, 0.001, 0.00002) << column;
        if (std::string(column) == "scheduled") {
            double cv = std::sqrt(squares / gaps - mean * mean) / mean;
            EXPECT_GT(cv, 0.9);
            EXPECT_LT(cv, 1.1);
        }
    }
    scheduled_run again = run_scheduled(peer.port, {"--rate=1000", "--schedule=poisson", "--seed=20261208", "-c", "50"});
    ASSERT_EQ(again.csv.rows.size(), 50U);
    for (int k = 0; k < 50; k++) EXPECT_EQ(again.csv.rows[k]["scheduled"], run.csv.rows[k]["scheduled"]) << k;

    scheduled_run drawn = run_scheduled(peer.port, {"--rate=1000", "--schedule=poisson", "-c", "50"});
    std::vector<std::string> line = tooltest::matching(
        lines_of(drawn.result.out), "echomark_connect\\(\\): schedule=poisson interval=0\\.001000000 rate=1000\\.000 "
                                    "seed=\\d+ window=\\d+");
    ASSERT_EQ(line.size(), 1U) << drawn.result.out;
    std::string seed = line[0].substr(line[0].find("seed=") + 5);
    seed = seed.substr(0, seed.find(' '));
    EXPECT_EQ(drawn.csv.summary["seed"], seed);
    scheduled_run repeated = run_scheduled(peer.port, {"--rate=1000", "--schedule=poisson", "--seed=" + seed, "-c", "50"});
    ASSERT_EQ(repeated.csv.rows.size(), 50U);
    for (int k = 0; k < 50; k++) EXPECT_EQ(repeated.csv.rows[k]["scheduled"], drawn.csv.rows[k]["scheduled"]) << k;
}

// --fail-rtt= and --fail-jitter= on both kinds of run: 2 when the figure is
// above the limit, 0 when not, also with --fail-loss= met.
TEST(ToolScheduledRun, RoundTripAndJitterLimitsSetTheExitStatus) {
    scripted_peer peer([](int, std::vector<unsigned char>& reply, std::vector<held_reply>* out) { reply_now(reply, out); });
    struct limit_case {
        std::string limit;
        int status;
    };
    const std::vector<limit_case> limits = {
        {"--fail-rtt=p99:10", 0},      {"--fail-rtt=median:10", 0}, {"--fail-rtt=max:10", 0},
        {"--fail-rtt=p90:0.0000001", 2}, {"--fail-rtt=max:0", 2},      {"--fail-rtt=p50:0", 2},
        {"--fail-jitter=10", 0},       {"--fail-jitter=0", 2},
    };
    for (const std::vector<std::string>& kind :
         {std::vector<std::string>{"-c", "20", "--interval=0"}, std::vector<std::string>{"--rate=2000", "-c", "100"}}) {
        for (const limit_case& c : limits) {
            std::vector<std::string> args = kind;
            args.push_back(c.limit);
            args.push_back("--fail-loss=0");
            scheduled_run run = run_scheduled(peer.port, args);
            EXPECT_EQ(run.result.status, c.status) << kind[0] << " " << c.limit << run.result.err;
        }
    }
    // Nobody answers: no round trip is above any limit, but none exists.
    int silent_port = 0;
    int silent = tooltest::open_udp(&silent_port);
    EXPECT_EQ(run_scheduled(silent_port, {"--rate=1000", "-c", "5", "-t", "0.05", "--fail-rtt=max:10"}).result.status,
              2);
    platform::closesocket(silent);
}

// Ctrl-C in a long scheduled run over IPv6 against the real responder: the
// run ends at once with the closing lines, the report and the figures, the
// probes in flight neither answered nor lost.
TEST(ToolScheduledRun, CtrlCEndsAnIpv6RunAtOnceWithTheReport) {
    int port = tooltest::free_port();
    std::string out_path = tooltest::temp_path(), err_path = tooltest::temp_path();
    // On :: the responder holds the IPv4 port too, which shows when it is ready.
    pid_t responder =
        tooltest::start_program({"-l", "-h", "::", "-p", std::to_string(port), "--quiet"}, out_path, err_path);
    ASSERT_TRUE(tooltest::wait_port_taken(port, 10.0));
    std::string run_out = tooltest::temp_path(), run_err = tooltest::temp_path();
    pid_t sender = tooltest::start_program({"-h", "::1", "-p", std::to_string(port), "--rate=1000", "--count=100000",
                                            "-t", "5", "--sendsize=64", "--recvsize=64", "--quiet", "--stats"},
                                           run_out, run_err);
    platform::Sleep(1000);
    double stopped = platform::monotonic_seconds();
    kill(sender, SIGINT);
    int status = tooltest::wait_program(sender, 10.0);
    double took = platform::monotonic_seconds() - stopped;
    kill(responder, SIGKILL);
    tooltest::wait_program(responder, 10.0);
    std::string out = tooltest::read_file(run_out);
    EXPECT_EQ(status, 0) << out;
    EXPECT_LT(took, 1.0);
    EXPECT_EQ(out.rfind("echomark_connect(): connaddr=create_sockaddr6in(AF_INET6, ipaddr=::1, ipport=" +
                            std::to_string(port) + "):\n",
                        0),
              0U)
        << out;
    std::vector<std::string> stop = tooltest::matching(lines_of(out), "echomark_connect\\(\\): stopped by signal 2 at i=(\\d+)");
    ASSERT_EQ(stop.size(), 1U) << out;
    long sent = std::stol(stop[0].substr(stop[0].rfind('=') + 1));
    EXPECT_GT(sent, 500);
    EXPECT_LT(sent, 5000);
    EXPECT_EQ(tooltest::count_matching(out, "main\\(\\): i=\\d{6} Stime=.*"), sent);
    EXPECT_EQ(tooltest::count_matching(out, "main\\(\\): sendpkts=" + std::to_string(sent)), 1) << out;
    std::vector<std::string> probes = tooltest::matching(lines_of(out), "stats\\(\\): probes=(\\d+) answered=(\\d+) .*");
    ASSERT_EQ(probes.size(), 1U) << out;
    EXPECT_EQ(probes[0].rfind("stats(): probes=" + std::to_string(sent) + " ", 0), 0U) << probes[0];
    EXPECT_EQ(tooltest::count_matching(out, "stats\\(\\): probes=\\d+ answered=\\d+ lost=0 loss=0\\.000\\[%\\] "
                                            "\\(cut_short=0\\) stopped=\\d+ unsent=0"),
              1)
        << out;
    for (const std::string& path : {out_path, err_path, run_out, run_err}) std::remove(path.c_str());
}

}  // namespace
