// The options beyond the basic run on real runs over loopback: output without
// them unchanged, statistics against the per-probe table, late, duplicate,
// drained and foreign replies counted, result files read back, the precise
// clock, quiet runs, the pause and the responder's reply limit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <ctime>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/picture_support.hpp"
#include "tests/support/tool_test_support.hpp"
#include "tool/wire/probe_datagram.hpp"

namespace {

using tooltest::lines_of;
using tooltest::run_program;

// The program in listen mode on a free loopback port, with extra arguments.
struct responder_program {
    int port = tooltest::free_port();
    std::string out_path = tooltest::temp_path();
    std::string err_path = tooltest::temp_path();
    pid_t pid;
    bool ready;

    explicit responder_program(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"-l", "-h", "127.0.0.1", "-p", std::to_string(port)};
        args.insert(args.end(), extra.begin(), extra.end());
        pid = tooltest::start_program(args, out_path, err_path);
        ready = tooltest::wait_port_taken(port, 10.0);
    }
    ~responder_program() {
        kill(pid, SIGKILL);
        tooltest::wait_program(pid, 10.0);
        std::remove(out_path.c_str());
        std::remove(err_path.c_str());
    }
    // The log once it holds `lines` lines matching the pattern (or after 10 s).
    std::string log_with(const std::string& pattern, int lines) {
        double deadline = platform::monotonic_seconds() + 10.0;
        std::string text = tooltest::read_file(out_path);
        while (tooltest::count_matching(text, pattern) < lines && platform::monotonic_seconds() < deadline) {
            platform::Sleep(20);
            text = tooltest::read_file(out_path);
        }
        return text;
    }
};

// A peer thread that answers each datagram as `answer` decides (index counts them).
using peer_action = std::function<void(int sock, unsigned char* data, const sockaddr_in& from, int index)>;

struct peer_thread {
    int sock = -1;
    int port = 0;
    std::atomic<bool> stop{false};
    std::thread thread;

    explicit peer_thread(peer_action answer) {
        sock = tooltest::open_udp(&port);
        thread = std::thread([this, answer] {
            std::vector<unsigned char> data(datagram_buffer_size);
            for (int index = 0; !stop;) {
                std::fill(data.begin(), data.end(), 0);
                sockaddr_in from;
                if (tooltest::receive_within(sock, data.data(), datagram_buffer_size, 0.05, &from) < 0) continue;
                answer(sock, data.data(), from, index++);
            }
        });
    }
    ~peer_thread() {
        stop = true;
        thread.join();
        platform::closesocket(sock);
    }
};

void echo(int sock, const unsigned char* data, const sockaddr_in& from) {
    platform::sendto(sock, data, data_value_get(data, value_replysize), 0, &from, sizeof from);
}

std::vector<std::string> sender_args(int port, int count, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {
        "-h", "127.0.0.1", "-p", std::to_string(port), "-c", std::to_string(count), "--sendsize=100", "--recvsize=100",
        "-t", "2"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

// Time stamps and times replaced by fixed marks.
std::string masked(const std::string& text) {
    std::string out = std::regex_replace(text, std::regex(tooltest::stamp), "<stamp>");
    return std::regex_replace(out, std::regex("-?\\d+\\.\\d{6}\\b"), "<t>");
}

// What a default run of `count` probes that all come back prints, masked.
std::string expected_default_run(int port, int count) {
    std::string p = std::to_string(port);
    std::string text = "echomark_connect(): connaddr=create_sockaddrin(AF_INET, ipaddr=127.0.0.1, ipport=" + p +
                       "):\nechomark_connect(): connaddr.sin_addr.s_addr=0100007F (127.0.0.1) connaddr.sin_port=" + p +
                       "\nechomark_connect(): echomark_send(void *arg):/echomark_recv(void *arg):\n";
    char line[256];
    for (int i = 0; i < count; i++) {
        std::snprintf(line, sizeof line,
                      "<stamp> echomark_connect():1 i=%06d S=%06d R=%06d sendsize=udp_send(127.0.0.1:%d): argssize=100 "
                      "sendsize=100 time=<t>\n",
                      i, i, i, port);
        text += line;
        std::snprintf(line, sizeof line,
                      "<stamp> echomark_connect():1 i=%06d S=%06d R=%06d sendsize=udp_recv(127.0.0.1:%d): recvsize=100 "
                      "lastpkts=%06d time=<t>\n",
                      i, i + 1, i, port, i);
        text += line;
    }
    std::string n = std::to_string(count);
    text += "echomark_connect(): difftime=<t> [s] (<t> - <t>)\n";
    for (const char* prefix : {"echomark_connect(): ", "main(): "}) {
        if (std::string(prefix) == "main(): ") {
            for (int i = 0; i < count; i++) {
                std::snprintf(line, sizeof line, "main(): i=%06d Stime=<t> Rtime=<t>\n", i);
                text += line;
            }
        }
        text += std::string(prefix) + "sendpkts=" + n + "\n" + prefix + "recvpkts=" + n + "\n" + prefix +
                "lastpkts+1=" + n + "\n" + prefix + "recvpkts/sendpkts=100.000[%]\n";
    }
    return text;
}

std::string without_stats(const std::string& text) {
    std::string out;
    for (const std::string& line : lines_of(text)) {
        if (line.rfind("stats(): ", 0) != 0) out += line + "\n";
    }
    return out;
}

TEST(ToolOptionsRun, WithoutNewOptionsTheOutputIsUnchanged) {
    responder_program responder;
    ASSERT_TRUE(responder.ready);
    std::string csv = tooltest::temp_path();
    std::string json = tooltest::temp_path();
    std::string svg = tooltest::temp_path();
    const std::string expected = expected_default_run(responder.port, 6);
    // Options that change no line of the log or the report, and unknown
    // arguments, skipped but named on standard error.
    const std::vector<std::pair<std::vector<std::string>, std::string>> variants = {
        {{}, ""},
        {{"--precise"}, ""},
        {{"--interval=0.001"}, ""},
        {{"--csv=" + csv, "--json=" + json, "--svg=" + svg}, ""},
        {{"--maxreply=10"}, ""},
        {{"--bogus"}, "echomark: ignoring unknown argument '--bogus'\n"},
        {{"--sendsise=64", "stray"},
         "echomark: ignoring unknown argument '--sendsise=64'\n"
         "echomark: ignoring unknown argument 'stray'\n"},
    };
    for (const auto& [extra, complaint] : variants) {
        tooltest::run_result r = run_program(sender_args(responder.port, 6, extra));
        std::string where = ::testing::PrintToString(extra);
        EXPECT_EQ(r.status, 0) << where;
        EXPECT_EQ(r.err, complaint) << where;
        EXPECT_EQ(masked(r.out), expected) << where << "\n" << r.out;
    }
    // --stats only adds its block after the report.
    tooltest::run_result r = run_program(sender_args(responder.port, 6, {"--stats"}));
    EXPECT_EQ(masked(without_stats(r.out)), expected) << r.out;
    std::string report_end = "main(): recvpkts/sendpkts=100.000[%]\nstats(): probes=6 sent=6 own=6 late=0";
    EXPECT_NE(r.out.find(report_end), std::string::npos) << r.out;

    // The responder's log is unchanged by a limit no datagram reaches.
    responder_program limited({"--maxreply=100"});
    ASSERT_TRUE(limited.ready);
    run_program(sender_args(limited.port, 3));
    std::string log = limited.log_with(".* sendsize=udp_send.*", 3);
    EXPECT_EQ(tooltest::count_matching(log, tooltest::stamp + " echomark_listen\\(\\): \\[00000[0-2]\\] "
                                                              "recvsize=udp_blockrecv\\(127\\.0\\.0\\.1:\\d+\\): "
                                                              "recvsize=100 lastpkts=00000[0-2]"),
              3)
        << log;
    EXPECT_EQ(tooltest::count_matching(log, tooltest::stamp + " echomark_listen\\(\\): \\[00000[0-2]\\] "
                                                              "sendsize=udp_send\\(127\\.0\\.0\\.1:\\d+\\): "
                                                              "sendsize=100 lastpkts=00000[0-2]"),
              3)
        << log;
    EXPECT_EQ(lines_of(log).size(), 8U) << log;
    std::remove(csv.c_str());
    std::remove(json.c_str());
    std::remove(svg.c_str());
}

// --- per-probe table from the CSV file, and the figures computed from it ----------

struct csv_row {
    int index, sent, replies;
    double stime, rtime;
    std::string reply;
    bool timed;
    double rtt;
    std::string sent_at;
};

struct csv_file {
    std::vector<csv_row> rows;
    std::map<std::string, std::string> summary;
    bool well_formed = true;
};

std::vector<std::string> fields_of(const std::string& line) {
    std::vector<std::string> fields;
    std::string field;
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); i++) {
        char c = line[i];
        if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
            field += '"';
            i++;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            fields.push_back(field);
            field.clear();
        } else {
            field += c;
        }
    }
    fields.push_back(field);
    return fields;
}

