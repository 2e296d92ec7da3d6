// The far end's times (--oneway, --stamp) in runs of the real program:
// against scapy's STAMP layer as the reflector, against scripted far ends
// over loopback that delay one way, run a clock 3 s ahead, remark the TOS,
// lose probes one way or the other, answer with nonsense or only echo; and
// against the project's own responder and reflector.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <deque>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock_sync.hpp"
#include "tests/support/tool_test_support.hpp"
#include "tool/wire/probe_far_end.hpp"
#include "tool/wire/stamp_packet.hpp"
#include "tool/wire/stamp_time.hpp"

namespace {

using tooltest::lines_of;

// --- the run's files ------------------------------------------------------------------

struct csv_file {
    std::vector<std::map<std::string, std::string>> rows;
    std::map<std::string, std::string> summary;
};

std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> fields(1);
    for (char c : line) {
        if (c == ',') {
            fields.emplace_back();
        } else if (c != '"') {
            fields.back() += c;
        }
    }
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

long long whole(const std::map<std::string, std::string>& row, const std::string& key) {
    auto found = row.find(key);
    return found == row.end() || found->second.empty() ? -1 : std::stoll(found->second);
}

struct run {
    tooltest::run_result result;
    csv_file csv;
    std::string json_path;
};

run run_sender(const std::string& host, int port, std::vector<std::string> extra, bool keep_json = false) {
    std::string csv_path = tooltest::temp_path();
    std::string json_path = tooltest::temp_path();
    std::vector<std::string> args = {
        "-h", host, "-p", std::to_string(port), "--quiet", "--stats", "--csv=" + csv_path, "--json=" + json_path};
    args.insert(args.end(), extra.begin(), extra.end());
    run r{tooltest::run_program(args, 60.0), read_csv(csv_path), json_path};
    std::remove(csv_path.c_str());
    if (!keep_json) std::remove(json_path.c_str());
    return r;
}

bool has_line(const run& r, const std::string& line) {
    return r.result.out.find("\n" + line + "\n") != std::string::npos;
}

// --- scripted far ends ---------------------------------------------------------------

// What a far end does with each request.
struct far_script {
    bool stamp = false;                                // a STAMP reflector (stateless); else the project's responder
    bool fill = true;                                  // false: a plain echo that knows nothing of the far-end fields
    double hold = 0.0;                                 // seconds a request waits before its T2 is taken
    int64_t ahead_ns = 0;                              // its clock, against ours
    int said_tos = -1;                                 // the TOS it says the probe came with; -1: the one it did
    int reply_ttl = 0;                                 // its replies' TTL or hop limit; 0: the system's
    std::function<bool(int64_t)> lost_out = nullptr;   // never arrives: neither counted nor answered
    std::function<bool(int64_t)> lost_back = nullptr;  // counted, but its answer never comes
    bool hostile = false;  // each answer followed by one to a number never sent, a short one, another session's
};

struct held_request {
    double due;
    std::vector<unsigned char> data;
    sockaddr_storage from;
    int from_length;
    platform::receive_facts facts;
    uint32_t count;
};

struct far_end {
    int sock = -1;
    int port = 0;
    std::atomic<bool> stop{false};
    std::atomic<int> tos_seen{-1};  // of the latest request, as the kernel told
    std::thread thread;

    far_end(far_script script, int family = AF_INET) {
        sock = platform::socket(family, SOCK_DGRAM, IPPROTO_UDP);
        sockaddr_in6 six{};
        sockaddr_in four = tooltest::loopback(0);
        six.sin6_family = AF_INET6;
        six.sin6_addr = in6addr_loopback;
        if (family == AF_INET6) {
            platform::bind(sock, &six, sizeof six);
        } else {
            platform::bind(sock, &four, sizeof four);
        }
        sockaddr_in6 bound{};
        int length = sizeof bound;
        platform::getsockname(sock, &bound, &length);
        port = ntohs(bound.sin6_port);  // sin_port lies at the same place
        platform::receive_facts_on(sock);
        if (script.reply_ttl > 0) {
            if (family == AF_INET6) {
                platform::setsockopt(sock, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &script.reply_ttl, sizeof script.reply_ttl);
            } else {
                platform::setsockopt(sock, IPPROTO_IP, IP_TTL, &script.reply_ttl, sizeof script.reply_ttl);
            }
        }
        thread = std::thread([this, script] { serve(script); });
    }
    ~far_end() {
        stop = true;
        thread.join();
        platform::closesocket(sock);
    }

