// An HTTP endpoint for Prometheus inside a measurement loop: GET /metrics
// (and HEAD, and / pointing to it) on a listening TCP socket, served a little
// at a time by the loop's own thread, never waiting.
//
// The loop calls metrics_endpoint_poll between its own work.  One call looks
// once at all the endpoint's sockets without waiting, then accepts what is
// waiting, takes requests that are complete, and sends what the sockets
// take, at most `budget` socket operations in all.  While the loop waits for
// its own sockets it adds the endpoint's with metrics_endpoint_wait, so a
// scrape is answered while the loop is idle too.
//
// When a request for the page is complete the poll says so; the loop then
// writes the page with the writer of metrics_endpoint_page and hands it over
// with metrics_endpoint_serve.  One page answers every request that arrives
// while it is being sent; the next request after that gets a fresh one.
//
// Everything is bounded: a fixed table of connections, a fixed request
// buffer each, a deadline for each connection, a fixed head, and the page in
// the caller's buffer.  Nothing is allocated.
#pragma once

#include <cstdint>

#include "platform/winsock.hpp"
#include "tool/metrics/http_request.hpp"
#include "tool/metrics/prometheus_text.hpp"

constexpr int metrics_max_connections = 16;
// A request's header block must fit this; a longer one gets 431.
constexpr int metrics_request_capacity = 8192;
constexpr int metrics_head_capacity = 256;
// A connection's whole life, request and answer, unless the setup says otherwise.
constexpr double metrics_connection_seconds = 5.0;
// A header block that has begun but not ended is looked at again after this
// long, rather than every time the loop polls (its bytes stay pending).
constexpr double metrics_look_again_seconds = 0.01;
// After an accept that failed for another reason than "none waiting" (out of
// descriptors), accepting rests this long.
constexpr double metrics_accept_rest_seconds = 0.1;
// Connections accepted by one poll at most.
constexpr int metrics_accepts_per_poll = metrics_max_connections / 2;
// Bytes handed to one send at most.
constexpr int metrics_send_slice = 65536;
// Send buffer asked for on each connection: the system's own can grow to
// megabytes per connection; this keeps a full table near 4 MiB of kernel
// memory and still carries a page across a 50 ms path at 5 MB/s.
constexpr int metrics_send_buffer = 131072;
// Connections the system completes before the endpoint accepts them: room
// for a flood of a hundred and more between two polls.
constexpr int metrics_listen_backlog = 128;
// The page buffer a program should give the endpoint.
constexpr int metrics_page_size = 1 << 20;

// Why a connection was closed before its answer was sent whole.
enum metrics_drop {
    drop_deadline,    // its time was up: silent, too slow, or too slow to read
    drop_evicted,     // the table was full and it was the oldest idle one
    drop_table_full,  // the table was full of busy connections: closed at once
    drop_broken,      // the peer closed or reset it, or a socket operation failed
    metrics_drops,
};

enum metrics_stage : uint8_t {
    stage_free,
    stage_reading,       // until the header block is complete
    stage_waiting_page,  // a page request, until the loop writes the page
    stage_sending,       // head, then body
};

struct metrics_connection {
    int sock;  // -1 when the slot is free
    metrics_stage stage;
    bool head_only;
    bool uses_page;  // its body is the endpoint's page
    bool busy;       // readable or accepted at the latest poll: not idle
    double opened;
    double deadline;
    double look_at;  // reading: when its pending bytes are looked at next
    const char* body;
    int body_length;
    int body_sent;
    int head_length;
    int head_sent;
    char head[metrics_head_capacity];
    char request[metrics_request_capacity];
};

struct metrics_counters {
    uint64_t answers[http_statuses];  // answers begun, by status
    uint64_t drops[metrics_drops];
    uint64_t page_overflows;  // pages that did not fit the page buffer (answered 500)
};

struct metrics_endpoint {
    int listener;  // -1 when closed
    double connection_seconds;
    double accept_from;  // no accepting before this time
    char* page;          // the caller's buffer
    int page_capacity;
    int page_length;  // the page being sent, -1 when none is
    int page_users;   // connections sending it
    int first;        // where the next poll starts in the table, so none waits behind the others
    metrics_counters counters;
    metrics_connection connections[metrics_max_connections];
};

struct metrics_endpoint_setup {
    const char* address;        // numeric IPv4 or IPv6 text; null or empty: 127.0.0.1
    const char* port;           // decimal text; "0": a free port
    double connection_seconds;  // 0: metrics_connection_seconds
    char* page;                 // the caller's page buffer (metrics_page_size bytes, or what it chooses)
    int page_capacity;
};

// Opens the listening socket.  0, or the negative code of the socket
// operation that failed (-10048: the address is in use).
int metrics_endpoint_open(metrics_endpoint* endpoint, const metrics_endpoint_setup* setup);
// The port the endpoint listens on, 0 when closed.
int metrics_endpoint_port(const metrics_endpoint* endpoint);
// Closes every connection and the listening socket.
void metrics_endpoint_close(metrics_endpoint* endpoint);

constexpr int metrics_page_wanted = 1;
// Does the endpoint's waiting work; `now` on the monotonic clock (seconds),
// `budget` the socket operations it may make (at least one).  Returns
// metrics_page_wanted when a request waits for the page, else 0.
int metrics_endpoint_poll(metrics_endpoint* endpoint, double now, int budget);
// Adds the sockets the endpoint waits on to the loop's sets (reading and
// writing) and returns the latest time, on the clock of `now`, at which the
// loop should poll even when none of them is ready (a deadline, a look
// again); +infinity when there is none.
double metrics_endpoint_wait(const metrics_endpoint* endpoint, double now, platform::socket_set* read_set,
                             platform::socket_set* write_set);
// A writer over the page buffer; an empty one (it takes nothing) while a
// page is being sent.
prom_writer metrics_endpoint_page(metrics_endpoint* endpoint);
// Adds the endpoint's own families to the page and answers every request
// waiting for it: 200 with the page, or 500 when the page was cut (counted
// in page_overflows).  A writer over anything else than the page buffer is
// taken as a cut page.
void metrics_endpoint_serve(metrics_endpoint* endpoint, prom_writer* page);
