// The echo responder's serving loop: datagrams taken in batches, judged by
// the safety rules in arrival order, their replies sent together, and their
// lines written in the order of events.
#include "tool/responder/responder.hpp"

#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/clock.hpp"
#include "platform/random.hpp"
#include "platform/stop_request.hpp"
#include "platform/winsock.hpp"
#include "socketlib/socket.hpp"
#include "tool/log/line_format.hpp"
#include "tool/wire/stamp_time.hpp"
#include "utillib/utils.hpp"

namespace {

// Longest wait before a stop request is seen, should it arrive just before
// the responder blocks.
constexpr int stop_patience_us = 100000;
// Between batches of a busy responder, its endpoint's turn comes this often.
constexpr int64_t metrics_busy_poll_us = 1000;

// A line about one datagram; a quiet responder leaves them all out.  Lines
// go out whole, only when the buffer is full or the responder is about to
// block.
[[gnu::format(printf, 2, 3)]] void listen_log(responder* r, const char* format, ...) {
    if (r->settings.quiet) return;
    va_list arguments;
    va_start(arguments, format);
    line_vprint(&r->log, format, arguments);
    va_end(arguments);
}

// The rules start afresh for a socket bound elsewhere.
void guard_follow(responder* r, int sock) {
    sockaddr_storage own;
    std::memset(&own, 0, sizeof own);
    int length = sizeof own;
    if (platform::getsockname(sock, &own, &length) != 0) length = 0;
    const sockaddr* address = reinterpret_cast<const sockaddr*>(&own);
    guard_source source;
    bool known = guard_source_of(address, length, &source);
    bool budget = r->settings.budget;
    if (known == r->guard.own_known && budget == r->guard.budget &&
        (!known || std::memcmp(&source, &r->guard.own, sizeof source) == 0)) {
        return;
    }
    guard_reset(&r->guard, address, length, budget);
    r->reflector.own_port = r->guard.own_known ? r->guard.own.port : 0;
    r->facts_socket = -1;
}

// The socket's datagrams come with the kernel's facts from now on.
void facts_on(responder* r, int sock) {
    if (r->facts_socket == sock) return;
    platform::receive_facts_on(sock);
    r->facts_socket = sock;
}

// Before serving `sock`: its rules, and the facts that the far end's times
// take (a STAMP reflector's, and those a probe may ask for).  They cost
// nothing measurable; a plain echo has no use for them.
void serve_begin(responder* r, int sock) {
    guard_follow(r, sock);
    if (r->settings.stamp != responder_stamp_off || !r->settings.echo) facts_on(r, sock);
}

int64_t monotonic_us() { return static_cast<int64_t>(platform::monotonic_seconds() * 1e6); }

using slot = responder_slot;
constexpr int slot_text_size = responder_slot_text_size;

// A line about datagram `s`, kept with it until its reply lines follow.
[[gnu::format(printf, 3, 4)]] void slot_log(const responder* r, slot* s, const char* format, ...) {
    if (r->settings.quiet) return;
    int room = slot_text_size - s->text_used;
    va_list arguments;
    va_start(arguments, format);
    int length = std::vsnprintf(s->text + s->text_used, static_cast<size_t>(room), format, arguments);
    va_end(arguments);
    if (length < 0) return;
    if (length >= room) {
        s->text[slot_text_size - 2] = '\n';
        length = room - 1;
    }
    s->text_used += length;
}

constexpr int stop_received = -1000000;

// Longest line datagram_line writes: a stamp, a 63-character peer, three
// numbers and the fixed words come to at most 200 bytes.
constexpr int datagram_line_size = 256;
static_assert(datagram_line_size <= line_output_size);

// A number as "%06lld" writes it; a STAMP sequence number may pass INT_MAX.
void put_number(line_builder* line, int64_t value) {
    if (value >= INT_MIN && value <= INT_MAX) {
        put_int(line, static_cast<int>(value), 6);
        return;
    }
    if (value < 0) {
        put_literal(line, "-");
        value = -value;
    }
    put_int(line, static_cast<int>(value / 1000000), 0);
    put_int(line, static_cast<int>(value % 1000000), 6);
}

// "<stamp> echomark_listen(): [N] <call>(<peer>): <size_name>=<size> lastpkts=<n>\n",
// the line of every receive and every reply, stamped with the clock reading
// `at`, written straight into the log buffer.
template <size_t call_size, size_t size_name_size>
void datagram_line(responder* r, double at, const char (&call)[call_size], const char (&size_name)[size_name_size],
                   const slot* s, int size, int64_t number) {
    char stamp[stamp_size];
    char* text = line_space(&r->log, datagram_line_size);
    line_builder line = {text, text + datagram_line_size};
    put_text(&line, stamp_of(at, stamp, &r->stamps));
    put_literal(&line, " echomark_listen(): [");
    put_int(&line, s->counter, 6);
    put_literal(&line, "] ");
    put_literal(&line, call);
    put_literal(&line, "(");
    put_bytes(&line, s->peer, static_cast<size_t>(s->peer_length));
    put_literal(&line, "): ");
    put_literal(&line, size_name);
    put_literal(&line, "=");
    put_int(&line, size, 0);
    put_literal(&line, " lastpkts=");
    put_number(&line, number);
    put_literal(&line, "\n");
    line_commit(&r->log, static_cast<int>(line.at - text));
}

void source_text(responder* r, const platform::datagram* io, char* text) {
    responder_peer_memo& last_peer = r->last_peer;
    if (io->address_length > 0 && io->address_length == last_peer.length &&
        std::memcmp(&io->address, &last_peer.address, static_cast<size_t>(io->address_length)) == 0) {
        std::memcpy(text, last_peer.text, peer_text_size);
        return;
    }
    peer_text(&io->address, text);
    if (io->address_length <= 0 || io->address_length > static_cast<int>(sizeof last_peer.address)) return;
    std::memcpy(&last_peer.address, &io->address, static_cast<size_t>(io->address_length));
    last_peer.length = io->address_length;
    std::memcpy(last_peer.text, text, peer_text_size);
}

// Takes the datagrams already waiting, at most `want`.  While some are
// waiting the log stays in the output buffer; before the responder blocks,
// everything about the datagrams handled so far is written out, so a stop
// from outside loses none of it.  `drained`: the last take found fewer than
// it asked for, so the queue was empty then and the look without waiting
// (one more system call per batch) is left out.  Returns how many were
// taken (a failed receive counts as one, with its error), or stop_received.
int take(responder* r, int sock, int want, bool wait_for_one) {
    if (r->facts_socket == sock) return platform::recv_datagrams_with_facts(sock, r->io, want, wait_for_one);
    return platform::recv_datagrams(sock, r->io, want, wait_for_one);
}

// Without an endpoint the responder blocks in the receive; with one it
// waits for both, and takes what came once its socket is readable.
int take_waiting(responder* r, int sock, int want) {
    if (!r->watch.on) return take(r, sock, want, true);
    int ready = responder_watch_wait(r, sock);
    if (ready > 0) return take(r, sock, want, false);
    if (ready == 0) platform::WSASetLastError(platform::WSAEWOULDBLOCK);
    return platform::SOCKET_ERROR;
}

int take_batch(responder* r, int sock, int want, bool drained) {
    for (int i = 0; i < want; i++) {
        r->io[i].data = r->slots[i].data;
        r->io[i].size = datagram_buffer_size;
    }
    int taken = drained ? 0 : take(r, sock, want, false);
    if (taken > 0) return taken;
    int code = drained ? platform::WSAEWOULDBLOCK : platform::WSAGetLastError();
    if (code == platform::WSAEWOULDBLOCK) {
        line_flush(&r->log);
        // A stop signal interrupts the blocking receive; one that came just
        // before it is seen when the receive time-out ends it.
        for (;;) {
            if (platform::stop_requested()) return stop_received;
            taken = take_waiting(r, sock, want);
            if (taken > 0) return taken;
            code = platform::WSAGetLastError();
            if (code != platform::WSAEWOULDBLOCK && code != platform::WSAEINTR) break;
        }
    }
    platform::datagram* failed = &r->io[0];
    failed->result = platform::SOCKET_ERROR;
    failed->error = code;
    std::memset(&failed->address, 0, sizeof failed->address);
    failed->address_length = 0;
    return 1;
}

// What a STAMP reflector's lines show as lastpkts: the sequence number at the
// start of the packet (zeros beyond what arrived).
int64_t stamp_sequence(const unsigned char* data) {
    return static_cast<int64_t>(static_cast<uint32_t>(data[0]) << 24 | static_cast<uint32_t>(data[1]) << 16 |
                                static_cast<uint32_t>(data[2]) << 8 | static_cast<uint32_t>(data[3]));
}

const char* stamp_result_text(int result) {
    switch (result) {
        case stamp_too_short: return "too short";
        case stamp_authenticated: return "authenticated";
        case stamp_refused_source: return "reflector port";
        case stamp_no_room: return "no room";
        default: return "unknown";
    }
}

uint64_t stamp_result_count(const stamp_input_counts& counts, int result) {
    switch (result) {
        case stamp_too_short: return counts.too_short;
        case stamp_authenticated: return counts.authenticated;
        case stamp_refused_source: return counts.refused_source;
        case stamp_no_room: return counts.no_room;
        default: return 0;
    }
}

void count_refusal(responder* r, responder_refusal refusal) {
    if (refusal >= 0 && refusal < responder_refusal_kinds) r->counts.refused[refusal]++;
}

// A STAMP test packet that the rules let through: its answer, or a line
// (at most one per source and second) saying why there is none.
void judge_stamp(responder* r, slot* s, const platform::datagram* io, int64_t now_us) {
    const sockaddr* source = reinterpret_cast<const sockaddr*>(&io->address);
    uint64_t mbz_before = r->reflector.counts.mbz_nonzero;
    int length = responder_stamp_answer(r, s, io, now_us);
    if (length < 0) {
        if (guard_may_say(&r->guard, source, io->address_length, now_us)) {
            slot_log(r, s,
                     "echomark_listen(): [%06d] stamp_reflect(%s): recvsize=%d result=%d:%s count=%llu: no reply\n",
                     s->counter, s->peer, s->recvsize, length, stamp_result_text(length),
                     static_cast<unsigned long long>(stamp_result_count(r->reflector.counts, length)));
        }
        return;
    }
    if (r->reflector.counts.mbz_nonzero != mbz_before && guard_may_say(&r->guard, source, io->address_length, now_us)) {
        slot_log(r, s,
                 "echomark_listen(): [%06d] stamp_reflect(%s): recvsize=%d result=0:must-be-zero not zero "
                 "count=%llu: answered\n",
                 s->counter, s->peer, s->recvsize, static_cast<unsigned long long>(r->reflector.counts.mbz_nonzero));
    }
    s->replysize = length;
    s->reply_number = stamp_sequence(s->data);
    s->send_time = send_time_stamp;
    if (s->dirty < length) s->dirty = length;
}

// The checks of one datagram, in arrival order: its receive line, and
// whether and how long a reply it gets.
void judge(responder* r, slot* s, const platform::datagram* io, int* counter, int64_t now_us) {
    const responder_settings& settings = r->settings;
    bool stamp = settings.stamp != responder_stamp_off;
    s->text_used = 0;
    s->replysize = -1;
    s->send_time = send_time_none;
    s->recvsize = io->result;
    // A failed receive may have left anything in the buffer.
    s->dirty = io->result >= 0 ? io->result : datagram_buffer_size;
    s->counter = *counter;
    s->lastpkts = stamp ? stamp_sequence(s->data) : data_value_get(s->data, value_probe);
    s->reply_number = s->lastpkts;
    source_text(r, io, s->peer);
    s->peer_length = static_cast<int>(::strnlen(s->peer, peer_text_size));
    // The receive line is written after the replies are sent, with this
    // reading: the text costs nothing before the reply goes out.
    if (!settings.quiet) s->received_at = utillib::getmicrotime();
    if (s->recvsize < 0) {
        r->counts.receive_errors++;
    } else {
        r->counts.datagrams++;
        r->counts.received_bytes += static_cast<uint64_t>(s->recvsize);
    }
    if (s->recvsize <= 0) {
        slot_log(r, s, "echomark_listen(): recvsize=udp_blockrecv(): recvsize=%d if (recvsize<=0): recvsize=%d:%s\n",
                 s->recvsize, io->error, error_text(io->error));
        return;
    }
    // The reply length is the datagram's own request (--echo: its own
    // length; a STAMP reflector's: the request's, at least a whole packet);
    // one the buffer cannot hold is not answered.
    int replysize = stamp                 ? (s->recvsize > stamp_packet_length ? s->recvsize : stamp_packet_length)
                    : settings.echo ? s->recvsize
                                    : data_value_get(s->data, value_replysize);
    if (replysize < 0 || replysize > datagram_buffer_size) {
        count_refusal(r, refusal_too_large);
        slot_log(r, s, "echomark_listen(): [%06d] replysize=%d if (replysize<0 || replysize>%d): no reply\n",
                 s->counter, replysize, datagram_buffer_size);
        return;
    }
    if (settings.maxreply != responder_no_reply_limit && replysize > settings.maxreply) {
        // --maxreply: a small request must not buy a large reply towards a
        // source that may be forged.
        count_refusal(r, refusal_max_reply);
        slot_log(r, s, "echomark_listen(): [%06d] replysize=%d if (replysize>maxreply=%d): no reply\n", s->counter,
                 replysize, settings.maxreply);
        return;
    }
    bool whole = settings.echo || stamp;  // replies that carry the datagram's own bytes
    uint32_t fingerprint = whole ? guard_fingerprint(s->data, s->recvsize) : static_cast<uint32_t>(s->lastpkts);
    const sockaddr* source = reinterpret_cast<const sockaddr*>(&io->address);
    const unsigned char* cookie = whole ? nullptr : guard_cookie_presented(s->data, s->recvsize);
    // The rules come first: a refused packet moves no stateful count.
    guard_decision decision =
        guard_check(&r->guard, source, io->address_length, fingerprint, s->recvsize, replysize, cookie, now_us);
    if (decision.verdict != guard_answer) {
        count_refusal(r, responder_refusal_of(decision.verdict));
        if (decision.announce) {
            slot_log(r, s,
                     "echomark_listen(): [%06d] refused(%s): reason=%s lastpkts=%06lld: no reply to this source "
                     "for now\n",
                     s->counter, s->peer, guard_reason(decision.verdict), static_cast<long long>(s->lastpkts));
        }
        return;
    }
    if (stamp) {
        judge_stamp(r, s, io, now_us);
        if (s->replysize < 0) return;
    } else {
        s->replysize = replysize;
    }
    if (!whole) {
        // The reply's cookie replaces the one presented, which has been checked.
        if (guard_cookie_answer(&r->guard, source, io->address_length, s->data, replysize, now_us) &&
            s->dirty < probe_cookie_end) {
            s->dirty = probe_cookie_end;
        }
        if ((static_cast<uint32_t>(data_value_get(s->data, value_reserved)) & probe_ask_oneway) != 0 &&
            responder_oneway_answer(r, s, io, decision.received, now_us)) {
            s->send_time = send_time_oneway;
        }
    }
    // An endless responder may count past INT_MAX; wrap instead of overflowing.
    *counter = static_cast<int>(static_cast<uint32_t>(*counter) + 1U);
}

// Answers `taken` datagrams: judged in arrival order, their replies sent in
// one call (a lone reply with sendto), then each datagram's lines: its
// receive line, any refusal, then its reply lines with fresh time stamps.
void answer_batch(responder* r, int sock, int taken, int* counter) {
    int64_t now_us = monotonic_us();
    r->batch_us = now_us;
    int replies = 0;
    int timed = 0;
    platform::datagram* io = r->io;
    for (int i = 0; i < taken; i++) {
        slot* s = &r->slots[i];
        judge(r, s, &io[i], counter, now_us);
        if (s->replysize < 0) continue;
        if (s->send_time != send_time_none) timed++;
        // The replies close up at the front of the list, in arrival order.
        if (replies != i) io[replies] = io[i];
        io[replies].data = s->data;
        io[replies].size = s->replysize;
        s->sent_at = replies++;
    }
    if (timed > 0) responder_send_times(r, taken, io);
    if (replies == 1) {
        platform::datagram* one = &io[0];
        one->result = platform::sendto(sock, one->data, one->size, 0, &one->address, one->address_length);
        one->error = call_error(one->result);
    } else if (replies > 1) {
        platform::send_datagrams(sock, io, replies);
    }
    for (int i = 0; i < replies; i++) {
        if (io[i].result >= 0) {
            r->counts.replies++;
            r->counts.sent_bytes += static_cast<uint64_t>(io[i].result);
        } else {
            r->counts.send_errors++;
        }
    }
    for (int i = 0; i < taken; i++) {
        slot* s = &r->slots[i];
        if (!r->settings.quiet) {
            datagram_line(r, s->received_at, "recvsize=udp_blockrecv", "recvsize", s, s->recvsize, s->lastpkts);
            line_append(&r->log, s->text, s->text_used);
        }
        if (s->replysize >= 0) {
            int sendsize = io[s->sent_at].result;
            if (!r->settings.quiet) {
                datagram_line(r, utillib::getmicrotime(), "sendsize=udp_send", "sendsize", s, sendsize,
                              s->reply_number);
            }
            int error = io[s->sent_at].error;
            if (sendsize <= 0) {
                listen_log(r, "echomark_listen(): sendsize=udp_send(): sendsize=%d if (sendsize<=0): sendsize=%d:%s\n",
                           sendsize, error, error_text(error));
            }
            if (s->replysize != sendsize) {
                listen_log(r, "echomark_listen(): if (recvsize!=sendsize) recvsize=%d != sendsize=%d\n", s->replysize,
                           sendsize);
            }
        }
        // Only what the datagram wrote is cleared again.
        std::memset(s->data, 0, static_cast<size_t>(s->dirty));
        s->dirty = 0;
    }
}

}  // namespace