csv_file read_csv(const std::string& text) {
    csv_file csv;
    std::vector<std::string> lines = lines_of(text);
    std::size_t at = 0;
    if (lines.empty() || lines[0] != "index,sent,stime,rtime,reply,replies,rtt,sent_at") csv.well_formed = false;
    for (at = 1; at < lines.size() && !lines[at].empty(); at++) {
        std::vector<std::string> f = fields_of(lines[at]);
        if (f.size() != 8) {
            csv.well_formed = false;
            continue;
        }
        csv_row row{std::stoi(f[0]),
                    std::stoi(f[1]),
                    std::stoi(f[5]),
                    std::stod(f[2]),
                    std::stod(f[3]),
                    f[4],
                    !f[6].empty(),
                    f[6].empty() ? 0.0 : std::stod(f[6]),
                    f[7]};
        csv.rows.push_back(row);
    }
    if (at + 1 >= lines.size() || lines[at + 1] != "name,value") csv.well_formed = false;
    for (at += 2; at < lines.size(); at++) {
        std::vector<std::string> f = fields_of(lines[at]);
        if (f.size() != 2) csv.well_formed = false;
        csv.summary[f[0]] = f.size() > 1 ? f[1] : "";
    }
    return csv;
}

// The figures the statistics block must show, computed here from the rows.
struct figures {
    int count = 0;
    double min = 0, mean = 0, median = 0, max = 0, stddev = 0, p90 = 0, p99 = 0, jitter = 0;
};

figures figures_of(const std::vector<csv_row>& rows) {
    std::vector<double> in_order;
    for (const csv_row& row : rows) {
        if (row.timed) in_order.push_back(row.rtt);
    }
    figures f;
    f.count = static_cast<int>(in_order.size());
    if (f.count == 0) return f;
    std::vector<double> sorted = in_order;
    std::sort(sorted.begin(), sorted.end());
    double sum = 0;
    for (double v : sorted) sum += v;
    f.mean = sum / f.count;
    f.min = sorted.front();
    f.max = sorted.back();
    f.median = f.count % 2 ? sorted[f.count / 2] : (sorted[f.count / 2 - 1] + sorted[f.count / 2]) / 2;
    double squares = 0;
    for (double v : sorted) squares += (v - f.mean) * (v - f.mean);
    f.stddev = std::sqrt(squares / f.count);
    f.p90 = sorted[static_cast<std::size_t>(std::ceil(0.90 * f.count)) - 1];
    f.p99 = sorted[static_cast<std::size_t>(std::ceil(0.99 * f.count)) - 1];
    for (std::size_t k = 1; k < in_order.size(); k++) f.jitter += std::fabs(in_order[k] - in_order[k - 1]);
    if (in_order.size() > 1) f.jitter /= static_cast<double>(in_order.size() - 1);
    return f;
}

// Value of `key=` in the first line of the text that starts with `prefix`.
double stat_value(const std::string& text, const std::string& prefix, const std::string& key) {
    for (const std::string& line : lines_of(text)) {
        if (line.rfind(prefix, 0) != 0) continue;
        std::size_t at = line.find(" " + key + "=");
        if (at == std::string::npos) at = line.find(": " + key + "=");
        if (at != std::string::npos) return std::stod(line.substr(line.find('=', at) + 1));
    }
    return NAN;
}

