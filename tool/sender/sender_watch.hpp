// The sender's Prometheus endpoint (--metrics=): opened before the first
// probe, served by the sending loop itself in the slack before its next
// send, never in place of one.  A page is written a few series at a time
// from the records of the run's flows, so a page of hundreds of flows never
// holds up a probe by more than one short slice of work.
#pragma once

#include "tool/metrics/http_endpoint.hpp"
#include "tool/metrics/sender_metrics.hpp"
#include "tool/record/run_targets.hpp"

// Work the loop gives the endpoint only when its next send is at least this
// far away: one poll or one slice of the page takes well under it.
constexpr double sender_watch_slack = 0.0005;
// Socket operations of one poll, and series of one slice of the page.
constexpr int sender_watch_poll_budget = 8;
constexpr int sender_watch_slice_series = 16;
// Page room per flow: about 2.6 KB without one-way figures and 6.8 KB with
// them, and room for the endpoint's own families.
constexpr int sender_watch_page_per_flow = 7 * 1024;
constexpr int sender_watch_page_base = 16 * 1024;

// The page buffer a run of `flows` flows gives its endpoint.
int sender_watch_page_size(int flows);

struct sender_watch {
    bool on;
    metrics_endpoint* endpoint;    // the entry's storage
    char* page;                    // the entry's, page_capacity bytes
    int page_capacity;
    sender_flow_metrics* series;   // the entry's, one per flow
    const run_targets* targets;    // whose flow records the page shows
    prom_writer writer;            // the page being written
    sender_metrics_progress progress;
    bool rendering;                // a page is being written: metrics_endpoint_page is not asked again
    int pages;                     // pages served
};

// Opens the endpoint on `address` (numeric; null or empty: 127.0.0.1) and
// `port`, and prints the line that says so (or why it failed).  The
// endpoint, page and series storage are the caller's.  0, or the negative
// code of the socket operation that failed.
int sender_watch_open(sender_watch* watch, const char* address, const char* port, metrics_endpoint* endpoint,
                      char* page, int page_capacity, sender_flow_metrics* series, const run_targets* targets);
void sender_watch_close(sender_watch* watch);

// Adds the endpoint's sockets to the loop's sets; the latest time (the
// clock of `now`) at which the loop should give the endpoint its turn;
// +infinity when it needs none.
double sender_watch_sets(const sender_watch* watch, double now, platform::socket_set* read_set,
                         platform::socket_set* write_set);

// The endpoint's turn: a poll, then slices of a page that is asked for,
// as long as `until` (monotonic seconds, the loop's next duty) stays at
// least sender_watch_slack away.  True when it did any work.
bool sender_watch_work(sender_watch* watch, double until);