void responder_init(responder* r, const responder_settings* settings) {
    r->settings = *settings;
    // Bound to no socket yet: the first serve binds the rules to its socket.
    guard_reset(&r->guard, nullptr, 0, settings->budget);
    r->log.used = 0;
    r->stamps = stamp_memo{};
    std::memset(&r->last_peer, 0, sizeof r->last_peer);
    for (int i = 0; i < responder_batch_size; i++) {
        r->slots[i] = responder_slot{};
        r->slots[i].data = r->buffers[i];
    }
    r->counts = responder_metrics{};
    r->clock = responder_clock{-1, false};
    r->facts_socket = -1;
    r->batch_us = 0;
    r->watch.on = false;
    r->watch.polled_us = 0;
    r->watch.endpoint.listener = -1;
    r->reflector = stamp_reflector{};
    r->reflector.error_estimate = stamp_error_bits(stamp_error_from_seconds(INFINITY, false, false));
    if (settings->stamp == responder_stamp_stateful) {
        // The seed keeps outsiders from aiming many sessions at one place.
        uint64_t seed = 0;
        if (!platform::random_bytes(&seed, sizeof seed)) seed = static_cast<uint64_t>(platform::realtime_ns());
        stamp_sessions_reset(&r->sessions, seed);
        r->reflector.sessions = &r->sessions;
    }
}