// The picture against the table: one mark per probe, of the kind the table
// gives it, higher the longer its round trip; extra copies ringed; every
// round trip in the distribution; the headline figures of the summary.
void expect_picture_of(const std::string& svg, const csv_file& csv) {
    std::map<std::string, std::vector<int>> drawn, want;
    std::map<int, double> across;  // probe: x of a circle's centre, or of where a path starts
    for (const char* cls : {"own", "late", "drain", "lost", "unsent"}) {
        for (tooltest::svg_attributes& mark : tooltest::svg_marks(svg, cls)) {
            drawn[cls].push_back(std::stoi(mark["data-probe"]));
            across[std::stoi(mark["data-probe"])] =
                mark.count("cx") ? std::stod(mark["cx"]) : std::stod(mark["d"].substr(1));
        }
    }
    std::vector<std::pair<double, int>> by_rtt;  // round trip, probe
    std::map<int, int> copies;
    int timed = 0;
    for (const csv_row& row : csv.rows) {
        want[row.sent == 0 ? "unsent" : row.reply == "never" ? "lost" : row.reply].push_back(row.index);
        if (row.replies > 1) copies[row.index] = row.replies;
        if (row.timed) {
            by_rtt.push_back({row.rtt, row.index});
            timed++;
        }
    }
    EXPECT_EQ(drawn, want) << svg;
    std::map<int, int> ringed;
    for (tooltest::svg_attributes& mark : tooltest::svg_marks(svg, "copies")) {
        ringed[std::stoi(mark["data-probe"])] = std::stoi(mark["data-copies"]);
    }
    EXPECT_EQ(ringed, copies);
    // Where each mark sits: a circle's centre, or where a path starts.
    std::map<int, double> height;
    for (const char* cls : {"own", "late", "drain"}) {
        for (tooltest::svg_attributes& mark : tooltest::svg_marks(svg, cls)) {
            std::string d = mark["d"];
            height[std::stoi(mark["data-probe"])] =
                mark.count("cy") ? std::stod(mark["cy"]) : std::stod(d.substr(d.find(',') + 1));
        }
    }
    std::sort(by_rtt.begin(), by_rtt.end());
    for (std::size_t k = 1; k < by_rtt.size(); k++) {
        int probe = by_rtt[k].second, shorter = by_rtt[k - 1].second;
        ASSERT_TRUE(height.count(probe) && height.count(shorter)) << probe << " " << shorter;
        EXPECT_LE(height[probe], height[shorter]) << "probe " << probe;
    }
    EXPECT_EQ(tooltest::svg_sum(tooltest::svg_marks(svg, "bin"), "data-count"), timed);
    // Along the x axis the probes keep the proportions of their send times
    // (the waits that timed out stretch the run).
    const csv_row& first = csv.rows.front();
    const csv_row& last = csv.rows.back();
    double run_time = std::stod(last.sent_at) - std::stod(first.sent_at);
    double run_width = across[last.index] - across[first.index];
    ASSERT_GT(run_width, 0.0);
    for (const csv_row& row : csv.rows) {
        EXPECT_NEAR((across[row.index] - across[first.index]) / run_width,
                    (std::stod(row.sent_at) - std::stod(first.sent_at)) / run_time, 0.005)
            << "probe " << row.index;
    }
    int received = std::stoi(csv.summary.at("own")) + std::stoi(csv.summary.at("late"));
    std::string figures = "sent " + csv.summary.at("sent") + " \xC2\xB7 received " + std::to_string(received) +
                          " \xC2\xB7 lost " + csv.summary.at("never") + " (";
    EXPECT_NE(svg.find(figures), std::string::npos) << figures;
}

// Probes 0-2, 4, 6, 7 and 10 are answered at once; probe 3's reply is held
// back and sent after probe 4's (taken late in cycle 5, whose own probe gets
// no reply); probe 7's reply is sent twice (the copy is taken in cycle 8,
// whose probe gets none); probe 9's reply names probe 5000, a foreign
// number; probe 11's reply comes after the cycle's wait, in the drain.
// Cycles 5, 8 and 9 go on waiting for their own replies after the late,
// duplicate and foreign ones, and time out.
void scripted_answers(int sock, unsigned char* data, const sockaddr_in& from, int) {
    static std::vector<unsigned char> held(datagram_buffer_size);
    int probe = data_value_get(data, value_probe);
    switch (probe) {
        case 3: std::copy(data, data + datagram_buffer_size, held.begin()); return;
        case 4:
            echo(sock, data, from);
            echo(sock, held.data(), from);
            return;
        case 5:
        case 8: return;
        case 7:
            echo(sock, data, from);
            echo(sock, data, from);
            return;
        case 9:
            data_value_set(data, value_probe, 5000);
            echo(sock, data, from);
            return;
        case 11:
            platform::Sleep(1300);
            echo(sock, data, from);
            return;
        default: echo(sock, data, from); return;
    }
}

