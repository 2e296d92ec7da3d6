// The echo responder: answers every datagram, to its own source, with a
// reply of the length the datagram asks for, and logs both.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/batch.hpp"
#include "platform/stop_request.hpp"
#include "platform/winsock.hpp"
#include "socketlib/socket.hpp"
#include "tool/echomarkcli-select.hpp"
#include "tool/log/line_format.hpp"
#include "tool/log/line_output.hpp"
#include "tool/responder/responder_guard.hpp"
#include "tool/cli/run_options.hpp"
#include "tool/log/step_log.hpp"
#include "utillib/utils.hpp"

namespace {

// Bursts from many senders wait in the receive buffer instead of being
// dropped while the responder logs; the system may grant less.
constexpr int responder_receive_buffer = 4 << 20;
// Longest wait before a stop request is seen, should it arrive just before
// the responder blocks.
constexpr int stop_patience_us = 100000;

}  // namespace

namespace {

// IPv6 text (it has a colon, dotted IPv4 never has) selects an IPv6 socket.
bool is_ipv6_text(const char* ipaddr) { return std::strchr(ipaddr, ':') != nullptr; }

// The set-up lines of an IPv6 responder, and its address.
sockaddr_in6 ipv6_listen_address(const char* ipaddr, const char* port) {
    std::printf("echomark_listen(): listaddr=create_sockaddr6in(AF_INET6, ipaddr=%s, ipport=%s):\n", ipaddr, port);
    sockaddr_in6 listaddr = socketlib::create_sockaddr6in(AF_INET6, ipaddr, port);
    char numeric[socketlib::IPV6_TEXT_SIZE];
    if (socketlib::inet_ntop(AF_INET6, &listaddr.sin6_addr, numeric, sizeof numeric) == nullptr) numeric[0] = '\0';
    std::printf("echomark_listen(): listaddr.sin6_addr=%s listaddr.sin6_port=%d\n", numeric, ntohs(listaddr.sin6_port));
    return listaddr;
}

}  // namespace

int echomark_listen_open(const char* ipaddr, int ipport) {
    char port[6];
    port_text(ipport, port);
    // Room for either family; the IPv4 path fills the first 16 bytes.
    sockaddr_in6 listaddr;
    std::memset(&listaddr, 0, sizeof listaddr);
    int family = is_ipv6_text(ipaddr) ? AF_INET6 : AF_INET;
    if (family == AF_INET6) {
        listaddr = ipv6_listen_address(ipaddr, port);
    } else {
        std::printf("echomark_listen(): listaddr=create_sockaddrin(AF_INET, ipaddr=%s, ipport=%s):\n", ipaddr, port);
        sockaddr_in listaddr4 = socketlib::create_sockaddrin(AF_INET, ipaddr, port);
        address_parts at = parts_of(listaddr4);
        std::printf("echomark_connect(): connaddr.sin_addr.s_addr=%08X (%d.%d.%d.%d) listaddr.sin_port=%d\n",
                    memory_word(listaddr4), at.a, at.b, at.c, at.d, at.port);
        std::memcpy(&listaddr, &listaddr4, sizeof listaddr4);
    }
    // A responder that cannot open or bind its socket would wait for ever on
    // an unbound socket (or spin on a bad one), so say so and give up.
    int sock = socketlib::udp_open(family);
    if (sock < 0) {
        std::printf("echomark_listen(): sock=udp_open(%s): sock=%d if (sock<0): error=%d:%s\n",
                    family == AF_INET6 ? "AF_INET6" : "AF_INET", sock, -sock, error_text(-sock));
        std::fflush(stdout);
        return sock;
    }
    int bound = socketlib::udp_bind(sock, &listaddr);
    if (bound < 0) {
        char where[peer_text_size];
        std::printf("echomark_listen(): result=udp_bind(%s): result=%d if (result<0): error=%d:%s\n",
                    peer_text(&listaddr, where), bound, -bound, error_text(-bound));
        std::fflush(stdout);
        socketlib::udp_close(sock);
        return bound;
    }
    socketlib::udp_sockoptset(sock, socketlib::SOCK_OPT_RCVBUF, responder_receive_buffer);
    return sock;
}