void responder_reply_one(responder* r, int sock, int* counter, unsigned char* buffer) {
    serve_begin(r, sock);
    slot* first = &r->slots[0];
    unsigned char* own = first->data;
    first->data = buffer;
    std::memset(buffer, 0, datagram_buffer_size);
    int taken = take_batch(r, sock, 1, false);
    if (taken > 0) answer_batch(r, sock, taken, counter);
    first->data = own;
    line_flush(&r->log);
}

void responder_serve(responder* r, int sock, long datagrams) {
    serve_begin(r, sock);
    int counter = 0;
    bool drained = false;
    // A stop request ends the loop after the datagrams in hand.
    for (long handled = 0; (datagrams < 0 || handled < datagrams) && !platform::stop_requested();) {
        long left = datagrams < 0 ? responder_batch_size : datagrams - handled;
        int want = left < responder_batch_size ? static_cast<int>(left) : responder_batch_size;
        int taken = take_batch(r, sock, want, drained);
        if (taken == stop_received) break;
        drained = taken < want;
        answer_batch(r, sock, taken, &counter);
        handled += taken;
        // While datagrams keep coming the endpoint is looked at once a
        // millisecond: one comparison per batch otherwise.
        if (r->watch.on && r->batch_us - r->watch.polled_us >= metrics_busy_poll_us) {
            responder_watch_poll(r, r->batch_us);
        }
    }
    line_flush(&r->log);
}

int responder_listen(responder* r, const char* ipaddr, int ipport) {
    int sock = responder_open(ipaddr, ipport);
    if (sock < 0) return sock;
    platform::stop_request_catch_with_hangup();
    // The blocking receive comes back now and then to look for a stop request.
    ::timeval patience = {0, stop_patience_us};
    platform::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    int opened = responder_watch_open(r);
    if (opened < 0) {
        socketlib::udp_close(sock);
        return opened;
    }
    responder_serve(r, sock, -1);
    responder_watch_close(r);
    return 0;
}
