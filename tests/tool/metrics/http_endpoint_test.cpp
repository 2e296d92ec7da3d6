// The metrics endpoint over loopback, polled by a small loop of its own as a
// measurement loop would: what each request gets, pages sent whole to slow
// readers, hostile clients, and a real Prometheus server scraping it.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/metrics_support.hpp"
#include "tool/metrics/http_endpoint.hpp"
#include "tool/metrics/http_request.hpp"
#include "tool/metrics/responder_metrics.hpp"
#include "tool/metrics/sender_metrics.hpp"

namespace {

using metricstest::ask;
using metricstest::get;
using metricstest::http_reply;

double now() { return platform::monotonic_seconds(); }

// --- judging requests, without sockets --------------------------------------------

TEST(MetricsRequest, EachRequestGetsItsStatus) {
    const struct {
        const char* block;
        http_status status;
        http_route route;
        bool head_only;
    } cases[] = {
        {"GET /metrics HTTP/1.1\r\nHost: a\r\n\r\n", http_ok, route_metrics, false},
        {"GET /metrics?x=1 HTTP/1.0\r\n\r\n", http_ok, route_metrics, false},
        {"HEAD /metrics HTTP/1.1\r\n\r\n", http_ok, route_metrics, true},
        {"GET / HTTP/1.1\r\n\r\n", http_ok, route_index, false},
        {"GET /metricsx HTTP/1.1\r\n\r\n", http_not_found, route_none, false},
        {"HEAD /x HTTP/1.1\r\n\r\n", http_not_found, route_none, true},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 3\r\n\r\n", http_method_not_allowed, route_none, false},
        {"get /metrics HTTP/1.1\r\n\r\n", http_method_not_allowed, route_none, false},
        {"GET /metrics\r\n\r\n", http_bad_request, route_none, false},  // HTTP/0.9
        {"GET /metrics HTTP/2.0\r\n\r\n", http_bad_request, route_none, false},
        {"GET  /metrics HTTP/1.1\r\n\r\n", http_bad_request, route_none, false},
        {"GET /metrics HTTP/1.1 \r\n\r\n", http_bad_request, route_none, false},
        {"G(T /metrics HTTP/1.1\r\n\r\n", http_bad_request, route_none, false},
        {"GET /metrics HTTP/1.1\r\nno colon\r\n\r\n", http_bad_request, route_none, false},
        {"GET /metrics HTTP/1.1\r\n folded: x\r\n\r\n", http_bad_request, route_none, false},
        {"\r\n\r\n", http_bad_request, route_none, false},
    };
    for (const auto& c : cases) {
        int length = static_cast<int>(std::strlen(c.block));
        ASSERT_EQ(http_header_block_length(c.block, length), length) << c.block;
        http_verdict v = http_request_judge(c.block, length);
        EXPECT_EQ(v.status, c.status) << c.block;
        EXPECT_EQ(v.route, c.route) << c.block;
        if (v.status == http_ok || v.status == http_not_found) {
            EXPECT_EQ(v.head_only, c.head_only) << c.block;
        }
    }
    EXPECT_EQ(http_header_block_length("GET / HTTP/1.1\r\n\r", 17), 0);
    EXPECT_EQ(http_header_block_length("GET /\0 HTTP/1.1\r\n\r\n", 20), -1);
    EXPECT_EQ(http_header_block_length("A\r\n\r\nB", 6), 5);
    EXPECT_EQ(http_status_code(http_header_too_large), 431);
}

// --- a loop that polls the endpoint ------------------------------------------------

// What the loop's page shows: two flows of a sender and a responder.
struct page_source {
    rtt_stream rtt;
    sender_flow_metrics flows[2];
    std::vector<std::string> many_targets;
    std::vector<sender_flow_metrics> many_flows;
    sender_metrics sender;
    responder_metrics responder;
};

void fill_source(page_source* s, int extra_flows = 0) {
    rtt_stream_reset(&s->rtt);
    for (double v : {0.0002, 0.0004, 0.003}) rtt_stream_add(&s->rtt, v);
    s->flows[0] = {"alpha:4000", 0, 10, 3, 7, 1, 2, &s->rtt, false, nullptr, nullptr, 0};
    s->flows[1] = {"odd\"name\\x:1", 1, 5, 1, 4, 0, 0, nullptr, false, nullptr, nullptr, 0};
    s->many_targets.clear();
    for (int i = 0; i < extra_flows; i++) s->many_targets.push_back("host-" + std::to_string(i) + ".example:4000");
    s->many_flows.assign(s->flows, s->flows + 2);
    for (int i = 0; i < extra_flows; i++) {
        s->many_flows.push_back(
            {s->many_targets[i].c_str(), i, 1000, 990, 10, 0, 0, &s->rtt, false, nullptr, nullptr, 0});
    }
    s->sender = {s->many_flows.data(), static_cast<int>(s->many_flows.size())};
    s->responder = {};
    s->responder.datagrams = 100;
    s->responder.refused[refusal_loop] = 7;
}

// The endpoint and the thread that polls it: the loop waits on the
// endpoint's sockets and on a tick of its own every millisecond.
struct endpoint_loop {
    metrics_endpoint* endpoint = nullptr;
    const page_source* source = nullptr;
    std::atomic<bool> stop{false};
    std::atomic<int> pages{0};
    std::atomic<long> polls{0};
    double longest_poll = 0;  // read after the thread ended
    std::thread thread;
};

void run_loop(endpoint_loop* loop) {
    double tick = now();
    while (!loop->stop.load()) {
        platform::socket_set read_set, write_set;
        platform::socket_set_zero(&read_set);
        platform::socket_set_zero(&write_set);
        double at = now();
        double until = std::min(metrics_endpoint_wait(loop->endpoint, at, &read_set, &write_set), tick);
        platform::timeval wait = platform::timeval_from_seconds(std::max(0.0, until - at));
        platform::select(0, &read_set, &write_set, nullptr, &wait);
        at = now();
        if (at >= tick) tick = at + 0.001;
        loop->polls++;
        if (metrics_endpoint_poll(loop->endpoint, at, 8) == metrics_page_wanted) {
            prom_writer page = metrics_endpoint_page(loop->endpoint);
            sender_metrics_write(&page, &loop->source->sender);
            responder_metrics_write(&page, &loop->source->responder);
            metrics_endpoint_serve(loop->endpoint, &page);
            loop->pages++;
        }
        loop->longest_poll = std::max(loop->longest_poll, now() - at);
    }
}

metrics_endpoint endpoint;
char page_buffer[metrics_page_size];

// Opens the endpoint on a free loopback port and starts its loop.
int start(endpoint_loop* loop, const page_source* source, double connection_seconds, int page_capacity) {
    metrics_endpoint_setup setup = {"127.0.0.1", "0", connection_seconds, page_buffer, page_capacity};
    if (metrics_endpoint_open(&endpoint, &setup) != 0) return 0;
    loop->endpoint = &endpoint;
    loop->source = source;
    loop->thread = std::thread(run_loop, loop);
    return metrics_endpoint_port(&endpoint);
}

void stop(endpoint_loop* loop) {
    loop->stop = true;
    loop->thread.join();
}

// --- what each request gets ------------------------------------------------------------

TEST(MetricsEndpoint, AnswersEachRequestAndCloses) {
    static page_source source;
    fill_source(&source);
    endpoint_loop loop;
    int port = start(&loop, &source, 2.0, metrics_page_size);
    ASSERT_GT(port, 0);

    const struct {
        std::string request;
        int status;
        const char* in_reply;  // must appear in the head and body
    } cases[] = {
        {get("/metrics"), 200, "echomark_sender_probes_sent_total{target=\"alpha:4000\",flow=\"0\"} 10\n"},
        {"HEAD /metrics HTTP/1.1\r\n\r\n", 200, "Content-Type: text/plain; version=0.0.4"},
        {get("/"), 200, "href=\"/metrics\""},
        {get("/favicon.ico"), 404, "Not Found"},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", 405, "Allow: GET, HEAD\r\n"},
        {"GET /metrics\r\n\r\n", 400, "Bad Request"},
        {std::string("\x16\x03\x01\x00\x05hello\r\n\r\n", 14), 400, "Bad Request"},
    };
    for (const auto& c : cases) {
        http_reply reply = ask(port, c.request);
        EXPECT_EQ(reply.status, c.status) << c.request;
        EXPECT_TRUE(reply.closed) << c.request;
        EXPECT_NE(reply.raw.find(c.in_reply), std::string::npos) << c.request << "\n" << reply.raw;
        bool head = c.request.compare(0, 5, "HEAD ") == 0;
        size_t length_at = reply.head.find("Content-Length: ");
        ASSERT_NE(length_at, std::string::npos) << reply.head;
        int length = std::atoi(reply.head.c_str() + length_at + 16);
        EXPECT_EQ(reply.body.size(), head ? 0u : static_cast<size_t>(length)) << c.request;
        if (head) {
            EXPECT_GT(length, 0);
        }
    }

    // A header block beyond the request buffer: 431, or the connection
    // reset under it (the rest of the header was never read).
    std::string oversize =
        "GET /metrics HTTP/1.1\r\nX-Long: " + std::string(metrics_request_capacity, 'a') + "\r\n\r\n";
    http_reply reply = ask(port, oversize);
    EXPECT_TRUE(reply.status == 431 || (reply.status == 0 && reply.closed)) << reply.raw.substr(0, 200);

    std::string page = ask(port, get("/metrics")).body;
    stop(&loop);
    EXPECT_EQ(endpoint.counters.answers[http_header_too_large], 1u);
    EXPECT_EQ(endpoint.counters.answers[http_method_not_allowed], 1u);
    metrics_endpoint_close(&endpoint);

    if (!metricstest::installed(metricstest::promtool_path))
        GTEST_SKIP() << "promtool is not installed (Debian package prometheus): the served page was not checked";
    std::string said;
    EXPECT_TRUE(metricstest::promtool_accepts(page, &said)) << said << "\n" << page;
}

TEST(MetricsEndpoint, BigPageReachesSlowReadersWholeAndIsShared) {
    static page_source source;
    fill_source(&source, 300);
    endpoint_loop loop;
    int port = start(&loop, &source, 5.0, metrics_page_size);
    ASSERT_GT(port, 0);

    // A reader with a small window takes the page slowly, a few kilobytes
    // at a time, so the endpoint sends it over many polls.
    int slow = platform::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    int window = 8192;
    platform::setsockopt(slow, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    sockaddr_in to = tooltest::loopback(port);
    ASSERT_GT(socketlib::tcp_connect(slow, &to, 2.0), 0);
    std::string request = get("/metrics");
    socketlib::tcp_send(slow, request.data(), static_cast<int>(request.size()), 2.0);
    std::string slow_raw;
    char buffer[4096];
    while (slow_raw.find("\r\n\r\n") == std::string::npos) {
        int got = socketlib::tcp_onerecv(slow, buffer, sizeof buffer, 2.0);
        ASSERT_GT(got, 0);
        slow_raw.append(buffer, static_cast<size_t>(got));
    }
    // Meanwhile another scrape gets the same page.
    http_reply fast = ask(port, get("/metrics"));
    for (;;) {
        int got = socketlib::tcp_onerecv(slow, buffer, sizeof buffer, 2.0);
        if (got <= 0) break;
        slow_raw.append(buffer, static_cast<size_t>(got));
        platform::Sleep(1);
    }
    platform::closesocket(slow);
    std::string slow_body = slow_raw.substr(slow_raw.find("\r\n\r\n") + 4);
    EXPECT_GT(slow_body.size(), 500000u);
    EXPECT_EQ(fast.status, 200);
    EXPECT_TRUE(fast.body == slow_body) << fast.body.size() << " and " << slow_body.size() << " bytes";
    EXPECT_NE(slow_body.find("echomark_metrics_page_overflows_total 0\n"), std::string::npos);
    EXPECT_EQ(loop.pages.load(), 1);
    // Once nobody is sending it, the next request gets a fresh page.
    EXPECT_EQ(ask(port, get("/metrics")).status, 200);
    EXPECT_EQ(loop.pages.load(), 2);
    stop(&loop);
    // No poll waited on a socket: the slowest did some sends and looks.
    EXPECT_LT(loop.longest_poll, 0.05);
    metrics_endpoint_close(&endpoint);
}

TEST(MetricsEndpoint, PageBeyondItsBufferIs500AndCounted) {
    static page_source source;
    fill_source(&source);
    endpoint_loop loop;
    int port = start(&loop, &source, 2.0, 600);
    ASSERT_GT(port, 0);
    EXPECT_EQ(ask(port, get("/metrics")).status, 500);
    EXPECT_EQ(ask(port, get("/")).status, 200);
    stop(&loop);
    EXPECT_EQ(endpoint.counters.page_overflows, 1u);
    EXPECT_EQ(endpoint.counters.answers[http_internal_error], 1u);
    metrics_endpoint_close(&endpoint);
}

// A header block that stops half-way leaves its bytes pending, so its socket
// stays readable: the endpoint must look again later, not on every wake-up.
TEST(MetricsEndpoint, HalfHeaderIsLookedAtAgainNotSpunOn) {
    static page_source source;
    fill_source(&source);
    const double connection_seconds = 1.0;
    endpoint_loop loop;
    int port = start(&loop, &source, connection_seconds, metrics_page_size);
    ASSERT_GT(port, 0);
    int finishing = metricstest::connect_loopback(port);
    int stalled = metricstest::connect_loopback(port);
    ASSERT_GE(finishing, 0);
    ASSERT_GE(stalled, 0);
    const std::string half = "GET /metrics HTTP/1.1\r\nHost: x\r\n";
    for (int sock : {finishing, stalled}) socketlib::tcp_send(sock, half.data(), static_cast<int>(half.size()), 1.0);
    platform::Sleep(100);
    // Over half a second the loop wakes for its own millisecond tick and a
    // look every 10 ms: some hundreds of polls, not a spin.
    long before = loop.polls.load();
    platform::Sleep(500);
    EXPECT_LT(loop.polls.load() - before, 2000);

    socketlib::tcp_send(finishing, "\r\n", 2, 1.0);
    http_reply finished = metricstest::read_reply(finishing, 1.0);
    EXPECT_EQ(finished.status, 200);
    http_reply left = metricstest::read_reply(stalled, connection_seconds + 0.5);
    EXPECT_TRUE(left.closed && left.raw.empty());
    platform::closesocket(finishing);
    platform::closesocket(stalled);
    stop(&loop);
    EXPECT_EQ(endpoint.counters.drops[drop_deadline], 1u);
    metrics_endpoint_close(&endpoint);
}

// --- hostile clients -------------------------------------------------------------

constexpr int silent_clients = 100;

struct hostile_outcome {
    int silent_opened = 0;
    int silent_closed = 0;     // closed by the endpoint, with nothing sent
    double latest_close = 0;   // seconds from a silent connection's connect to its close, the longest
    bool big_refused = false;  // 431, or the connection closed under the sender
    int post_status = 0;
    int garbage_status = 0;
    int scrape_status = 0;  // a real scrape while the silent ones were open
};

// One round: a hundred silent connections, a 1 MiB header, a POST, garbage,
// and a real scrape in their midst.
hostile_outcome hostile_round(int port, const std::string& big_request, double connection_seconds) {
    hostile_outcome out;
    std::thread big([&] {
        int sock = metricstest::connect_loopback(port);
        if (sock < 0) return;
        socketlib::tcp_send(sock, big_request.data(), static_cast<int>(big_request.size()), 2.0);
        http_reply reply = metricstest::read_reply(sock, connection_seconds + 1.0);
        out.big_refused = reply.status == 431 || (reply.status == 0 && reply.closed);
        platform::closesocket(sock);
    });
    int silent[silent_clients];
    double connected[silent_clients];
    for (int i = 0; i < silent_clients; i++) {
        silent[i] = metricstest::connect_loopback(port);
        connected[i] = now();
        if (silent[i] >= 0) out.silent_opened++;
    }
    out.post_status = ask(port, "POST /metrics HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello").status;
    out.garbage_status = ask(port, std::string("\0\1\2garbage\r\n\r\n", 14)).status;
    out.scrape_status = ask(port, get("/metrics")).status;
    for (int i = 0; i < silent_clients; i++) {
        if (silent[i] < 0) continue;
        double left = connected[i] + connection_seconds + 1.0 - now();
        http_reply reply = metricstest::read_reply(silent[i], std::max(0.0, left));
        if (reply.closed && reply.raw.empty()) out.silent_closed++;
        out.latest_close = std::max(out.latest_close, now() - connected[i]);
        platform::closesocket(silent[i]);
    }
    big.join();
    return out;
}

void expect_withstood(const hostile_outcome& out, double connection_seconds) {
    EXPECT_EQ(out.silent_opened, silent_clients);
    EXPECT_EQ(out.silent_closed, silent_clients);
    // The connection's deadline, and a margin for the loop and the reader.
    EXPECT_LT(out.latest_close, connection_seconds + 0.5);
    EXPECT_TRUE(out.big_refused);
    EXPECT_EQ(out.post_status, 405);
    EXPECT_EQ(out.garbage_status, 400);
    EXPECT_EQ(out.scrape_status, 200);
}

std::string big_header_request() { return "GET /metrics HTTP/1.1\r\nX-Big: " + std::string(1 << 20, 'b') + "\r\n\r\n"; }

long resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

int open_descriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    while (readdir(dir) != nullptr) count++;
    closedir(dir);
    return count;
}

TEST(MetricsEndpoint, HostileClientsGetRefusedWhileScrapesGoOnInFixedMemory) {
    static page_source source;
    fill_source(&source);
    const int startups = platform::startup_count();
    const double connection_seconds = 1.0;
    const std::string big_request = big_header_request();
    endpoint_loop loop;
    int port = start(&loop, &source, connection_seconds, metrics_page_size);
    ASSERT_GT(port, 0);

    constexpr int rounds = 3;
    const int descriptors = open_descriptors();
    long resident_after_first = 0;
    for (int round = 0; round < rounds; round++) {
        expect_withstood(hostile_round(port, big_request, connection_seconds), connection_seconds);
        if (round == 0) resident_after_first = resident_bytes();
    }
    EXPECT_EQ(open_descriptors(), descriptors);
    EXPECT_LT(resident_bytes() - resident_after_first, 256 * 1024);
    stop(&loop);
    EXPECT_LT(loop.longest_poll, 0.05);
    EXPECT_EQ(endpoint.counters.answers[http_header_too_large], static_cast<uint64_t>(rounds));
    EXPECT_EQ(endpoint.counters.answers[http_method_not_allowed], static_cast<uint64_t>(rounds));
    EXPECT_EQ(endpoint.counters.answers[http_ok], static_cast<uint64_t>(rounds));
    EXPECT_GE(endpoint.counters.drops[drop_evicted] + endpoint.counters.drops[drop_deadline],
              static_cast<uint64_t>(rounds * silent_clients));
    for (const metrics_connection& c : endpoint.connections) EXPECT_EQ(c.stage, stage_free);
    metrics_endpoint_close(&endpoint);
    EXPECT_EQ(platform::startup_count(), startups);
}

// --- a real Prometheus server ------------------------------------------------------

TEST(MetricsEndpoint, PrometheusScrapesThroughHostileClients) {
    if (!metricstest::installed(metricstest::prometheus_path) || !metricstest::installed(metricstest::promtool_path))
        GTEST_SKIP() << "prometheus or promtool is not installed (Debian package prometheus): no real scraper";
    static page_source source;
    fill_source(&source);
    const double connection_seconds = 1.0;
    endpoint_loop loop;
    int port = start(&loop, &source, connection_seconds, metrics_page_size);
    ASSERT_GT(port, 0);

    metricstest::prometheus_server prometheus;
    ASSERT_TRUE(metricstest::prometheus_start(&prometheus, {port}));
    const int prometheus_port = prometheus.port;
    using metricstest::query;

    const std::string alpha = "{target=\"alpha:4000\",flow=\"0\"}";
    double sent = metricstest::query_within(prometheus_port, "echomark_sender_probes_sent_total" + alpha, 20.0);
    EXPECT_EQ(sent, 10.0) << tooltest::read_file(prometheus.log_path);

    // Two hostile rounds; Prometheus keeps scraping every second through them.
    const std::string big_request = big_header_request();
    double began = now();
    for (int round = 0; round < 2; round++) {
        expect_withstood(hostile_round(port, big_request, connection_seconds), connection_seconds);
    }
    platform::Sleep(1500);
    int window = static_cast<int>(std::ceil(now() - began));
    std::string up = "up{job=\"echomark\"}[" + std::to_string(window) + "s]";
    double scrapes = query(prometheus_port, "count_over_time(" + up + ")");
    EXPECT_GE(scrapes, window - 2.0);
    EXPECT_EQ(query(prometheus_port, "sum_over_time(" + up + ")"), scrapes);

    EXPECT_EQ(query(prometheus_port, "echomark_sender_lost_total{target=\"odd\\\"name\\\\x:1\",flow=\"1\"}"), 4.0);
    EXPECT_EQ(query(prometheus_port, "echomark_sender_round_trip_seconds_bucket{target=\"alpha:4000\",le=\"0.0005\"}"),
              2.0);
    EXPECT_EQ(query(prometheus_port, "echomark_sender_round_trip_seconds_count" + alpha), 3.0);
    EXPECT_EQ(query(prometheus_port, "echomark_responder_refused_total{reason=\"loop\"}"), 7.0);
    EXPECT_EQ(query(prometheus_port, "echomark_responder_datagrams_total"), 100.0);

    metricstest::prometheus_stop(&prometheus);
    stop(&loop);
    metrics_endpoint_close(&endpoint);
}

}  // namespace