    int64_t clock_ns(const far_script& script) const { return platform::realtime_ns() + script.ahead_ns; }

    void send(const std::vector<unsigned char>& reply, int length, const held_request& r) {
        platform::sendto(sock, reply.data(), length, 0, &r.from, r.from_length);
    }

    void answer(const far_script& script, const held_request& r) {
        const int64_t t2 = clock_ns(script);
        std::vector<unsigned char> reply(datagram_buffer_size, 0);
        int length = 0;
        int64_t number = 0;
        if (script.stamp) {
            stamp_request request;
            if (stamp_parse_request(r.data.data(), static_cast<int>(r.data.size()), &request) != 0) return;
            number = request.sequence;
            stamp_reflection reflection = {request.sequence, t2, 0x3FFF, r.facts.ttl_known ? r.facts.ttl : -1};
            length = stamp_build_reply(&request, r.data.data(), &reflection, reply.data(), datagram_buffer_size);
            if (length < 0) return;
            stamp_set_send_time(reply.data(), length, clock_ns(script));
        } else {
            number = data_value_get(r.data.data(), value_probe);
            length = data_value_get(r.data.data(), value_replysize);
            if (length < 0 || length > datagram_buffer_size) return;
            std::copy(r.data.begin(), r.data.begin() + std::min<std::size_t>(r.data.size(), length), reply.begin());
            if (script.fill) {
                probe_far_end far = {t2,
                                     0,
                                     r.count,
                                     r.facts.ttl,
                                     static_cast<uint8_t>(script.said_tos >= 0 ? script.said_tos : r.facts.tos),
                                     false};
                probe_far_end_write(reply.data(), length, &far);
                probe_far_end_set_sent(reply.data(), length, clock_ns(script));
            }
        }
        if (script.lost_back && script.lost_back(number)) return;
        if (script.hostile) {
            // Before the answer, so that the cycle that waits for it takes
            // them: a number never sent, a datagram too short for any
            // answer, and an answer of another session.
            std::vector<unsigned char> odd = reply;
            odd[stamp_sender_sequence_offset] ^= 0x40;
            send(odd, length, r);
            send(reply, 20, r);
            odd = reply;
            odd[stamp_ssid_offset] = 0x77;
            send(odd, length, r);
        }
        send(reply, length, r);
    }