TEST(ToolOptionsRun, StatisticsMatchThePerProbeTableWithLateDuplicateAndForeignReplies) {
    peer_thread peer(scripted_answers);
    std::string csv_path = tooltest::temp_path();
    std::string json_path = tooltest::temp_path();
    std::string svg_path = tooltest::temp_path();
    tooltest::run_result r = run_program(
        {"-h", "127.0.0.1", "-p", std::to_string(peer.port), "-c", "12", "--sendsize=64", "--recvsize=64", "-t", "1",
         "--stats", "--precise", "--csv=" + csv_path, "--json=" + json_path, "--svg=" + svg_path},
        60.0);
    ASSERT_EQ(r.status, 0) << r.err;
    double finished = static_cast<double>(std::time(nullptr));
    csv_file csv = read_csv(tooltest::read_file(csv_path));
    ASSERT_TRUE(csv.well_formed) << tooltest::read_file(csv_path);
    ASSERT_EQ(csv.rows.size(), 12U);

    const char* replies[] = {"own", "own", "own",   "late",  "own", "never",
                             "own", "own", "never", "never", "own", "drain"};
    const int copies[] = {1, 1, 1, 1, 1, 0, 1, 2, 0, 0, 1, 1};
    std::vector<std::string> report =
        tooltest::matching(lines_of(r.out), "main\\(\\): i=\\d{6} Stime=\\d+\\.\\d{6} Rtime=\\d+\\.\\d{6}");
    ASSERT_EQ(report.size(), 12U) << r.out;
    for (int i = 0; i < 12; i++) {
        const csv_row& row = csv.rows[i];
        EXPECT_EQ(row.index, i);
        EXPECT_EQ(row.sent, 1) << i;
        EXPECT_EQ(row.reply, replies[i]) << i;
        EXPECT_EQ(row.replies, copies[i]) << i;
        // Every reply has its round trip, from its probe's send, whichever
        // cycle took it.
        EXPECT_EQ(row.timed, row.reply != "never") << i;
        if (row.reply == "own") {
            EXPECT_GT(row.rtt, 0.0) << i;
            EXPECT_LT(row.rtt, 0.5) << i;
        }
        // The wall-clock send times lie within the run, in probe order.
        double sent_at = std::stod(row.sent_at);
        EXPECT_GT(sent_at, finished - 60.0) << i;
        EXPECT_LE(sent_at, finished + 1.0) << i;
        if (i > 0) {
            EXPECT_GT(sent_at, std::stod(csv.rows[i - 1].sent_at)) << i;
        }
        // The table holds the report's own numbers, which the report rounds
        // to six places (so a value the table's nine places put just on a
        // half may round the other way when printed again).
        int index = -1;
        double stime = -1, rtime = -1;
        ASSERT_EQ(std::sscanf(report[i].c_str(), "main(): i=%d Stime=%lf Rtime=%lf", &index, &stime, &rtime), 3);
        EXPECT_EQ(index, i);
        EXPECT_NEAR(stime, row.stime, 0.5e-6 + 1e-9) << report[i];
        EXPECT_NEAR(rtime, row.rtime, 0.5e-6 + 1e-9) << report[i];
    }
    // Probe 3 waited out cycle 3 (1 s) before it was answered; probe 11 1.3 s.
    EXPECT_GE(csv.rows[3].rtt, 1.0);
    EXPECT_GE(csv.rows[11].rtt, 1.3);
    figures want = figures_of(csv.rows);
    ASSERT_EQ(want.count, 9);
    EXPECT_EQ(csv.summary["own"], "7");
    EXPECT_EQ(csv.summary["late"], "2");
    EXPECT_EQ(csv.summary["late_cycle"], "1");
    EXPECT_EQ(csv.summary["late_drain"], "1");
    EXPECT_EQ(csv.summary["never"], "3");
    EXPECT_EQ(csv.summary["duplicates"], "1");
    EXPECT_EQ(csv.summary["foreign"], "1");
    EXPECT_EQ(csv.summary["sendpkts"], "12");
    EXPECT_EQ(csv.summary["recvpkts"], "9");
    EXPECT_EQ(csv.summary["ratio"], "75.000000000");
    EXPECT_EQ(csv.summary["address"], "127.0.0.1");
    EXPECT_EQ(csv.summary["precise"], "1");

    ASSERT_NE(r.out.find("stats(): probes=12 sent=12 own=7 late=2 (cycle=1 drain=1) never=3\n"
                         "stats(): duplicates=1 foreign=1\nstats(): rtt count=9\n"),
              std::string::npos)
        << r.out;
    // Printed and written with nine decimals; computed here from those.
    const double tolerance = 2e-9;
    const std::pair<const char*, double> block[] = {
        {"min", want.min},       {"mean", want.mean}, {"median", want.median}, {"max", want.max},
        {"stddev", want.stddev}, {"p90", want.p90},   {"p99", want.p99},
    };
    for (const auto& [key, value] : block) {
        EXPECT_NEAR(stat_value(r.out, "stats(): rtt ", key), value, tolerance) << key;
        EXPECT_NEAR(std::stod(csv.summary[std::string("rtt_") + key]), value, tolerance) << key;
    }
    EXPECT_NEAR(stat_value(r.out, "stats(): jitter", "jitter"), want.jitter, tolerance);
    EXPECT_NEAR(std::stod(csv.summary["jitter"]), want.jitter, tolerance);
    int in_histogram = 0;
    for (const std::string& line : tooltest::matching(lines_of(r.out), "stats\\(\\): hist .*\\| (\\d+)")) {
        in_histogram += std::stoi(line.substr(line.rfind(' ') + 1));
    }
    EXPECT_EQ(in_histogram, 9) << r.out;

    // The picture shows the same run, and a real renderer draws it.
    expect_picture_of(tooltest::read_file(svg_path), csv);
    std::string png_path = tooltest::temp_path();
    bool renderer = tooltest::have_renderer();
    if (renderer) {
        tooltest::rendering picture = tooltest::render_svg(svg_path, png_path);
        EXPECT_EQ(picture.status, 0) << picture.messages;
        EXPECT_EQ(picture.messages, "");
        EXPECT_EQ(picture.width, 960U);
        EXPECT_EQ(picture.height, 500U);
    }
    for (const std::string& path : {svg_path, png_path}) std::remove(path.c_str());

    // The JSON file, read by Python's own parser, says the same.
    if (std::system("command -v python3 >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "python3 is not installed: the JSON file was not read back";
    }
    std::string script = tooltest::temp_path();
    std::FILE* code = std::fopen(script.c_str(), "w");
    std::fputs(
        "import json, sys\n"
        "d = json.load(open(sys.argv[1]))\n"
        "s = d['summary']\n"
        "print(s['own'], s['late'], s['late_cycle'], s['late_drain'], s['never'], s['duplicates'], s['foreign'])\n"
        "for p in d['probes']:\n"
        "    rtt = 'none' if p['rtt'] is None else '%.9f' % p['rtt']\n"
        "    print(p['index'], p['sent'], '%.9f' % p['stime'], '%.9f' % p['rtime'], p['reply'], p['replies'], rtt,\n"
        "          '%.6f' % p['sent_at'])\n"
        "r = s['rtt']\n"
        "print(r['count'], *('%.9f' % r[k] for k in ('min', 'mean', 'median', 'max', 'stddev', 'p90', 'p99', "
        "'jitter')))\n",
        code);
    std::fclose(code);
    std::string read_back_path = tooltest::temp_path();
    ASSERT_EQ(std::system(("python3 " + script + " " + json_path + " >" + read_back_path).c_str()), 0)
        << tooltest::read_file(json_path);
    std::vector<std::string> read_back = lines_of(tooltest::read_file(read_back_path));
    ASSERT_EQ(read_back.size(), 14U);
    EXPECT_EQ(read_back[0], "7 2 1 1 3 1 1");
    for (int i = 0; i < 12; i++) {
        const csv_row& row = csv.rows[i];
        char line[160];
        std::snprintf(line, sizeof line, "%d True %.9f %.9f %s %d ", i, row.stime, row.rtime, row.reply.c_str(),
                      row.replies);
        std::string expected = line;
        if (row.timed) {
            std::snprintf(line, sizeof line, "%.9f", row.rtt);
            expected += line;
        } else {
            expected += "none";
        }
        expected += " " + row.sent_at;
        EXPECT_EQ(read_back[i + 1], expected) << i;
    }
    char figures_line[256];
    std::snprintf(figures_line, sizeof figures_line, "9 %s %s %s %s %s %s %s %s", csv.summary["rtt_min"].c_str(),
                  csv.summary["rtt_mean"].c_str(), csv.summary["rtt_median"].c_str(), csv.summary["rtt_max"].c_str(),
                  csv.summary["rtt_stddev"].c_str(), csv.summary["rtt_p90"].c_str(), csv.summary["rtt_p99"].c_str(),
                  csv.summary["jitter"].c_str());
    EXPECT_EQ(read_back[13], figures_line);
    for (const std::string& path : {csv_path, json_path, script, read_back_path}) std::remove(path.c_str());
    if (!renderer) GTEST_SKIP() << "rsvg-convert is not installed (Debian package librsvg2-bin): picture not rendered";
}

// With '-' as the file, standard output holds the documents alone (CSV, then
// JSON, then the picture) and the log and the report go to standard error.
TEST(ToolOptionsRun, ResultsToStandardOutputAreAloneThere) {
    peer_thread peer([](int sock, unsigned char* data, const sockaddr_in& from, int) { echo(sock, data, from); });
    tooltest::run_result r = run_program(sender_args(peer.port, 3, {"--csv=-", "--json=-", "--svg=-", "--quiet"}));
    ASSERT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("main(): recvpkts/sendpkts=100.000[%]\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("main():"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("echomark_connect()"), std::string::npos) << r.out;
    std::size_t json_start = r.out.find("{\n");
    ASSERT_NE(json_start, std::string::npos) << r.out;
    csv_file csv = read_csv(r.out.substr(0, json_start));
    EXPECT_TRUE(csv.well_formed) << r.out;
    EXPECT_EQ(csv.rows.size(), 3U);
    EXPECT_EQ(csv.summary["own"], "3");
    std::size_t svg_start = r.out.find("<?xml");
    ASSERT_NE(svg_start, std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(svg_start - 4, 4), "]\n}\n");
    EXPECT_EQ(r.out.substr(r.out.size() - 7), "</svg>\n");
    EXPECT_EQ(tooltest::svg_marks(r.out.substr(svg_start), "own").size(), 3U);
}

// Python's own JSON parser on a text; "" when python3 is missing.
std::string json_check(const std::string& text) {
    if (std::system("command -v python3 >/dev/null 2>&1") != 0) return "";
    std::string path = tooltest::temp_path();
    std::FILE* file = std::fopen(path.c_str(), "w");
    std::fputs(text.c_str(), file);
    std::fclose(file);
    int status = std::system(("python3 -m json.tool " + path + " >/dev/null 2>&1").c_str());
    std::remove(path.c_str());
    return status == 0 ? "parsed" : "refused";
}

// What a user types after -h, both families, a stop by Ctrl-C, and the exit
// status of --fail-loss, against one responder on :: (which also takes IPv4).
TEST(ToolOptionsRun, NamesIpv6CtrlCAndLossStatus) {
    if (std::system("command -v python3 >/dev/null 2>&1") != 0) GTEST_SKIP() << "python3 is not installed";
    int port = tooltest::free_port();
    std::string out_path = tooltest::temp_path(), err_path = tooltest::temp_path();
    pid_t responder = tooltest::start_program({"-l", "-h", "::", "-p", std::to_string(port)}, out_path, err_path);
    ASSERT_TRUE(tooltest::wait_port_taken(port, 10.0)) << tooltest::read_file(out_path);
    std::string p = std::to_string(port);

    tooltest::run_result named = run_program({"-h", "localhost", "-p", p, "-c", "5", "--fail-loss=0"});
    EXPECT_EQ(named.status, 0) << named.out;
    EXPECT_EQ(named.out.rfind("main(): gethostbynamestr(localhost)=127.0.0.1\n"
                              "echomark_connect(): connaddr=create_sockaddrin(AF_INET, ipaddr=127.0.0.1, ipport=" +
                                  p + "):\n",
                              0),
              0U)
        << named.out;
    EXPECT_NE(named.out.find("main(): recvpkts/sendpkts=100.000[%]\n"), std::string::npos) << named.out;

    tooltest::run_result six = run_program({"-h", "::1", "-p", p, "-c", "5"});
    EXPECT_EQ(six.status, 0);
    EXPECT_EQ(six.out.rfind("echomark_connect(): connaddr=create_sockaddr6in(AF_INET6, ipaddr=::1, ipport=" + p +
                                "):\nechomark_connect(): connaddr.sin6_addr=::1 connaddr.sin6_port=" + p + "\n",
                            0),
              0U)
        << six.out;
    EXPECT_EQ(tooltest::count_matching(six.out, tooltest::stamp +
                                                    " echomark_connect\\(\\):1 i=00000[0-4] S=00000[1-5] "
                                                    "R=00000[0-4] sendsize=udp_recv\\(\\[::1\\]:" +
                                                    p + "\\): recvsize=9192 .*"),
              5)
        << six.out;
    EXPECT_NE(six.out.find("main(): recvpkts/sendpkts=100.000[%]\n"), std::string::npos) << six.out;

    // Ctrl-C half-way: sending stops, then the drain, the closing lines,
    // the report and a JSON file that parses.
    std::string json_path = tooltest::temp_path(), run_out = tooltest::temp_path(), run_err = tooltest::temp_path();
    pid_t sender =
        tooltest::start_program({"-h", "::1", "-p", p, "-c", "10000", "--json=" + json_path}, run_out, run_err);
    double deadline = platform::monotonic_seconds() + 10.0;
    while (tooltest::count_matching(tooltest::read_file(run_out), ".*udp_recv.*") < 20 &&
           platform::monotonic_seconds() < deadline) {
        platform::Sleep(10);
    }
    kill(sender, SIGINT);
    EXPECT_EQ(tooltest::wait_program(sender, 30.0), 0);
    std::string stopped = tooltest::read_file(run_out);
    std::vector<std::string> stop_line =
        tooltest::matching(lines_of(stopped), "echomark_connect\\(\\): stopped by signal 2 at i=(\\d{6})");
    ASSERT_EQ(stop_line.size(), 1U) << stopped.substr(stopped.size() > 2000 ? stopped.size() - 2000 : 0);
    int stopped_at = std::stoi(stop_line[0].substr(stop_line[0].size() - 6));
    EXPECT_GT(stopped_at, 0);
    EXPECT_LT(stopped_at, 10000);
    EXPECT_EQ(tooltest::count_matching(stopped, "main\\(\\): i=\\d{6} Stime=.*"), 10000);
    EXPECT_EQ(tooltest::count_matching(stopped, "echomark_connect\\(\\): sendpkts=" + std::to_string(stopped_at)), 1);
    EXPECT_EQ(tooltest::count_matching(stopped, "main\\(\\): sendpkts=" + std::to_string(stopped_at)), 1);
    EXPECT_EQ(json_check(tooltest::read_file(json_path)), "parsed");

    // A stop ends a long wait at once: the run waits 8 s for a reply that
    // never comes, and SIGINT has the report out within a second.
    int quiet_port = 0;
    int quiet_peer = tooltest::open_udp(&quiet_port);
    pid_t waiting = tooltest::start_program(
        {"-h", "127.0.0.1", "-p", std::to_string(quiet_port), "-c", "3", "-t", "8", "--json=" + json_path}, run_out,
        run_err);
    platform::Sleep(300);
    double signalled = platform::monotonic_seconds();
    kill(waiting, SIGINT);
    EXPECT_EQ(tooltest::wait_program(waiting, 30.0), 0);
    EXPECT_LT(platform::monotonic_seconds() - signalled, 1.0);
    EXPECT_NE(tooltest::read_file(run_out).find("main(): sendpkts=1\n"), std::string::npos)
        << tooltest::read_file(run_out);
    EXPECT_EQ(json_check(tooltest::read_file(json_path)), "parsed");
    platform::closesocket(quiet_peer);

    // timeout(1) signals the process and then its group, two signals at
    // once: every run still leaves a whole JSON file, never an empty one.
    int whole = 0;
    for (int round = 0; round < 20; round++) {
        std::remove(json_path.c_str());
        std::string command = "timeout 0.5 " ECHOMARK_BINARY " -h ::1 -p " + p +
                              " --count=100000000 --interval=0 --quiet --json=" + json_path + " >/dev/null 2>&1";
        std::system(command.c_str());
        if (json_check(tooltest::read_file(json_path)) == "parsed") whole++;
    }
    EXPECT_EQ(whole, 20);

    // The document alone on standard output, whole enough for a parser.
    tooltest::run_result piped = run_program({"-h", "::1", "-p", p, "-c", "3", "--json=-"});
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(json_check(piped.out), "parsed") << piped.out;
    EXPECT_NE(piped.err.find("main(): recvpkts/sendpkts=100.000[%]"), std::string::npos);

    kill(responder, SIGKILL);
    tooltest::wait_program(responder, 10.0);
    for (const std::string& path : {out_path, err_path, json_path, run_out, run_err}) std::remove(path.c_str());

    // Nobody answers: 100 % loss is above 0 %, and not above 100 %.
    int silent_port = 0;
    int silent = tooltest::open_udp(&silent_port);
    std::vector<std::string> silent_run = {"-h", "127.0.0.1", "-p", std::to_string(silent_port),
                                           "-c", "2",         "-t", "0.05"};
    std::vector<std::string> failing = silent_run, tolerant = silent_run;
    failing.push_back("--fail-loss=0");
    tolerant.push_back("--fail-loss=100");
    EXPECT_EQ(run_program(failing).status, 2);
    EXPECT_EQ(run_program(tolerant).status, 0);
    EXPECT_EQ(run_program(silent_run).status, 0);
    platform::closesocket(silent);
}

// --tos= and --ttl= reach the IP header of the probes, as the receiving
// socket sees it.
TEST(ToolOptionsRun, TosAndTtlAreInTheProbesHeader) {
    int port = 0;
    int sock = tooltest::open_udp(&port);
    int on = 1;
    ASSERT_EQ(setsockopt(sock, IPPROTO_IP, IP_RECVTOS, &on, sizeof on), 0);
    ASSERT_EQ(setsockopt(sock, IPPROTO_IP, IP_RECVTTL, &on, sizeof on), 0);
    tooltest::run_result r =
        run_program({"-h", "127.0.0.1", "-p", std::to_string(port), "-c", "1", "-t", "0.05", "--tos=184", "--ttl=9"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("udp_sockoptset"), std::string::npos) << r.out;
    unsigned char data[16384];
    alignas(cmsghdr) unsigned char control[256];
    iovec part = {data, sizeof data};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ASSERT_GT(recvmsg(sock, &message, MSG_DONTWAIT), 0);
    int tos = -1, ttl = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TOS) tos = *CMSG_DATA(c);
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL) std::memcpy(&ttl, CMSG_DATA(c), sizeof ttl);
    }
    EXPECT_EQ(tos, 184);
    EXPECT_EQ(ttl, 9);
    platform::closesocket(sock);
}

