// The sender's Prometheus endpoint (--metrics=): opened before the first
// probe, served by the sending loop itself in the gaps before its next
// send, never in place of one.  Each piece of work (a poll of the endpoint,
// a slice of the page) is started only when the gap left holds it, by the
// longest it has recently taken (work_cost), and a page is written a few
// series at a time, so a page of hundreds of flows never holds up a probe.
#pragma once

#include "tool/metrics/http_endpoint.hpp"
#include "tool/metrics/sender_metrics.hpp"
#include "tool/record/run_targets.hpp"
#include "tool/sender/work_cost.hpp"

// Socket operations of one poll, and series of one slice of the page at most.
constexpr int sender_watch_poll_budget = 8;
constexpr int sender_watch_slice_series = 16;
// While the loop finds no time to wait on the sockets (its gaps spent on
// the clock), the endpoint is polled this often, where a poll fits.
constexpr double sender_watch_poll_every = 0.001;
// First guesses of a poll and of one series of the page, before any is measured.
constexpr double sender_watch_poll_guess = 50e-6;
constexpr double sender_watch_series_guess = 20e-6;
// Page room per flow: about 2.6 KB without one-way figures and 6.8 KB with
// them, and room for the endpoint's own families.
constexpr int sender_watch_page_per_flow = 7 * 1024;
constexpr int sender_watch_page_base = 16 * 1024;

// The page buffer a run of `flows` flows gives its endpoint.
int sender_watch_page_size(int flows);

struct sender_watch {
    bool on;
    metrics_endpoint* endpoint;   // the entry's storage
    char* page;                   // the entry's, page_capacity bytes
    int page_capacity;
    sender_flow_metrics* series;  // the entry's, one per flow
    const run_targets* targets;   // whose flow records the page shows
    prom_writer writer;           // the page being written
    sender_metrics_progress progress;
    bool rendering;               // a page is being written: metrics_endpoint_page is not asked again
    bool ready;                   // the loop's wait ended with one of the endpoint's sockets ready
    double poll_by;               // when the endpoint wants a poll at the latest
    double polled_at;
    work_cost poll_cost;
    work_cost series_cost;
    int pages;  // pages served
};

// Opens the endpoint on `address` (numeric; null or empty: 127.0.0.1) and
// `port`, and prints the line that says so (or why it failed).  The
// endpoint, page and series storage are the caller's.  0, or the negative
// code of the socket operation that failed.
int sender_watch_open(sender_watch* watch, const char* address, const char* port, metrics_endpoint* endpoint,
                      char* page, int page_capacity, sender_flow_metrics* series, const run_targets* targets);
void sender_watch_close(sender_watch* watch);

// Adds the endpoint's sockets to the loop's sets; the latest time (the
// clock of `now`) at which the loop should give the endpoint a turn, or
// +infinity (also when it is closed).
double sender_watch_sets(sender_watch* watch, double now, platform::socket_set* read_set,
                         platform::socket_set* write_set);
// The loop's wait ended with one of the endpoint's sockets ready.
void sender_watch_ready(sender_watch* watch);
// Whether the endpoint's next piece of work (a poll, or a series of the
// page being written) would fit between `at` and `until`.
bool sender_watch_fits(sender_watch* watch, double at, double until);

// The endpoint's turn: a poll when one is due, then slices of a page that
// is asked for, each only when it fits before `until` (monotonic seconds:
// the loop's next duty).  True when it did any work.
bool sender_watch_work(sender_watch* watch, double until);
