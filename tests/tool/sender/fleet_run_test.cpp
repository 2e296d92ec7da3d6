// Runs of many targets and flows: a far end that drops every reply of one
// source port shows that flow alone; a real Prometheus server scrapes the
// sender probing three targets (one of them dropping a fifth of its
// replies) and a responder, and its queries give each target's loss and the
// responder's counters, while the sender's memory stays flat; names are
// looked up again without waiting.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/metrics_support.hpp"
#include "tests/support/tool_test_support.hpp"
#include "tool/sender/target_lookup.hpp"
#include "tool/wire/probe_datagram.hpp"

namespace {

using tooltest::lines_of;

// Whether a peer answers probe `probe` that came from source port `port`.
using answer_rule = std::function<bool(int probe, int port)>;

// A loopback far end that answers as its rule says and counts what it got.
struct rule_peer {
    int sock = -1;
    int port = 0;
    std::atomic<bool> stop{false};
    std::atomic<long> received{0};
    std::atomic<long> dropped{0};
    std::thread thread;

    explicit rule_peer(answer_rule rule) {
        sock = tooltest::open_udp(&port);
        thread = std::thread([this, rule] {
            std::vector<unsigned char> data(datagram_buffer_size);
            while (!stop) {
                sockaddr_in from;
                int length = tooltest::receive_within(sock, data.data(), datagram_buffer_size, 0.05, &from);
                if (length < datagram_header_size) continue;
                received++;
                if (!rule(data_value_get(data.data(), value_probe), ntohs(from.sin_port))) {
                    dropped++;
                    continue;
                }
                int reply = std::min(data_value_get(data.data(), value_replysize), datagram_buffer_size);
                platform::sendto(sock, data.data(), reply, 0, &from, sizeof from);
            }
        });
    }
    ~rule_peer() {
        stop = true;
        thread.join();
        platform::closesocket(sock);
    }
};

std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> fields;
    std::string field;
    for (char c : line) {
        if (c == ',') {
            fields.push_back(field);
            field.clear();
        } else {
            field += c;
        }
    }
    fields.push_back(field);
    return fields;
}

// The records of a run's CSV file (target and flow rows), by column name.
std::vector<std::map<std::string, std::string>> csv_rows(const std::string& path) {
    std::vector<std::map<std::string, std::string>> rows;
    std::vector<std::string> lines = lines_of(tooltest::read_file(path));
    if (lines.empty()) return rows;
    std::vector<std::string> header = split(lines[0]);
    for (std::size_t at = 1; at < lines.size() && !lines[at].empty(); at++) {
        std::vector<std::string> fields = split(lines[at]);
        std::map<std::string, std::string> row;
        for (std::size_t k = 0; k < header.size() && k < fields.size(); k++) row[header[k]] = fields[k];
        rows.push_back(row);
    }
    return rows;
}

// --- a path that loses one flow --------------------------------------------------------

// The far end drops every reply to the third source port it sees: of eight
// flows, that one alone stands apart, and the files say so too.
TEST(ToolFleetRun, OneSourcePortDroppedShowsThatFlowAlone) {
    std::mutex lock;
    std::vector<int> ports;
    std::atomic<int> doomed{0};
    rule_peer peer([&](int, int port) {
        std::lock_guard<std::mutex> guard(lock);
        if (std::find(ports.begin(), ports.end(), port) == ports.end()) {
            ports.push_back(port);
            if (ports.size() == 3) doomed = port;
        }
        return port != doomed;
    });
    const std::string csv = tooltest::temp_path();
    const std::string target = "--target=127.0.0.1:" + std::to_string(peer.port);
    tooltest::run_result run = tooltest::run_program({target, "--flows=8", "--rate=800", "-c", "1600", "-t", "1",
                                                      "--sendsize=64", "--recvsize=64", "--quiet", "--stats",
                                                      "--every=0.5", "--csv=" + csv},
                                                     60.0);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const std::string label = "127.0.0.1:" + std::to_string(peer.port);
    const std::string dropped = std::to_string(doomed.load());
    ASSERT_NE(doomed.load(), 0);

    std::vector<std::string> apart = tooltest::matching(lines_of(run.out), "main\\(\\): target=.* stands apart:.*");
    ASSERT_EQ(apart.size(), 1U) << run.out;
    EXPECT_TRUE(std::regex_match(apart[0], std::regex("main\\(\\): target=" + label + " flow=\\d port=" + dropped +
                                                      " stands apart: loss=100\\.000\\[%\\] others=0\\.000\\[%\\]")))
        << apart[0];
    EXPECT_EQ(tooltest::count_matching(run.out, "main\\(\\): target=" + label +
                                                    " address=127\\.0\\.0\\.1 sent=1600 answered=1400 lost=200 "
                                                    "loss=12\\.500\\[%\\] rtt median=\\S+ \\[s\\]"),
              1)
        << run.out;
    // One statistics line per flow, each with its own source port.
    std::vector<std::string> flows =
        tooltest::matching(lines_of(run.out), "stats\\(\\): target=" + label + " flow=\\d port=\\d+ probes=200 .*");
    EXPECT_EQ(flows.size(), 8U) << run.out;
    // An interval line per target every half second.
    EXPECT_GE(tooltest::count_matching(run.out, "every\\(\\): " + tooltest::stamp + " target=" + label +
                                                    " t=\\S+ sent=\\d+ received=\\d+ loss=\\S+ rtt median=\\S+ "
                                                    "p99=\\S+ (\\[s\\] )?lag p99=\\S+ max=\\S+( \\[s\\])?"),
              3)
        << run.out;

    std::vector<std::map<std::string, std::string>> rows = csv_rows(csv);
    ASSERT_EQ(rows.size(), 9U);
    EXPECT_EQ(rows[0]["flow"], "all");
    EXPECT_EQ(rows[0]["lost"], "200");
    std::set<std::string> source_ports;
    for (std::size_t k = 1; k < rows.size(); k++) {
        const bool lossy = rows[k]["source_port"] == dropped;
        source_ports.insert(rows[k]["source_port"]);
        EXPECT_EQ(rows[k]["apart"], lossy ? "loss" : "") << k;
        EXPECT_EQ(rows[k]["lost"], lossy ? "200" : "0") << k;
    }
    EXPECT_EQ(source_ports.size(), 8U);
    std::remove(csv.c_str());
}