// The peak resident size (KiB) of a run of the program, read from /proc
// while it runs (the peak of its own image, not of the process it was
// forked from), and its output; -1 when the run failed.
long peak_kib(const std::vector<std::string>& args, std::string* out) {
    std::string out_path = tooltest::temp_path(), err_path = tooltest::temp_path();
    pid_t pid = tooltest::start_program(args, out_path, err_path);
    std::string status_path = "/proc/" + std::to_string(pid) + "/status";
    long peak = -1;
    int status = 0;
    double deadline = platform::monotonic_seconds() + 120.0;
    platform::Sleep(50);  // past the exec
    while (waitpid(pid, &status, WNOHANG) == 0 && platform::monotonic_seconds() < deadline) {
        std::string text = tooltest::read_file(status_path);
        std::size_t at = text.find("VmHWM:");
        if (at != std::string::npos) peak = std::max(peak, std::stol(text.substr(at + 6)));
        platform::Sleep(10);
    }
    *out = tooltest::read_file(out_path);
    std::remove(out_path.c_str());
    std::remove(err_path.c_str());
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? peak : -1;
}

// Runs beyond the record's 10000 slots and runs bounded by time: every probe
// counted, the table kept to the record, memory that does not grow with the
// run, and the interval lines.
TEST(ToolOptionsRun, LongRunsCountEveryProbeInFixedMemory) {
    responder_program responder({"--quiet"});
    ASSERT_TRUE(responder.ready);
    std::vector<std::string> fast = {"-h", "127.0.0.1", "-p", std::to_string(responder.port), "--sendsize=16",
                                     "--recvsize=16", "--interval=0", "--quiet", "--stats", "-t", "2"};
    std::vector<std::string> shorter = fast, longer = fast;
    shorter.push_back("--count=20000");
    longer.push_back("--count=60000");
    std::string out;
    long short_peak = peak_kib(shorter, &out);
    EXPECT_EQ(tooltest::count_matching(out, "main\\(\\): i=\\d{6} Stime=.*"), 10000);
    for (const char* line : {"main(): sendpkts=20000\n", "main(): recvpkts=20000\n", "main(): lastpkts+1=20000\n",
                             "stats(): cycles=20000 sent=20000 received=20000 loss=0.000[%]", "stats(): rtt count=20000\n"}) {
        EXPECT_NE(out.find(line), std::string::npos) << line;
    }
    long long_peak = peak_kib(longer, &out);
    EXPECT_NE(out.find("main(): recvpkts=60000\n"), std::string::npos);
    ASSERT_GT(short_peak, 0);
    ASSERT_GT(long_peak, 0);
    // Three times the probes, not a page more than noise.
    EXPECT_LT(long_peak, short_peak + 256) << short_peak << " KiB against " << long_peak << " KiB";

    // Every round trip from one clock: none below what loopback allows, and
    // every reply with one.
    std::vector<std::string> many = fast;
    many.push_back("--count=300000");
    tooltest::run_result r300 = run_program(many, 120.0);
    EXPECT_NE(r300.out.find("stats(): cycles=300000 sent=300000 received=300000"), std::string::npos) << r300.out;
    EXPECT_EQ(stat_value(r300.out, "stats(): rtt count", "count"), 300000.0) << r300.out;
    EXPECT_GE(stat_value(r300.out, "stats(): rtt min", "min"), 2e-6) << r300.out;

    // One second, a line every quarter: four lines, the last at the end.
    std::vector<std::string> timed = fast;
    std::string csv_path = tooltest::temp_path();
    std::string svg_path = tooltest::temp_path();
    timed.insert(timed.end(),
                 {"--duration=1", "--every=0.25", "--interval=0.001", "--csv=" + csv_path, "--svg=" + svg_path});
    tooltest::run_result r = run_program(timed);
    EXPECT_EQ(r.status, 0);
    std::vector<std::string> every = tooltest::matching(
        lines_of(r.out), "every\\(\\): " + tooltest::stamp + " t=(\\d+\\.\\d{3}) sent=(\\d+) received=(\\d+) .*");
    ASSERT_EQ(every.size(), 4U) << r.out;
    long interval_sent = 0;
    for (std::size_t k = 0; k < every.size(); k++) {
        std::smatch m;
        std::regex_search(every[k], m, std::regex(" t=(\\d+\\.\\d{3}) sent=(\\d+)"));
        EXPECT_NEAR(std::stod(m[1]), 0.25 * static_cast<double>(k + 1), 0.1) << every[k];
        interval_sent += std::stol(m[2]);
    }
    std::vector<std::string> sent = tooltest::matching(lines_of(r.out), "main\\(\\): sendpkts=\\d+");
    ASSERT_EQ(sent.size(), 1U);
    EXPECT_EQ(std::to_string(interval_sent), sent[0].substr(sent[0].find('=') + 1));
    EXPECT_EQ(tooltest::count_matching(r.out, "main\\(\\): i=\\d{6} Stime=.*"), interval_sent);
    // The file covers the cycles run, each probe sent.
    csv_file csv = read_csv(tooltest::read_file(csv_path));
    EXPECT_TRUE(csv.well_formed);
    EXPECT_EQ(static_cast<long>(csv.rows.size()), interval_sent);
    EXPECT_EQ(csv.summary["sent"], std::to_string(interval_sent));
    // So does the picture, with the run's own headline.
    std::string svg = tooltest::read_file(svg_path);
    std::string n = std::to_string(interval_sent);
    EXPECT_NE(svg.find(n + " probes of 16 bytes"), std::string::npos);
    EXPECT_NE(svg.find("sent " + n + " \xC2\xB7 received " + n + " \xC2\xB7 lost 0 (0.0 %)"), std::string::npos);
    EXPECT_EQ(static_cast<long>(tooltest::svg_marks(svg, "own").size()), interval_sent);
    std::remove(csv_path.c_str());
    std::remove(svg_path.c_str());
}