namespace {

// What the responder keeps between datagrams: the table of its safety rules
// and the log lines not yet written out.  Process-wide, like the measurement
// record, and far too large for the stack.
responder_guard guard;
line_output log_lines;

// A line about one datagram; --quiet leaves them all out.  Lines go out
// whole, only when the buffer is full or the responder is about to block.
[[gnu::format(printf, 1, 2)]] void listen_log(const char* format, ...) {
    if (runopts.quiet) return;
    va_list arguments;
    va_start(arguments, format);
    line_vprint(&log_lines, format, arguments);
    va_end(arguments);
}

// The rules start afresh for a socket bound elsewhere, or when the options
// they follow changed (tests call the responder on many sockets).
void guard_follow(int sock) {
    sockaddr_storage own;
    std::memset(&own, 0, sizeof own);
    int length = sizeof own;
    if (platform::getsockname(sock, &own, &length) != 0) length = 0;
    const sockaddr* address = reinterpret_cast<const sockaddr*>(&own);
    guard_source source;
    bool known = guard_source_of(address, length, &source);
    bool budget = !runopts.nobudget;
    if (known == guard.own_known && budget == guard.budget &&
        (!known || std::memcmp(&source, &guard.own, sizeof source) == 0)) {
        return;
    }
    guard_reset(&guard, address, length, budget);
}

int64_t monotonic_us() { return static_cast<int64_t>(platform::monotonic_seconds() * 1e6); }

// Datagrams taken and answered together: all those already waiting, up to
// this many, in one system call each way.
constexpr int batch_size = 32;
// Room for the lines of one datagram that precede its reply lines.
constexpr int slot_text_size = 768;

struct slot {
    unsigned char* data;  // its buffer: zeros beyond what arrived
    int dirty;            // bytes the receive may have written there
    int recvsize;
    int replysize;  // bytes to send back, -1 for none
    int sent_at;    // its place in the list of replies
    int lastpkts;
    int counter;         // the [N] of its lines
    double received_at;  // clock reading for its receive line
    int text_used;
    int peer_length;
    char peer[peer_text_size];
    char text[slot_text_size];  // its lines after the receive line, until its reply is sent
};

struct batch {
    platform::datagram io[batch_size];
    slot slots[batch_size];
};

// The serving loop's buffers, process-wide like the rest: 2 MiB is no stack's
// business.  Between batches every buffer reads as zeros.
unsigned char batch_buffers[batch_size][datagram_buffer_size];
batch serving;

// A line about datagram `s`, kept with it until its reply lines follow.
[[gnu::format(printf, 2, 3)]] void slot_log(slot* s, const char* format, ...) {
    if (runopts.quiet) return;
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

// "<stamp> echomark_listen(): [N] <call>(<peer>): <size_name>=<size> lastpkts=<n>\n",
// the line of every receive and every reply, stamped with the clock reading
// `at`, written straight into the log buffer.
template <size_t call_size, size_t size_name_size>
void datagram_line(double at, const char (&call)[call_size], const char (&size_name)[size_name_size], const slot* s,
                   int size) {
    char stamp[stamp_size];
    char* text = line_space(&log_lines, datagram_line_size);
    line_builder line = {text, text + datagram_line_size};
    put_text(&line, stamp_of(at, stamp));
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
    put_int(&line, s->lastpkts, 6);
    put_literal(&line, "\n");
    line_commit(&log_lines, static_cast<int>(line.at - text));
}

// The text of the latest source: a burst mostly comes from one.
struct peer_memo {
    sockaddr_storage address;
    int length;
    char text[peer_text_size];
};
peer_memo last_peer;

void source_text(const platform::datagram* io, char* text) {
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
int take_batch(int sock, batch* b, int want, bool drained) {
    for (int i = 0; i < want; i++) {
        b->io[i].data = b->slots[i].data;
        b->io[i].size = datagram_buffer_size;
    }
    int taken = drained ? 0 : platform::recv_datagrams(sock, b->io, want, false);
    if (taken > 0) return taken;
    int code = drained ? platform::WSAEWOULDBLOCK : platform::WSAGetLastError();
    if (code == platform::WSAEWOULDBLOCK) {
        line_flush(&log_lines);
        // A stop signal interrupts the blocking receive; one that came just
        // before it is seen when the receive time-out ends it.
        for (;;) {
            if (platform::stop_requested()) return stop_received;
            taken = platform::recv_datagrams(sock, b->io, want, true);
            if (taken > 0) return taken;
            code = platform::WSAGetLastError();
            if (code != platform::WSAEWOULDBLOCK && code != platform::WSAEINTR) break;
        }
    }
    platform::datagram* failed = &b->io[0];
    failed->result = platform::SOCKET_ERROR;
    failed->error = code;
    std::memset(&failed->address, 0, sizeof failed->address);
    failed->address_length = 0;
    return 1;
}

// The checks of one datagram, in arrival order: its receive line, and
// whether and how long a reply it gets.
void judge(slot* s, const platform::datagram* io, int* counter, int64_t now_us) {
    s->text_used = 0;
    s->replysize = -1;
    s->recvsize = io->result;
    // A failed receive may have left anything in the buffer.
    s->dirty = io->result >= 0 ? io->result : datagram_buffer_size;
    s->counter = *counter;
    s->lastpkts = data_value_get(s->data, value_probe);
    source_text(io, s->peer);
    s->peer_length = static_cast<int>(::strnlen(s->peer, peer_text_size));
    // The receive line is written after the replies are sent, with this
    // reading: the text costs nothing before the reply goes out.
    if (!runopts.quiet) s->received_at = utillib::getmicrotime();
    if (s->recvsize <= 0) {
        slot_log(s, "echomark_listen(): recvsize=udp_blockrecv(): recvsize=%d if (recvsize<=0): recvsize=%d:%s\n",
                 s->recvsize, io->error, error_text(io->error));
        return;
    }
    // The reply length is the datagram's own request (--echo: its own
    // length); one the buffer cannot hold is not answered.
    int replysize = runopts.echo ? s->recvsize : data_value_get(s->data, value_replysize);
    if (replysize < 0 || replysize > datagram_buffer_size) {
        slot_log(s, "echomark_listen(): [%06d] replysize=%d if (replysize<0 || replysize>%d): no reply\n", s->counter,
                 replysize, datagram_buffer_size);
        return;
    }
    if (runopts.maxreply != run_options_no_reply_limit && replysize > runopts.maxreply) {
        // --maxreply: a small request must not buy a large reply towards a
        // source that may be forged.
        slot_log(s, "echomark_listen(): [%06d] replysize=%d if (replysize>maxreply=%d): no reply\n", s->counter,
                 replysize, runopts.maxreply);
        return;
    }
    uint32_t fingerprint = runopts.echo ? guard_fingerprint(s->data, s->recvsize) : static_cast<uint32_t>(s->lastpkts);
    const sockaddr* source = reinterpret_cast<const sockaddr*>(&io->address);
    const unsigned char* cookie = runopts.echo ? nullptr : guard_cookie_presented(s->data, s->recvsize);
    guard_decision decision =
        guard_check(&guard, source, io->address_length, fingerprint, s->recvsize, replysize, cookie, now_us);
    if (decision.verdict != guard_answer) {
        if (decision.announce) {
            slot_log(s,
                     "echomark_listen(): [%06d] refused(%s): reason=%s lastpkts=%06d: no reply to this source "
                     "for now\n",
                     s->counter, s->peer, guard_reason(decision.verdict), s->lastpkts);
        }
        return;
    }
    s->replysize = replysize;
    // The reply's cookie replaces the one presented, which has been checked.
    if (!runopts.echo && guard_cookie_answer(&guard, source, io->address_length, s->data, replysize, now_us) &&
        s->dirty < probe_cookie_end) {
        s->dirty = probe_cookie_end;
    }
    // An endless responder may count past INT_MAX; wrap instead of overflowing.
    *counter = static_cast<int>(static_cast<uint32_t>(*counter) + 1U);
}

// Answers `taken` datagrams: judged in arrival order, their replies sent in
// one call (a lone reply as before, with sendto), then each datagram's lines
// in today's order, the reply lines with fresh time stamps.
void answer_batch(int sock, batch* b, int taken, int* counter) {
    int64_t now_us = monotonic_us();
    int replies = 0;
    for (int i = 0; i < taken; i++) {
        slot* s = &b->slots[i];
        judge(s, &b->io[i], counter, now_us);
        if (s->replysize < 0) continue;
        // The replies close up at the front of the list, in arrival order.
        if (replies != i) b->io[replies] = b->io[i];
        b->io[replies].data = s->data;
        b->io[replies].size = s->replysize;
        s->sent_at = replies++;
    }
    if (replies == 1) {
        platform::datagram* one = &b->io[0];
        one->result = platform::sendto(sock, one->data, one->size, 0, &one->address, one->address_length);
        one->error = call_error(one->result);
    } else if (replies > 1) {
        platform::send_datagrams(sock, b->io, replies);
    }
    for (int i = 0; i < taken; i++) {
        slot* s = &b->slots[i];
        if (!runopts.quiet) {
            datagram_line(s->received_at, "recvsize=udp_blockrecv", "recvsize", s, s->recvsize);
            line_append(&log_lines, s->text, s->text_used);
        }
        if (s->replysize >= 0) {
            int sendsize = b->io[s->sent_at].result;
            if (!runopts.quiet) {
                datagram_line(utillib::getmicrotime(), "sendsize=udp_send", "sendsize", s, sendsize);
            }
            int error = b->io[s->sent_at].error;
            if (sendsize <= 0) {
                listen_log("echomark_listen(): sendsize=udp_send(): sendsize=%d if (sendsize<=0): sendsize=%d:%s\n",
                           sendsize, error, error_text(error));
            }
            if (s->replysize != sendsize) {
                listen_log("echomark_listen(): if (recvsize!=sendsize) recvsize=%d != sendsize=%d\n", s->replysize,
                           sendsize);
            }
        }
        // Only what the datagram wrote is cleared again.
        std::memset(s->data, 0, static_cast<size_t>(s->dirty));
        s->dirty = 0;
    }
}

}  // namespace

void echomark_listen_reply(int sock, int* counter, unsigned char* buffer) {
    guard_follow(sock);
    static batch single;
    single.slots[0].data = buffer;
    std::memset(buffer, 0, datagram_buffer_size);
    int taken = take_batch(sock, &single, 1, false);
    if (taken > 0) answer_batch(sock, &single, taken, counter);
    line_flush(&log_lines);
}

void echomark_listen_serve(int sock, long datagrams) {
    guard_follow(sock);
    for (int i = 0; i < batch_size; i++) serving.slots[i].data = batch_buffers[i];
    int counter = 0;
    bool drained = false;
    // A stop request ends the loop after the datagrams in hand.
    for (long handled = 0; (datagrams < 0 || handled < datagrams) && !platform::stop_requested();) {
        long left = datagrams < 0 ? batch_size : datagrams - handled;
        int want = left < batch_size ? static_cast<int>(left) : batch_size;
        int taken = take_batch(sock, &serving, want, drained);
        if (taken == stop_received) break;
        drained = taken < want;
        answer_batch(sock, &serving, taken, &counter);
        handled += taken;
    }
    line_flush(&log_lines);
}

int echomark_listen(const char* ipaddr, int ipport) {
    int sock = echomark_listen_open(ipaddr, ipport);
    if (sock < 0) return sock;
    platform::stop_request_catch_with_hangup();
    // The blocking receive comes back now and then to look for a stop request.
    ::timeval patience = {0, stop_patience_us};
    platform::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    echomark_listen_serve(sock, -1);
    return 0;
}