// --- Prometheus over a sender of three targets and a responder ------------------------

// What an instant query gives for every series, by the value of one label.
std::map<std::string, double> query_by(int port, const std::string& promql, const std::string& label) {
    std::map<std::string, double> values;
    metricstest::http_reply reply =
        metricstest::ask(port, metricstest::get("/api/v1/query?query=" + metricstest::url_encoded(promql)), 5.0);
    const std::string key = "\"" + label + "\":\"";
    for (std::size_t at = reply.body.find(key); at != std::string::npos; at = reply.body.find(key, at + 1)) {
        std::size_t from = at + key.size();
        std::string name = reply.body.substr(from, reply.body.find('"', from) - from);
        std::size_t value = reply.body.find("\"value\":[", at);
        std::size_t comma = value == std::string::npos ? value : reply.body.find(",\"", value);
        if (comma != std::string::npos) values[name] = std::strtod(reply.body.c_str() + comma + 2, nullptr);
    }
    return values;
}

// The peak resident size of a running program, in KiB (VmHWM); -1 when unknown.
long peak_resident_kib(pid_t pid) {
    std::vector<std::string> lines = lines_of(tooltest::read_file("/proc/" + std::to_string(pid) + "/status"));
    for (const std::string& line : lines) {
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

TEST(ToolFleetRun, PrometheusGivesEachTargetsLossAndTheRespondersCounters) {
    if (!metricstest::installed(metricstest::prometheus_path) || !metricstest::installed(metricstest::promtool_path))
        GTEST_SKIP() << "prometheus or promtool is not installed (Debian package prometheus): no real scraper";
    // Two of the project's responders, one of them watched, and a far end
    // that drops every fifth reply.
    const int watched_port = tooltest::free_port();
    const int plain_port = tooltest::free_port();
    const int responder_metrics = metricstest::free_tcp_port();
    const std::string log = tooltest::temp_path();
    pid_t watched = tooltest::start_program({"-l", "-h", "127.0.0.1", "-p", std::to_string(watched_port), "--quiet",
                                             "--metrics=" + std::to_string(responder_metrics)},
                                            log, log);
    pid_t plain =
        tooltest::start_program({"-l", "-h", "127.0.0.1", "-p", std::to_string(plain_port), "--quiet"}, log, log);
    ASSERT_TRUE(tooltest::wait_port_taken(watched_port, 10.0));
    ASSERT_TRUE(tooltest::wait_port_taken(plain_port, 10.0));
    rule_peer lossy([](int probe, int) { return probe % 5 != 4; });

    const int sender_metrics = metricstest::free_tcp_port();
    const std::string csv = tooltest::temp_path();
    const std::string out = tooltest::temp_path();
    const std::string labels[] = {"127.0.0.1:" + std::to_string(watched_port), "127.0.0.1:" + std::to_string(plain_port),
                                  "127.0.0.1:" + std::to_string(lossy.port)};
    pid_t sender = tooltest::start_program({"--target=" + labels[0], "--target=" + labels[1], "--target=" + labels[2],
                                            "--rate=100", "--duration=14", "-t", "1", "--sendsize=64",
                                            "--recvsize=64", "--quiet", "--metrics=" + std::to_string(sender_metrics),
                                            "--csv=" + csv},
                                           out, out);
    metricstest::prometheus_server prometheus;
    ASSERT_TRUE(metricstest::prometheus_start(&prometheus, {sender_metrics, responder_metrics}));
    const int api = prometheus.port;

    // Prometheus' checker takes the sender's page as it is served.
    const std::string page = metricstest::ask(sender_metrics, metricstest::get("/metrics")).body;
    std::string said;
    EXPECT_TRUE(metricstest::promtool_accepts(page, &said)) << said << "\n" << page;

    EXPECT_GT(metricstest::query_within(api, "echomark_sender_probes_sent_total", 20.0), 0.0)
        << tooltest::read_file(prometheus.log_path);
    // Some seconds of scrapes while the run goes on, its memory as it was
    // after the first of them; then the loss of every target as the
    // README's query gives it.
    const long peak_early = peak_resident_kib(sender);
    EXPECT_GT(peak_early, 0);
    platform::Sleep(8000);
    EXPECT_LE(peak_resident_kib(sender) - peak_early, 64) << "the sender's memory grew";
    const std::string loss_query =
        "sum by (target) (rate(echomark_sender_lost_total[1m])) / "
        "sum by (target) (rate(echomark_sender_probes_sent_total[1m]))";
    std::map<std::string, double> loss = query_by(api, loss_query, "target");
    ASSERT_EQ(loss.size(), 3U) << tooltest::read_file(prometheus.log_path);
    const double truth = static_cast<double>(lossy.dropped) / static_cast<double>(lossy.received);
    EXPECT_NEAR(truth, 0.2, 0.01);
    EXPECT_NEAR(loss[labels[0]], 0.0, 0.05);
    EXPECT_NEAR(loss[labels[1]], 0.0, 0.05);
    EXPECT_NEAR(loss[labels[2]], truth, 0.05);

    // The run ends; the watched responder's counters, still scraped, are
    // the probes the sender's file says it sent there.
    EXPECT_EQ(tooltest::wait_program(sender, 30.0), 0) << tooltest::read_file(out);
    std::vector<std::map<std::string, std::string>> rows = csv_rows(csv);
    ASSERT_EQ(rows.size(), 6U) << tooltest::read_file(csv);
    const double sent = std::stod(rows[0]["sent"]);
    EXPECT_GT(sent, 1000.0);
    EXPECT_EQ(rows[0]["target"], labels[0]);
    EXPECT_EQ(rows[0]["lost"], "0");
    double datagrams = 0;
    for (double until = platform::monotonic_seconds() + 10.0; platform::monotonic_seconds() < until;) {
        datagrams = metricstest::query(api, "echomark_responder_datagrams_total");
        if (datagrams == sent) break;
        platform::Sleep(250);
    }
    EXPECT_EQ(datagrams, sent);
    EXPECT_EQ(metricstest::query(api, "echomark_responder_replies_total"), sent);
    EXPECT_EQ(metricstest::query(api, "echomark_responder_received_bytes_total"), 64.0 * sent);

    metricstest::prometheus_stop(&prometheus);
    for (pid_t pid : {watched, plain}) {
        kill(pid, SIGTERM);
        tooltest::wait_program(pid, 10.0);
    }
    for (const std::string& path : {log, csv, out}) std::remove(path.c_str());
}

// --- names looked up again ------------------------------------------------------------

// A named target whose address has changed moves to the new one; a name
// that no longer resolves leaves its target where it is.  Each lookup runs
// on the system's side while the caller's loop goes on.
TEST(ToolFleetLookup, NamedTargetsMoveToTheirNewAddress) {
    static run_target table[2];
    static run_flow flows[2];
    static target_lookups lookups;
    const char* hosts[] = {"localhost", "no-such-host.invalid"};
    for (int t = 0; t < 2; t++) {
        run_target& target = table[t];
        target = run_target{};
        std::snprintf(target.host, sizeof target.host, "%s", hosts[t]);
        std::snprintf(target.label, sizeof target.label, "%s:9", hosts[t]);
        std::snprintf(target.address_text, sizeof target.address_text, "127.0.0.2");
        target.named = true;
        target.family = AF_INET;
        sockaddr_in address = tooltest::loopback(9);
        address.sin_addr.s_addr = htonl(0x7F000002);
        std::memcpy(&target.address, &address, sizeof address);
        target.address_length = sizeof address;
    }
    run_targets targets = {2, 1, table, flows};
    target_lookups_begin(&lookups, &targets, 100.0, 60.0);
    EXPECT_FALSE(target_lookups_due(&lookups, &targets, 159.0));
    std::vector<int> moved;
    for (double until = platform::monotonic_seconds() + 20.0; platform::monotonic_seconds() < until;) {
        if (!target_lookups_due(&lookups, &targets, 160.0)) break;
        int t = target_lookups_work(&lookups, &targets, 160.0);
        if (t >= 0) moved.push_back(t);
        platform::Sleep(1);
    }
    EXPECT_FALSE(target_lookups_due(&lookups, &targets, 160.0));
    EXPECT_TRUE(target_lookups_end(&lookups));
    ASSERT_EQ(moved, std::vector<int>{0});
    EXPECT_STREQ(table[0].address_text, "127.0.0.1");
    sockaddr_in now_at;
    std::memcpy(&now_at, &table[0].address, sizeof now_at);
    EXPECT_EQ(ntohl(now_at.sin_addr.s_addr), 0x7F000001U);
    EXPECT_EQ(ntohs(now_at.sin_port), 9);
    EXPECT_STREQ(table[1].address_text, "127.0.0.2");
    // Due again a minute later.
    EXPECT_TRUE(target_lookups_due(&lookups, &targets, 221.0));
}

}  // namespace
