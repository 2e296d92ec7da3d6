// The sender's Prometheus endpoint, served from the sending loop's slack.
#include "tool/sender/sender_watch.hpp"

#include <cstdio>
#include <cstring>
#include <limits>

#include "platform/clock.hpp"
#include "tool/log/step_log.hpp"

namespace {

// The flows' figures as they are now: counts copied, streams pointed at.
void refresh_series(sender_watch* watch) {
    const run_targets* targets = watch->targets;
    const int flows = targets->target_count * targets->flows;
    for (int g = 0; g < flows; g++) {
        const run_flow& flow = targets->flow[g];
        const schedule_figures& figures = flow.record.figures;
        sender_flow_metrics& s = watch->series[g];
        s.target = targets->target[flow.target].label;
        s.flow = flow.flow;
        s.probes_sent = static_cast<uint64_t>(flow.record.sent);
        s.replies = static_cast<uint64_t>(figures.arrivals);
        s.lost = static_cast<uint64_t>(figures.lost);
        s.duplicates = static_cast<uint64_t>(figures.duplicates);
        s.reordered = static_cast<uint64_t>(figures.reordered);
        s.round_trip = &figures.rtt;
        // The one-way figures, where the far end gives them, go here.
        s.one_way = false;
        s.forward = nullptr;
        s.backward = nullptr;
        s.far_received = 0;
    }
}

}  // namespace

int sender_watch_page_size(int flows) { return sender_watch_page_base + flows * sender_watch_page_per_flow; }

int sender_watch_open(sender_watch* watch, const char* address, const char* port, metrics_endpoint* endpoint,
                      char* page, int page_capacity, sender_flow_metrics* series, const run_targets* targets) {
    std::memset(watch, 0, sizeof *watch);
    if (address == nullptr || address[0] == '\0') address = "127.0.0.1";
    const bool ipv6 = std::strchr(address, ':') != nullptr;
    const char* open = ipv6 ? "[" : "";
    const char* close = ipv6 ? "]" : "";
    metrics_endpoint_setup setup = {address, port, 0.0, page, page_capacity};
    const int result = metrics_endpoint_open(endpoint, &setup);
    if (result < 0) {
        std::printf(
            "echomark_connect(): result=metrics_endpoint_open(%s%s%s:%s): result=%d if (result<0): error=%d:%s\n",
            open, address, close, port, result, -result, error_text(-result));
        std::fflush(stdout);
        return result;
    }
    std::printf("echomark_connect(): result=metrics_endpoint_open(%s%s%s:%s): result=0 url=http://%s%s%s:%d/metrics\n",
                open, address, close, port, open, address, close, metrics_endpoint_port(endpoint));
    std::fflush(stdout);
    watch->on = true;
    watch->endpoint = endpoint;
    watch->page = page;
    watch->page_capacity = page_capacity;
    watch->series = series;
    watch->targets = targets;
    const double now = platform::monotonic_seconds();
    watch->poll_by = now;
    work_cost_begin(&watch->poll_cost, sender_watch_poll_guess, now);
    work_cost_begin(&watch->series_cost, sender_watch_series_guess, now);
    return 0;
}

void sender_watch_close(sender_watch* watch) {
    if (!watch->on) return;
    metrics_endpoint_close(watch->endpoint);
    watch->on = false;
}

double sender_watch_sets(sender_watch* watch, double now, platform::socket_set* read_set,
                         platform::socket_set* write_set) {
    if (!watch->on) return std::numeric_limits<double>::infinity();
    watch->poll_by = metrics_endpoint_wait(watch->endpoint, now, read_set, write_set);
    // A page half written wants the next gap.
    return watch->rendering ? now : watch->poll_by;
}

void sender_watch_ready(sender_watch* watch) { watch->ready = true; }

bool sender_watch_fits(sender_watch* watch, double at, double until) {
    return watch->on && work_cost_fits(watch->rendering ? &watch->series_cost : &watch->poll_cost, at, until);
}

bool sender_watch_work(sender_watch* watch, double until) {
    if (!watch->on) return false;
    double now = platform::monotonic_seconds();
    bool worked = false;
    const bool due = watch->ready || now >= watch->poll_by || now >= watch->polled_at + sender_watch_poll_every;
    if (due && work_cost_fits(&watch->poll_cost, now, until)) {
        const int polled = metrics_endpoint_poll(watch->endpoint, now, sender_watch_poll_budget);
        const double after = platform::monotonic_seconds();
        work_cost_took(&watch->poll_cost, after - now);
        watch->ready = false;
        watch->polled_at = after;
        // The next wait asks the endpoint again; until then a poll is due only by the clock.
        watch->poll_by = after + sender_watch_poll_every;
        now = after;
        worked = true;
        if (polled == metrics_page_wanted && !watch->rendering) {
            watch->writer = metrics_endpoint_page(watch->endpoint);
            // A page still on its way to a slow reader: the request waits for the next one.
            if (watch->writer.capacity > 0) {
                watch->progress = {};
                watch->rendering = true;
            }
        }
    }
    const run_targets* targets = watch->targets;
    const sender_metrics figures = {watch->series, targets->target_count * targets->flows};
    // One series at a time, each only when the gap left holds the longest a
    // series has recently taken: a gap is overrun by one series' cost at most.
    if (watch->rendering) refresh_series(watch);
    for (int written = 0; watch->rendering && written < sender_watch_slice_series; written++) {
        if (!work_cost_fits(&watch->series_cost, now, until)) break;
        const bool done = sender_metrics_write_some(&watch->writer, &figures, &watch->progress, 1);
        const double after = platform::monotonic_seconds();
        work_cost_took(&watch->series_cost, after - now);
        now = after;
        worked = true;
        if (done) {
            metrics_endpoint_serve(watch->endpoint, &watch->writer);
            watch->rendering = false;
            watch->pages += 1;
        }
    }
    return worked;
}