TEST(ToolOptionsRun, PreciseTimesAreSubMillisecondAndNotZero) {
    responder_program responder;
    ASSERT_TRUE(responder.ready);
    auto rtimes = [&](std::vector<std::string> extra) {
        tooltest::run_result r = run_program(sender_args(responder.port, 20, extra));
        std::vector<double> values;
        for (const std::string& line : tooltest::matching(lines_of(r.out), "main\\(\\): i=\\d{6} Stime=.*")) {
            values.push_back(std::stod(line.substr(line.find("Rtime=") + 6)));
        }
        return values;
    };
    std::vector<double> precise = rtimes({"--precise"});
    ASSERT_EQ(precise.size(), 20U);
    int below_ms = 0;
    int off_the_ms_grid = 0;
    for (double value : precise) {
        EXPECT_GT(value, 0.0);
        if (value < 0.001) below_ms++;
        if (std::fabs(value * 1000 - std::round(value * 1000)) > 1e-3) off_the_ms_grid++;
    }
    EXPECT_GE(below_ms, 10) << "most loopback round trips take well under a millisecond";
    EXPECT_GE(off_the_ms_grid, 10);
    // The millisecond clock only ever gives whole milliseconds.
    for (double value : rtimes({})) EXPECT_NEAR(value * 1000, std::round(value * 1000), 1e-6) << value;
}

