// The metrics endpoint's connections: accepted, read, answered and closed a
// step at a time by the loop's polls.
//
// The socket library's operations wait for their socket with a time-out.
// Here every socket is non-blocking and each library call gets a time-out
// that is already over (metrics_no_wait): the readiness check inside the call
// does not wait, and the call ends after its first transfer, reporting what
// it moved.  A header block is taken with the library's header receive only
// once a peek has shown its end among the pending bytes, so that call never
// pauses for more.
#include "tool/metrics/http_endpoint.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "socketlib/socket.hpp"

namespace {

// Truncates to a zero wait (seconds and microseconds toward zero), and the
// time is up after the first transfer: any time spent, zero included, is
// already beyond it.
constexpr double metrics_no_wait = -1e-9;

constexpr char index_page[] =
    "<html><head><title>echomark</title></head>"
    "<body><p>echomark: <a href=\"/metrics\">/metrics</a></p></body></html>\n";
constexpr int index_page_length = static_cast<int>(sizeof index_page - 1);

constexpr const char* drop_reasons[metrics_drops] = {"deadline", "evicted", "table_full", "broken"};

bool would_block(int code) { return code == platform::WSAEWOULDBLOCK; }

void clear_slot(metrics_connection* c) {
    c->sock = -1;
    c->stage = stage_free;
    c->head_only = false;
    c->uses_page = false;
    c->busy = false;
    c->body = nullptr;
    c->body_length = 0;
    c->body_sent = 0;
    c->head_length = 0;
    c->head_sent = 0;
}

// Closes the connection; the page is let go of when nobody sends it any more.
void release(metrics_endpoint* ep, metrics_connection* c) {
    if (c->uses_page && --ep->page_users == 0) ep->page_length = -1;
    socketlib::tcp_close(c->sock);
    clear_slot(c);
}

void drop(metrics_endpoint* ep, metrics_connection* c, metrics_drop reason) {
    ep->counters.drops[reason] += 1;
    release(ep, c);
}

// The head of an answer in the connection's head buffer, and its body.
void start_answer(metrics_endpoint* ep, metrics_connection* c, http_status status, const char* type, const char* body,
                  int body_length, bool uses_page) {
    const char* allow = status == http_method_not_allowed ? "Allow: GET, HEAD\r\n" : "";
    int length =
        std::snprintf(c->head, sizeof c->head,
                      "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %d\r\n%sConnection: close\r\n\r\n",
                      http_status_code(status), http_status_phrase(status), type, body_length, allow);
    if (length < 0 || length >= static_cast<int>(sizeof c->head)) length = 0;
    c->head_length = length;
    c->head_sent = 0;
    c->body = c->head_only ? nullptr : body;
    c->body_length = c->head_only ? 0 : body_length;
    c->body_sent = 0;
    c->uses_page = uses_page;
    if (uses_page) ep->page_users += 1;
    c->stage = stage_sending;
    ep->counters.answers[status] += 1;
}

void answer_error(metrics_endpoint* ep, metrics_connection* c, http_status status) {
    const char* phrase = http_status_phrase(status);
    start_answer(ep, c, status, "text/plain; charset=utf-8", phrase, static_cast<int>(std::strlen(phrase)), false);
}

void answer_page(metrics_endpoint* ep, metrics_connection* c) {
    start_answer(ep, c, http_ok, "text/plain; version=0.0.4; charset=utf-8", ep->page, ep->page_length, true);
}

void answer(metrics_endpoint* ep, metrics_connection* c, http_verdict verdict) {
    c->head_only = verdict.head_only;
    if (verdict.status != http_ok) {
        answer_error(ep, c, verdict.status);
    } else if (verdict.route == route_index) {
        start_answer(ep, c, http_ok, "text/html; charset=utf-8", index_page, index_page_length, false);
    } else if (ep->page_users > 0 && ep->page_length >= 0) {
        // A page is on its way to others: this request gets the same one.
        answer_page(ep, c);
    } else {
        c->stage = stage_waiting_page;
    }
}

// Looks at the pending bytes of a connection that is reading its request.
// They are peeked, not taken, until the header block has ended; then the
// library's header receive takes exactly the block.
void read_request(metrics_endpoint* ep, metrics_connection* c, double now) {
    int peeked = platform::recv(c->sock, c->request, metrics_request_capacity, MSG_PEEK);
    if (peeked == 0 || (peeked < 0 && !would_block(platform::WSAGetLastError()))) {
        drop(ep, c, drop_broken);
        return;
    }
    if (peeked < 0) return;
    int block = http_header_block_length(c->request, peeked);
    if (block < 0) {
        answer_error(ep, c, http_bad_request);
        return;
    }
    if (block == 0) {
        if (peeked >= metrics_request_capacity) {
            answer_error(ep, c, http_header_too_large);
        } else {
            // The bytes stay pending, so the socket stays readable: looking at
            // it on every poll would only spin.
            c->look_at = now + metrics_look_again_seconds;
        }
        return;
    }
    int taken = socketlib::tcp_headersrecv(c->sock, c->request, metrics_request_capacity, metrics_no_wait);
    if (taken != block) {
        drop(ep, c, drop_broken);
        return;
    }
    answer(ep, c, http_request_judge(c->request, taken));
}

// Sends what the socket takes of the head, else of the body; the rest waits
// for the next poll.  Called only when the socket was writable.
void send_some(metrics_endpoint* ep, metrics_connection* c) {
    const char* data;
    int rest;
    if (c->head_sent < c->head_length) {
        data = c->head + c->head_sent;
        rest = c->head_length - c->head_sent;
    } else {
        data = c->body + c->body_sent;
        rest = c->body_length - c->body_sent;
        if (rest > metrics_send_slice) rest = metrics_send_slice;
    }
    if (rest > 0) {
        int sent = socketlib::tcp_send(c->sock, data, rest, metrics_no_wait);
        if (sent == socketlib::SOCK_ERR_GENERIC && would_block(errno)) return;
        // A time-out here means the socket, writable a moment ago, took part of
        // the data and then no more: how much is not known, so the answer
        // cannot go on.
        if (sent <= 0) {
            drop(ep, c, drop_broken);
            return;
        }
        if (c->head_sent < c->head_length) {
            c->head_sent += sent;
        } else {
            c->body_sent += sent;
        }
    }
    if (c->head_sent == c->head_length && c->body_sent == c->body_length) release(ep, c);
}

metrics_connection* free_slot(metrics_endpoint* ep) {
    for (metrics_connection& c : ep->connections) {
        if (c.stage == stage_free) return &c;
    }
    return nullptr;
}

// The oldest connection that is reading and had nothing new at the latest
// poll: a client that says nothing gives way to one that may.
metrics_connection* oldest_idle(metrics_endpoint* ep) {
    metrics_connection* oldest = nullptr;
    for (metrics_connection& c : ep->connections) {
        if (c.stage != stage_reading || c.busy) continue;
        if (oldest == nullptr || c.opened < oldest->opened) oldest = &c;
    }
    return oldest;
}

void accept_waiting(metrics_endpoint* ep, double now, int* budget) {
    for (int accepted = 0; accepted < metrics_accepts_per_poll; accepted++) {
        if (*budget <= 0) return;
        sockaddr_in6 peer;
        int sock = socketlib::tcp_accept(ep->listener, &peer);
        if (sock < 0) {
            if (!would_block(errno)) ep->accept_from = now + metrics_accept_rest_seconds;
            return;
        }
        *budget -= 1;
        // tcp_close gives back one start-up; the accepted socket brought none.
        socketlib::sockWSASockInit();
        socketlib::tcp_sockoptset(sock, socketlib::SOCK_OPT_NONBLOCKING, 1);
        socketlib::tcp_sockoptset(sock, socketlib::SOCK_OPT_NODELAY, 1);
        socketlib::tcp_sockoptset(sock, socketlib::SOCK_OPT_SNDBUF, metrics_send_buffer);
        metrics_connection* c = free_slot(ep);
        if (c == nullptr && (c = oldest_idle(ep)) != nullptr) drop(ep, c, drop_evicted);
        if (c == nullptr) {
            ep->counters.drops[drop_table_full] += 1;
            socketlib::tcp_close(sock);
            continue;
        }
        clear_slot(c);
        c->sock = sock;
        c->stage = stage_reading;
        c->busy = true;  // not evicted before a poll has looked at it
        c->opened = now;
        c->deadline = now + ep->connection_seconds;
        c->look_at = now;
    }
}

// Puts the sockets to look at into the sets; the latest time to poll by
// goes to *by.  Returns how many sockets were added.
int add_interest(const metrics_endpoint* ep, double now, platform::socket_set* read_set,
                 platform::socket_set* write_set, double* by) {
    int added = 0;
    *by = std::numeric_limits<double>::infinity();
    if (ep->listener < 0) return 0;
    if (now >= ep->accept_from) {
        platform::socket_set_add(ep->listener, read_set);
        added++;
    } else if (ep->accept_from < *by) {
        *by = ep->accept_from;
    }
    for (const metrics_connection& c : ep->connections) {
        if (c.stage == stage_free) continue;
        if (c.deadline < *by) *by = c.deadline;
        if (c.stage == stage_reading) {
            if (now >= c.look_at) {
                platform::socket_set_add(c.sock, read_set);
                added++;
            } else if (c.look_at < *by) {
                *by = c.look_at;
            }
        } else if (c.stage == stage_sending) {
            platform::socket_set_add(c.sock, write_set);
            added++;
        } else if (now < *by) {
            *by = now;  // waiting for the page
        }
    }
    return added;
}

void own_families(const metrics_endpoint* ep, prom_writer* page) {
    constexpr const char* answers = "echomark_metrics_http_responses_total";
    prom_family(page, answers, prom_counter, "Answers of the metrics endpoint, by status code.");
    for (int i = 0; i < http_statuses; i++) {
        char code[8];
        std::snprintf(code, sizeof code, "%d", http_status_code(static_cast<http_status>(i)));
        prom_label label = {"code", code};
        prom_sample_count(page, answers, &label, 1, ep->counters.answers[i]);
    }
    constexpr const char* drops = "echomark_metrics_connections_dropped_total";
    prom_family(page, drops, prom_counter, "Connections to the metrics endpoint closed before a whole answer.");
    for (int i = 0; i < metrics_drops; i++) {
        prom_label label = {"reason", drop_reasons[i]};
        prom_sample_count(page, drops, &label, 1, ep->counters.drops[i]);
    }
    constexpr const char* overflows = "echomark_metrics_page_overflows_total";
    prom_family(page, overflows, prom_counter, "Pages that did not fit the page buffer.");
    prom_sample_count(page, overflows, nullptr, 0, ep->counters.page_overflows);
}

}  // namespace