    void serve(const far_script& script) {
        std::vector<unsigned char> data(datagram_buffer_size);
        std::deque<held_request> held;
        uint32_t count = 0;
        while (!stop) {
            double now = platform::monotonic_seconds();
            while (!held.empty() && held.front().due <= now) {
                answer(script, held.front());
                held.pop_front();
            }
            double wait = held.empty() ? 0.02 : std::max(0.0, held.front().due - now);
            platform::socket_set set;
            platform::socket_set_zero(&set);
            platform::socket_set_add(sock, &set);
            platform::timeval tv = platform::timeval_from_seconds(wait);
            if (platform::select(sock + 1, &set, nullptr, nullptr, &tv) <= 0) continue;
            held_request r{};
            r.from_length = sizeof r.from;
            platform::receive_time arrival;
            int length = platform::recvfrom_stamped(sock, data.data(), datagram_buffer_size, 0, &r.from, &r.from_length,
                                                    &arrival);
            if (length < 16) continue;
            r.data.assign(data.begin(), data.begin() + length);
            r.facts = arrival.facts;
            if (arrival.facts.tos_known) tos_seen = arrival.facts.tos;
            int64_t number = script.stamp ? static_cast<int64_t>((uint32_t{data[0]} << 24) | (uint32_t{data[1]} << 16) |
                                                                 (uint32_t{data[2]} << 8) | data[3])
                                          : data_value_get(data.data(), value_probe);
            if (script.lost_out && script.lost_out(number)) continue;
            r.count = ++count;
            r.due = platform::monotonic_seconds() + script.hold;
            held.push_back(r);
        }
    }
};

// --- scripted far ends, each run with the options that show what it does ------------------

struct far_case {
    const char* name;
    far_script script;
    std::vector<std::string> options;
    int family;
    std::function<void(const run&, const far_end&)> check;
};

// The delay out less the delay back, by their medians.
double out_above_back(const run& r) {
    return number(r.csv.summary, "oneway_out_median") - number(r.csv.summary, "oneway_back_median");
}

TEST(ToolOnewayRun, ScriptedFarEndsShowWhichWayItIs) {
    const std::vector<far_case> cases = {
        {"20 ms out, the project's probes",
         far_script{.hold = 0.020},
         {"--oneway", "-c", "20", "-t", "0.5"},
         AF_INET,
         [](const run& r, const far_end&) {
             EXPECT_EQ(r.csv.summary.at("oneway_far_times"), "20");
             EXPECT_GE(out_above_back(r), 0.0200);
             EXPECT_LE(out_above_back(r), 0.0215);
             // The hold is before T2: on the way out, not in the far end's time.
             EXPECT_GE(number(r.csv.summary, "oneway_net_median"), 0.020);
             EXPECT_LT(number(r.csv.summary, "oneway_far_median"), 0.0015);
         }},
        {"20 ms out, STAMP at a rate",
         far_script{.stamp = true, .hold = 0.020},
         {"--stamp", "--rate=40", "-c", "20", "-t", "0.5"},
         AF_INET,
         [](const run& r, const far_end&) {
             EXPECT_EQ(r.csv.summary.at("oneway_format"), "stamp");
             EXPECT_EQ(r.csv.summary.at("oneway_far_times"), "20");
             EXPECT_GE(out_above_back(r), 0.0200);
             EXPECT_LE(out_above_back(r), 0.0215);
             EXPECT_EQ(r.csv.summary.at("answered"), "20");
         }},
        {"clock 3 s ahead, over IPv6",
         far_script{.ahead_ns = 3000000000},
         {"--oneway", "-c", "30", "--interval=0.005"},
         AF_INET6,
         [](const run& r, const far_end&) {
             const auto& s = r.csv.summary;
             EXPECT_LT(number(s, "rtt_median"), 0.005);
             EXPECT_NEAR(number(s, "oneway_offset"), 3.0, 0.002);
             EXPECT_NEAR(number(s, "oneway_out_median"), 3.0, 0.005);
             EXPECT_NEAR(number(s, "oneway_back_median"), -3.0, 0.005);
             EXPECT_LT(number(s, "oneway_queue_out_median"), 0.001);
             EXPECT_LT(number(s, "oneway_queue_back_median"), 0.001);
             EXPECT_EQ(s.at("oneway_trusted"), "0");
             EXPECT_EQ(tooltest::count_matching(r.result.out,
                                                "stats\\(\\): oneway clocks ours=\\S+ far=unsynchronized "
                                                "offset=\\+3\\.00\\d+ \\[s\\] trusted=no .*"),
                       1)
                 << r.result.out;
             EXPECT_EQ(tooltest::count_matching(r.result.out,
                                                "stats\\(\\): oneway out .* \\(clocks not synchronized: "
                                                "holds the offset\\)"),
                       1);
         }},
        {"TOS 184 remarked to 0, and the TTL each way",
         far_script{.said_tos = 0, .reply_ttl = 50},
         {"--oneway", "-c", "20", "--tos=184", "--ttl=40"},
         AF_INET,
         [](const run& r, const far_end& peer) {
             EXPECT_EQ(peer.tos_seen, 184);
             EXPECT_TRUE(
                 has_line(r, "stats(): oneway tos out sent=184 received=0 (remarked: 20 probes) back received=0"))
                 << r.result.out;
             EXPECT_TRUE(has_line(r, "stats(): oneway ttl out sent=40 received=40 (hops=0) back received=50"))
                 << r.result.out;
             for (const auto& row : r.csv.rows) {
                 EXPECT_EQ(row.at("tos_out") + row.at("ttl_out") + "/" + row.at("ttl_back"), "040/50");
             }
         }},
        {"a plain echo",
         far_script{.fill = false},
         {"--oneway", "-c", "10"},
         AF_INET,
         [](const run& r, const far_end&) {
             EXPECT_TRUE(has_line(r, "stats(): oneway format=probe replies=10 far_times=0"));
             EXPECT_EQ(tooltest::count_matching(r.result.out, "stats\\(\\): oneway no far-end stamps came: .*"), 1)
                 << r.result.out;
             EXPECT_EQ(tooltest::count_matching(r.result.out, "stats\\(\\): oneway (out|back|queue) .*"), 0);
             EXPECT_EQ(r.csv.summary.at("oneway_out_median"), "");
             EXPECT_EQ(r.csv.rows[0].at("t2_ns") + r.csv.rows[0].at("out"), "");
             EXPECT_NE(r.csv.rows[0].at("t4_ns"), "");
         }},
        {"lost out and lost back",
         far_script{.lost_out = [](int64_t n) { return n % 10 == 5; },
                    .lost_back = [](int64_t n) { return n % 7 == 3; }},
         {"--oneway", "-c", "100", "-t", "0.05", "--interval=0"},
         AF_INET,
         [](const run& r, const far_end&) {
             int back = 0;
             for (int n = 0; n < 100; n++) back += n % 10 != 5 && n % 7 == 3 ? 1 : 0;
             EXPECT_EQ(whole(r.csv.summary, "oneway_loss_out"), 10);
             EXPECT_EQ(whole(r.csv.summary, "oneway_loss_back"), back);
             EXPECT_EQ(whole(r.csv.summary, "recvpkts"), 100 - 10 - back);
             EXPECT_EQ(r.csv.rows[1].at("far_count"), "2");
             EXPECT_EQ(r.csv.rows[6].at("far_count"), "6");  // probe 5 never arrived
         }},
        {"STAMP answers to nothing sent, too short, of another session",
         far_script{.stamp = true, .hostile = true},
         {"--stamp", "-c", "10", "--ssid=5"},
         AF_INET,
         [](const run& r, const far_end&) {
             const auto& s = r.csv.summary;
             EXPECT_EQ(s.at("recvpkts"), "10");
             EXPECT_EQ(s.at("oneway_far_times"), "10");
             EXPECT_EQ(s.at("oneway_unknown_replies"), "10");
             EXPECT_EQ(s.at("oneway_too_short"), "10");
             EXPECT_EQ(s.at("oneway_other_session"), "10");
             EXPECT_EQ(s.at("foreign"), "30");
             EXPECT_TRUE(has_line(r,
                                  "stats(): oneway replies unknown=10 too_short=10 authenticated=0 other_session=10 "
                                  "bad_times=0 mbz_nonzero=0"))
                 << r.result.out;
         }},
    };
    for (const far_case& c : cases) {
        SCOPED_TRACE(c.name);
        far_end peer(c.script, c.family);
        std::vector<std::string> options = c.options;
        options.insert(options.end(), {"--sendsize=64", "--recvsize=64"});
        run r = run_sender(c.family == AF_INET6 ? "::1" : "127.0.0.1", peer.port, options);
        ASSERT_EQ(r.result.status, 0) << r.result.err;
        ASSERT_FALSE(r.csv.rows.empty()) << r.result.out;
        c.check(r, peer);
        // Every answered probe has its four times in order on one host's
        // clock (a far end ahead shows it).
        for (const auto& row : r.csv.rows) {
            if (row.at("t2_ns").empty()) continue;
            const long long ahead = c.script.ahead_ns;
            EXPECT_LE(whole(row, "t1_ns"), whole(row, "t2_ns") - ahead) << row.at("index");
            EXPECT_LE(whole(row, "t2_ns"), whole(row, "t3_ns")) << row.at("index");
            EXPECT_LE(whole(row, "t3_ns") - ahead, whole(row, "t4_ns")) << row.at("index");
        }
    }
}

// --- scapy's STAMP layer as the reflector -------------------------------------------------

const char* const far_end_script = ECHOMARK_SOURCE_DIR "/tests/support/stamp_far_end.py";

// The far-end script under Debian's Python, its output in files.
pid_t start_python(const std::vector<std::string>& args, const std::string& out_path, const std::string& err_path) {
    const char* python = "/usr/bin/python3";
    std::vector<char*> argv = {const_cast<char*>(python), const_cast<char*>(far_end_script)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(err, 2);
        execv(python, argv.data());
        _exit(127);
    }
    return pid;
}

bool scapy_stamp_available() {
    return std::system("/usr/bin/python3 -c 'import scapy.contrib.stamp' >/dev/null 2>&1") == 0;
}

std::map<std::string, long long> words_of(const std::string& line) {
    std::map<std::string, long long> words;
    std::istringstream in(line);
    for (std::string word; in >> word;) {
        std::size_t equals = word.find('=');
        if (equals != std::string::npos) words[word.substr(0, equals)] = std::stoll(word.substr(equals + 1));
    }
    return words;
}

// The session-sender against a reflector that scapy's layer builds the
// answers of (stateful, its clock synchronized with a small error, losing
// test packet 4 on the way in): every field of every packet, as scapy read
// ours and as the CSV and JSON files show theirs.
TEST(ToolOnewayRun, ScapyReflectorAndTheSessionSenderAgreeOnEveryField) {
    if (!scapy_stamp_available()) GTEST_SKIP() << "/usr/bin/python3 cannot import scapy.contrib.stamp (python3-scapy)";
    const int port = tooltest::free_port();
    const std::string log_path = tooltest::temp_path(), err_path = tooltest::temp_path();
    pid_t reflector =
        start_python({"reflect", std::to_string(port), "12", "stateful=1", "s=1", "scale=10", "mult=3", "drop=4"},
                     log_path, err_path);
    ASSERT_TRUE(tooltest::wait_port_taken(port, 20.0));
    platform::clock_sync_state clock = platform::clock_sync_now();
    run r = run_sender("127.0.0.1", port, {"--stamp", "-c", "12", "-t", "0.3", "--ttl=33", "--ssid=9"}, true);
    EXPECT_EQ(tooltest::wait_program(reflector, 20.0), 0) << tooltest::read_file(err_path);
    ASSERT_EQ(r.result.status, 0) << r.result.err;
    ASSERT_EQ(r.csv.rows.size(), 12U) << r.result.out;
    std::vector<std::string> seen = lines_of(tooltest::read_file(log_path));
    ASSERT_EQ(seen.size(), 12U) << tooltest::read_file(err_path);

    const stamp_error ours = stamp_error_of(stamp_error_bits(
        stamp_error_from_seconds(platform::clock_sync_error_bound(&clock), clock.known && clock.synchronized, false)));
    long long answered = 0;
    for (int i = 0; i < 12; i++) {
        SCOPED_TRACE(i);
        std::map<std::string, long long> w = words_of(seen[i]);
        const auto& row = r.csv.rows[i];
        // Our test packet as scapy read it.
        EXPECT_EQ(w["seq"], i);
        EXPECT_EQ(w["t1"], whole(row, "t1_ns"));
        EXPECT_EQ(w["s"], ours.synchronized);
        EXPECT_EQ(w["z"], 0);
        EXPECT_EQ(w["scale"], ours.scale);
        EXPECT_EQ(w["mult"], ours.multiplier);
        EXPECT_EQ(w["ssid"], 9);
        EXPECT_EQ(w["length"], stamp_packet_length);
        EXPECT_EQ(w["ttl"], 33);
        if (i == 4) {
            EXPECT_EQ(row.at("reply"), "never");
            EXPECT_EQ(row.at("t2_ns") + row.at("t4_ns") + row.at("far_count"), "");
            continue;
        }
        // Its answer as the sender's files show it: the reflector's count,
        // its times within ours, the TTL it saw, its error estimate.
        EXPECT_EQ(row.at("reply"), "own");
        EXPECT_EQ(whole(row, "far_count"), answered++);
        EXPECT_EQ(w["rseq"], whole(row, "far_count"));
        EXPECT_EQ(w["t2"], whole(row, "t2_ns"));
        EXPECT_EQ(w["t3"], whole(row, "t3_ns"));
        EXPECT_LE(whole(row, "t1_ns"), w["t2"]);
        EXPECT_LE(w["t2"], w["t3"]);
        EXPECT_LE(w["t3"], whole(row, "t4_ns"));
        EXPECT_EQ(row.at("ttl_out"), "33");
        EXPECT_EQ(row.at("far_sync"), "1");
        EXPECT_NEAR(number(row, "far_error"), std::ldexp(3.0, 10 - 32), 1e-9);
        EXPECT_NEAR(number(row, "rtt"), static_cast<double>(whole(row, "t4_ns") - whole(row, "t1_ns")) / 1e9, 2e-9);
    }
    const auto& s = r.csv.summary;
    EXPECT_EQ(s.at("oneway_far_times"), "11");
    EXPECT_EQ(s.at("oneway_far_synchronized"), "11");
    EXPECT_EQ(s.at("oneway_loss_out"), "1");
    EXPECT_EQ(s.at("oneway_loss_back"), "0");
    EXPECT_EQ(s.at("oneway_ttl_out_min") + "/" + s.at("oneway_ttl_sent"), "33/33");
    EXPECT_EQ(s.at("oneway_trusted"), clock.known && clock.synchronized ? "1" : "0");

    // Python's own parser reads the same fields from the JSON file.
    const std::string read_back = tooltest::temp_path();
    const std::string command =
        "/usr/bin/python3 -c \"import json, sys\n"
        "d = json.load(open(sys.argv[1]))\n"
        "p = d['probes'][5]\n"
        "o = d['summary']['oneway']\n"
        "print(p['t1_ns'], p['t2_ns'], p['t3_ns'], p['t4_ns'], p['far_count'], p['ttl_out'], "
        "p['far_sync'], d['probes'][4]['t2_ns'], o['format'], o['loss_out'])\" " +
        r.json_path + " >" + read_back;
    ASSERT_EQ(std::system(command.c_str()), 0);
    const auto& five = r.csv.rows[5];
    EXPECT_EQ(tooltest::read_file(read_back), five.at("t1_ns") + " " + five.at("t2_ns") + " " + five.at("t3_ns") + " " +
                                                  five.at("t4_ns") + " 4 33 1 None stamp 1\n");
    for (const std::string& path : {log_path, err_path, r.json_path, read_back}) std::remove(path.c_str());
}

// --- the project's own far ends -----------------------------------------------------------

struct listener {
    int port = tooltest::free_port();
    std::string out_path = tooltest::temp_path(), err_path = tooltest::temp_path();
    pid_t pid;
    listener(const std::string& host, std::vector<std::string> extra) {
        std::vector<std::string> args = {"-l", "-h", host, "-p", std::to_string(port), "--quiet"};
        args.insert(args.end(), extra.begin(), extra.end());
        pid = tooltest::start_program(args, out_path, err_path);
    }
    ~listener() {
        kill(pid, SIGKILL);
        tooltest::wait_program(pid, 10.0);
        std::remove(out_path.c_str());
        std::remove(err_path.c_str());
    }
};

// The responder answers --oneway, the stateful reflector --stamp at a
// rate over IPv6: nothing lost either way, the far end's count is the
// probe's, the TTL and hop limit each way, the interval lines and the
// picture's two panels.
TEST(ToolOnewayRun, OurResponderAndReflectorAnswerBothFamiliesAndBothRuns) {
    {
        listener responder("127.0.0.1", {});
        ASSERT_TRUE(tooltest::wait_port_taken(responder.port, 10.0));
        run r = run_sender("127.0.0.1", responder.port, {"--oneway", "-c", "50", "--sendsize=48", "--recvsize=48"});
        ASSERT_EQ(r.result.status, 0) << r.result.err;
        EXPECT_EQ(r.csv.summary.at("oneway_far_times"), "50");
        EXPECT_EQ(r.csv.summary.at("oneway_loss_out") + r.csv.summary.at("oneway_loss_back"), "00");
        for (int i = 0; i < 50; i++) EXPECT_EQ(whole(r.csv.rows[i], "far_count"), i + 1) << i;
        EXPECT_TRUE(has_line(r, "stats(): oneway ttl out sent=64 received=64 (hops=0) back received=64"))
            << r.result.out;
    }
    {
        // --recvsize below the 48 bytes of the fields: said once, no times asked for.
        listener responder("127.0.0.1", {});
        ASSERT_TRUE(tooltest::wait_port_taken(responder.port, 10.0));
        run r = run_sender("127.0.0.1", responder.port, {"--oneway", "-c", "5", "--sendsize=47", "--recvsize=47"});
        EXPECT_EQ(tooltest::count_matching(r.result.out,
                                           "echomark_connect\\(\\): oneway: recvsize=47 is shorter than "
                                           "the 48 bytes .*"),
                  1)
            << r.result.out;
        EXPECT_EQ(r.csv.summary.at("oneway_far_asked"), "0");
        EXPECT_EQ(r.csv.summary.at("oneway_far_times"), "0");
    }
    listener reflector("::", {"--stamp=stateful"});
    ASSERT_TRUE(tooltest::wait_port_taken(reflector.port, 10.0));
    const std::string svg_path = tooltest::temp_path();
    run r = run_sender("::1", reflector.port,
                       {"--stamp", "--rate=200", "-c", "200", "--every=0.4", "--svg=" + svg_path, "--sendsize=100"});
    ASSERT_EQ(r.result.status, 0) << r.result.err;
    const auto& s = r.csv.summary;
    EXPECT_EQ(s.at("answered"), "200");
    EXPECT_EQ(s.at("oneway_far_times"), "200");
    EXPECT_EQ(s.at("sendsize"), "100");
    EXPECT_EQ(s.at("oneway_ttl_out_min") + "/" + s.at("oneway_ttl_back_max"), "64/64");
    for (int i = 0; i < 200; i++) EXPECT_EQ(whole(r.csv.rows[i], "far_count"), i) << i;
    // Its numbers are ours, as nothing was lost: loss by direction not known.
    EXPECT_EQ(s.at("oneway_loss_out"), "");
    EXPECT_EQ(tooltest::count_matching(r.result.out, "every\\(\\): " + tooltest::stamp +
                                                         " t=\\S+ oneway replies=\\d+ times=\\d+ out mean=\\S+ "
                                                         "queue=\\S+ back mean=\\S+ queue=\\S+ far mean=\\S+ \\[s\\]"),
              tooltest::count_matching(r.result.out, "every\\(\\): .* lag p99=.*"))
        << r.result.out;
    EXPECT_GE(tooltest::count_matching(r.result.out, "every\\(\\): .* oneway .*"), 2);
    const std::string svg = tooltest::read_file(svg_path);
    EXPECT_NE(svg.find("height=\"790\""), std::string::npos);
    for (const char* direction : {"out", "back"}) {
        std::size_t marks = 0;
        for (std::size_t at = svg.find(std::string("<circle class=\"") + direction + "\" data-probe=");
             at != std::string::npos;
             at = svg.find(std::string("<circle class=\"") + direction + "\" data-probe=", at + 1)) {
            marks++;
        }
        EXPECT_EQ(marks, 200U) << direction;
    }
    std::remove(svg_path.c_str());
}

}  // namespace