TEST(ToolOptionsRun, MaxreplyRefusesLongerRequestsAndStillAnswersShorterOnes) {
    responder_program responder({"--maxreply=100"});
    ASSERT_TRUE(responder.ready);
    struct step {
        int recvsize;
        int replies;
    };
    const step steps[] = {{100, 3}, {101, 0}, {50, 3}};
    for (const step& s : steps) {
        tooltest::run_result r =
            run_program({"-h", "127.0.0.1", "-p", std::to_string(responder.port), "-c", "3", "--sendsize=64",
                         "--recvsize=" + std::to_string(s.recvsize), "-t", s.replies == 0 ? "0.2" : "2"});
        EXPECT_NE(r.out.find("main(): recvpkts=" + std::to_string(s.replies) + "\n"), std::string::npos)
            << s.recvsize << r.out;
    }
    std::string log = responder.log_with(".*no reply", 3);
    std::vector<std::string> refusals = tooltest::matching(lines_of(log), ".*no reply");
    ASSERT_EQ(refusals.size(), 3U) << log;
    // The counter numbers answered datagrams, so the refusals all carry the
    // number the next answer gets.
    for (const std::string& line : refusals) {
        EXPECT_EQ(line, "echomark_listen(): [000003] replysize=101 if (replysize>maxreply=100): no reply");
    }
    EXPECT_EQ(tooltest::count_matching(log, ".* sendsize=udp_send\\(127\\.0\\.0\\.1:\\d+\\): sendsize=100 .*"), 3);
    EXPECT_EQ(tooltest::count_matching(log, ".* sendsize=udp_send\\(127\\.0\\.0\\.1:\\d+\\): sendsize=50 .*"), 3);

    // 64-byte probes asking 1400 bytes, beyond 16 times: the sender shows it
    // receives at its address with the responder's cookie, and every probe
    // is answered.  A plain echo gives no cookie, and the run says so.
    responder_program open_responder;
    ASSERT_TRUE(open_responder.ready);
    tooltest::run_result proven = run_program({"-h", "127.0.0.1", "-p", std::to_string(open_responder.port), "-c",
                                               "20", "--sendsize=64", "--recvsize=1400"});
    EXPECT_NE(proven.out.find("echomark_connect(): hello: cookie received"), std::string::npos) << proven.out;
    EXPECT_NE(proven.out.find("main(): recvpkts=20\n"), std::string::npos) << proven.out;
    peer_thread echo_peer([](int sock, unsigned char* data, const sockaddr_in& from, int) { echo(sock, data, from); });
    tooltest::run_result plain = run_program({"-h", "127.0.0.1", "-p", std::to_string(echo_peer.port), "-c", "2",
                                              "--sendsize=64", "--recvsize=1400"});
    EXPECT_NE(plain.out.find("echomark_connect(): hello: no cookie"), std::string::npos) << plain.out;
    EXPECT_NE(plain.out.find("main(): recvpkts=2\n"), std::string::npos) << plain.out;
}