int metrics_endpoint_open(metrics_endpoint* ep, const metrics_endpoint_setup* setup) {
    ep->listener = -1;
    ep->connection_seconds = setup->connection_seconds > 0 ? setup->connection_seconds : metrics_connection_seconds;
    ep->accept_from = 0;
    ep->page = setup->page;
    ep->page_capacity = setup->page != nullptr && setup->page_capacity > 0 ? setup->page_capacity : 0;
    ep->page_length = -1;
    ep->page_users = 0;
    ep->first = 0;
    std::memset(&ep->counters, 0, sizeof ep->counters);
    for (metrics_connection& c : ep->connections) clear_slot(&c);

    const char* address = setup->address != nullptr && setup->address[0] != '\0' ? setup->address : "127.0.0.1";
    const char* port = setup->port != nullptr ? setup->port : "0";
    bool ipv6 = std::strchr(address, ':') != nullptr;
    sockaddr_in6 local;
    std::memset(&local, 0, sizeof local);
    if (ipv6) {
        local = socketlib::create_sockaddr6in(AF_INET6, address, port);
    } else {
        sockaddr_in local4 = socketlib::create_sockaddrin(AF_INET, address, port);
        std::memcpy(&local, &local4, sizeof local4);
    }
    int sock = socketlib::tcp_open(ipv6 ? AF_INET6 : AF_INET);
    if (sock < 0) return sock;
    socketlib::tcp_sockoptset(sock, socketlib::SOCK_OPT_REUSEADDR, 1);
    int result = socketlib::tcp_bind(sock, &local);
    if (result >= 0) result = socketlib::tcp_listen(sock, metrics_listen_backlog);
    if (result >= 0) result = socketlib::tcp_sockoptset(sock, socketlib::SOCK_OPT_NONBLOCKING, 1);
    if (result < 0) {
        socketlib::tcp_close(sock);
        // tcp_open made two start-ups, tcp_close gives back one.
        socketlib::sockWSASockClean();
        return result;
    }
    ep->listener = sock;
    return 0;
}

