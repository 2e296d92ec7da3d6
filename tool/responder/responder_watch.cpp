// The responder's Prometheus endpoint: opened with the socket, answered on
// the serving thread between batches and while the responder waits, so a
// scrape never holds up a reply for more than the few microseconds of one
// page.
#include <cstdio>
#include <cstring>

#include "platform/clock.hpp"
#include "tool/log/step_log.hpp"
#include "tool/responder/responder.hpp"

namespace {

// Socket operations the endpoint makes in one turn at most.
constexpr int poll_budget = 16;
// Longest wait for the sockets: a stop request is seen at least this often.
constexpr double wait_longest = 0.1;

int64_t microseconds_of(double seconds) { return static_cast<int64_t>(seconds * 1e6); }

void serve_page(responder* r) {
    prom_writer page = metrics_endpoint_page(&r->watch.endpoint);
    responder_metrics_write(&page, &r->counts);
    if (r->settings.stamp != responder_stamp_off) responder_metrics_write_stamp(&page, &r->reflector.counts);
    metrics_endpoint_serve(&r->watch.endpoint, &page);
}

void poll_at(responder* r, double now) {
    r->watch.polled_us = microseconds_of(now);
    if (metrics_endpoint_poll(&r->watch.endpoint, now, poll_budget) == metrics_page_wanted) serve_page(r);
}

}  // namespace

int responder_watch_open(responder* r) {
    const responder_settings& settings = r->settings;
    if (settings.metrics_port == nullptr) return 0;
    const char* address =
        settings.metrics_address != nullptr && settings.metrics_address[0] != '\0' ? settings.metrics_address
                                                                                    : "127.0.0.1";
    bool ipv6 = std::strchr(address, ':') != nullptr;
    metrics_endpoint_setup setup = {address, settings.metrics_port, 0.0, r->watch.page, responder_page_size};
    int result = metrics_endpoint_open(&r->watch.endpoint, &setup);
    const char* open = ipv6 ? "[" : "";
    const char* close = ipv6 ? "]" : "";
    if (result < 0) {
        std::printf(
            "echomark_listen(): result=metrics_endpoint_open(%s%s%s:%s): result=%d if (result<0): error=%d:%s\n",
            open, address, close, settings.metrics_port, result, -result, error_text(-result));
        std::fflush(stdout);
        return result;
    }
    std::printf("echomark_listen(): result=metrics_endpoint_open(%s%s%s:%s): result=0 url=http://%s%s%s:%d/metrics\n",
                open, address, close, settings.metrics_port, open, address, close,
                metrics_endpoint_port(&r->watch.endpoint));
    std::fflush(stdout);
    r->watch.on = true;
    r->watch.polled_us = 0;
    return 0;
}

void responder_watch_close(responder* r) {
    if (!r->watch.on) return;
    metrics_endpoint_close(&r->watch.endpoint);
    r->watch.on = false;
}

void responder_watch_poll(responder* r, int64_t now_us) {
    if (r->watch.on) poll_at(r, static_cast<double>(now_us) / 1e6);
}

int responder_watch_wait(responder* r, int sock) {
    platform::socket_set readable;
    platform::socket_set writable;
    platform::socket_set_zero(&readable);
    platform::socket_set_zero(&writable);
    platform::socket_set_add(sock, &readable);
    double now = platform::monotonic_seconds();
    double by = metrics_endpoint_wait(&r->watch.endpoint, now, &readable, &writable);
    double wait = by - now < wait_longest ? by - now : wait_longest;
    platform::timeval timeout = platform::timeval_from_seconds(wait > 0 ? wait : 0);
    int ready = platform::select(0, &readable, &writable, nullptr, &timeout);
    if (ready < 0) return platform::SOCKET_ERROR;
    poll_at(r, platform::monotonic_seconds());
    return platform::socket_set_has(sock, &readable) ? 1 : 0;
}