TEST(ToolOptionsRun, IntervalSetsThePauseAfterEachGoodReply) {
    responder_program responder;
    ASSERT_TRUE(responder.ready);
    auto seconds_of = [&](const std::string& interval, int count) {
        double start = platform::monotonic_seconds();
        tooltest::run_result r = run_program(sender_args(responder.port, count, {"--interval=" + interval}));
        double seconds = platform::monotonic_seconds() - start;
        EXPECT_NE(r.out.find("main(): recvpkts=" + std::to_string(count) + "\n"), std::string::npos) << r.out;
        return seconds;
    };
    // Six good replies, six pauses of 50 ms.
    EXPECT_GE(seconds_of("0.05", 6), 0.3);
    // No pause at all still measures every probe.
    EXPECT_LT(seconds_of("0", 200), 60.0);
}

// --- quiet runs ---------------------------------------------------------------------

TEST(ToolOptionsRun, QuietLeavesSetUpClosingLinesAndReport) {
    responder_program responder({"--quiet"});
    ASSERT_TRUE(responder.ready);
    tooltest::run_result r = run_program(sender_args(responder.port, 4, {"--quiet"}));
    ASSERT_EQ(r.status, 0);
    // Into a file: no progress line, and nothing per step.
    std::string expected = expected_default_run(responder.port, 4);
    std::string without_steps;
    for (const std::string& line : lines_of(expected)) {
        if (line.rfind("<stamp>", 0) != 0) without_steps += line + "\n";
    }
    EXPECT_EQ(masked(r.out), without_steps) << r.out;
    // The quiet responder answered without a line per datagram.
    platform::Sleep(100);
    std::vector<std::string> log = lines_of(tooltest::read_file(responder.out_path));
    EXPECT_EQ(log.size(), 2U);
    for (const std::string& line : log) EXPECT_EQ(line.find("udp_"), std::string::npos) << line;
}

// Runs the program with standard output on a pseudo-terminal; returns what
// the terminal showed, carriage returns removed.
std::string run_on_terminal(const std::vector<std::string>& args) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return "no pseudo-terminal";
    std::string slave_name = ptsname(master);
    std::vector<char*> argv = {const_cast<char*>(ECHOMARK_BINARY)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        int slave = open(slave_name.c_str(), O_RDWR);
        dup2(slave, 1);
        close(slave);
        close(master);
        execv(ECHOMARK_BINARY, argv.data());
        _exit(127);
    }
    std::string shown;
    char chunk[4096];
    double deadline = platform::monotonic_seconds() + 30.0;
    while (platform::monotonic_seconds() < deadline) {
        pollfd ready = {master, POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) break;
            continue;
        }
        ssize_t got = read(master, chunk, sizeof chunk);
        if (got <= 0) break;  // EIO once the program has closed the terminal
        shown.append(chunk, static_cast<std::size_t>(got));
    }
    tooltest::wait_program(pid, 5.0);
    close(master);
    shown.erase(std::remove(shown.begin(), shown.end(), '\r'), shown.end());
    return shown;
}

TEST(ToolOptionsRun, QuietOnATerminalShowsOneProgressLine) {
    responder_program responder;
    ASSERT_TRUE(responder.ready);
    std::string shown = run_on_terminal(sender_args(responder.port, 20, {"--quiet"}));
    EXPECT_NE(shown.find("echomark_connect(): 100% [ " + std::string(40, '=') + " ]  i=000020 S=000020 R=000020\n"),
              std::string::npos)
        << shown;
    EXPECT_NE(shown.find("echomark_connect(): 050% [ " + std::string(20, '=')), std::string::npos) << shown;
    EXPECT_EQ(tooltest::count_matching(shown, ".*" + tooltest::stamp + " echomark_connect.*"), 0) << shown;
    EXPECT_NE(shown.find("echomark_connect(): difftime="), std::string::npos) << shown;
    EXPECT_NE(shown.find("main(): recvpkts/sendpkts=100.000[%]\n"), std::string::npos) << shown;

    // Without --quiet a terminal gets the ordinary log and no progress line.
    shown = run_on_terminal(sender_args(responder.port, 3));
    EXPECT_EQ(shown.find("progress"), std::string::npos);
    EXPECT_EQ(shown.find("[ ="), std::string::npos) << shown;
    EXPECT_EQ(tooltest::count_matching(shown, tooltest::stamp + " echomark_connect\\(\\):1 .*"), 6) << shown;
}

}  // namespace