int metrics_endpoint_port(const metrics_endpoint* ep) {
    if (ep->listener < 0) return 0;
    sockaddr_in6 local;
    int length = static_cast<int>(sizeof local);
    if (platform::getsockname(ep->listener, &local, &length) != 0) return 0;
    // The port sits at the same place in both records.
    return ntohs(local.sin6_port);
}

void metrics_endpoint_close(metrics_endpoint* ep) {
    if (ep->listener < 0) return;
    for (metrics_connection& c : ep->connections) {
        if (c.stage != stage_free) release(ep, &c);
    }
    socketlib::tcp_close(ep->listener);
    socketlib::sockWSASockClean();
    ep->listener = -1;
}

int metrics_endpoint_poll(metrics_endpoint* ep, double now, int budget) {
    if (ep->listener < 0) return 0;
    if (budget < 1) budget = 1;
    for (metrics_connection& c : ep->connections) {
        if (c.stage != stage_free && now >= c.deadline) drop(ep, &c, drop_deadline);
    }

    // One look at every socket, without waiting.
    platform::socket_set readable;
    platform::socket_set writable;
    platform::socket_set_zero(&readable);
    platform::socket_set_zero(&writable);
    double by;
    if (add_interest(ep, now, &readable, &writable, &by) > 0) {
        platform::timeval no_wait = {0, 0};
        if (platform::select(0, &readable, &writable, nullptr, &no_wait) <= 0) {
            platform::socket_set_zero(&readable);
            platform::socket_set_zero(&writable);
        }
    }

    // Requests and answers first, then new connections: a connection
    // accepted now is read at the next poll, before more accepts could push
    // it out.
    for (int k = 0; k < metrics_max_connections; k++) {
        metrics_connection* c = &ep->connections[(ep->first + k) % metrics_max_connections];
        if (c->stage == stage_reading) {
            c->busy = platform::socket_set_has(c->sock, &readable);
            if (c->busy && budget > 0) {
                budget--;
                read_request(ep, c, now);
            }
        } else if (c->stage == stage_sending && platform::socket_set_has(c->sock, &writable) && budget > 0) {
            budget--;
            send_some(ep, c);
        }
    }
    ep->first = (ep->first + 1) % metrics_max_connections;
    if (platform::socket_set_has(ep->listener, &readable)) accept_waiting(ep, now, &budget);

    for (const metrics_connection& c : ep->connections) {
        if (c.stage == stage_waiting_page) return metrics_page_wanted;
    }
    return 0;
}

double metrics_endpoint_wait(const metrics_endpoint* ep, double now, platform::socket_set* read_set,
                             platform::socket_set* write_set) {
    double by;
    add_interest(ep, now, read_set, write_set, &by);
    return by;
}

prom_writer metrics_endpoint_page(metrics_endpoint* ep) {
    prom_writer writer;
    if (ep->page_users > 0) {
        prom_begin(&writer, nullptr, 0);
    } else {
        prom_begin(&writer, ep->page, ep->page_capacity);
    }
    return writer;
}

void metrics_endpoint_serve(metrics_endpoint* ep, prom_writer* page) {
    // A page still being sent is never written over.
    if (ep->page_users > 0) return;
    bool ours = page->text == ep->page && page->capacity == ep->page_capacity && page->capacity > 0;
    if (ours) own_families(ep, page);
    bool whole = ours && prom_ok(page);
    if (!whole) ep->counters.page_overflows += 1;
    ep->page_length = whole ? page->length : -1;
    for (metrics_connection& c : ep->connections) {
        if (c.stage != stage_waiting_page) continue;
        if (whole) {
            answer_page(ep, &c);
        } else {
            answer_error(ep, &c, http_internal_error);
        }
    }
    if (ep->page_users == 0) ep->page_length = -1;
}
