// The echo responder: answers every datagram, to its own source, with a
// reply of the length the datagram asks for, and logs both.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/stop_request.hpp"
#include "platform/winsock.hpp"
#include "socketlib/socket.hpp"
#include "tool/echomarkcli-select.hpp"
#include "tool/line_output.hpp"
#include "tool/responder_guard.hpp"
#include "tool/run_options.hpp"
#include "tool/step_log.hpp"

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
                    family == AF_INET6 ? "AF_INET6" : "AF_INET", sock, -sock, error_text(sock));
        std::fflush(stdout);
        return sock;
    }
    int bound = socketlib::udp_bind(sock, &listaddr);
    if (bound < 0) {
        char where[peer_text_size];
        std::printf("echomark_listen(): result=udp_bind(%s): result=%d if (result<0): error=%d:%s\n",
                    peer_text(&listaddr, where), bound, -bound, error_text(bound));
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

// Takes the next datagram.  While more datagrams are already waiting the log
// stays in the output buffer; before the responder blocks, everything about
// the datagrams handled so far is written out, so a stop from outside loses
// none of it.  Returns stop_received when a stop was requested meanwhile.
constexpr int stop_received = -1000000;

int receive_datagram(int sock, unsigned char* buffer, sockaddr_storage* from, int* fromlen) {
    *fromlen = sizeof *from;
    int recvsize = platform::recvfrom(sock, buffer, datagram_buffer_size, MSG_DONTWAIT, from, fromlen);
    if (recvsize >= 0 || platform::WSAGetLastError() != platform::WSAEWOULDBLOCK) return recvsize;
    line_flush(&log_lines);
    // A stop signal interrupts the blocking receive; one that came just
    // before it is seen when the receive time-out ends it.
    for (;;) {
        if (platform::stop_requested()) return stop_received;
        *fromlen = sizeof *from;
        recvsize = platform::recvfrom(sock, buffer, datagram_buffer_size, 0, from, fromlen);
        if (recvsize >= 0) return recvsize;
        int code = platform::WSAGetLastError();
        if (code != platform::WSAEWOULDBLOCK && code != platform::WSAEINTR) return recvsize;
    }
}

// Answers one datagram.  `dirty` is how much of the buffer the previous
// datagram may have written; only that part is cleared, and the buffer still
// reads as zeros beyond what arrives.  False when a stop was requested.
bool reply_one(int sock, int* counter, unsigned char* buffer, int* dirty) {
    char stamp[stamp_size];
    char peer[peer_text_size];
    sockaddr_storage from;
    std::memset(&from, 0, sizeof from);
    std::memset(buffer, 0, static_cast<size_t>(*dirty));

    int fromlen = 0;
    int recvsize = receive_datagram(sock, buffer, &from, &fromlen);
    if (recvsize == stop_received) return false;
    // A failed receive may have left anything in the buffer.
    *dirty = recvsize >= 0 ? recvsize : datagram_buffer_size;
    int lastpkts = data_value_get(buffer, value_probe);
    peer_text(&from, peer);
    listen_log("%s echomark_listen(): [%06d] recvsize=udp_blockrecv(%s): recvsize=%d lastpkts=%06d\n", stamp_now(stamp),
               *counter, peer, recvsize, lastpkts);
    if (recvsize <= 0) {
        listen_log("echomark_listen(): recvsize=udp_blockrecv(): recvsize=%d if (recvsize<=0): recvsize=%d:%s\n",
                   recvsize, -recvsize, error_text(recvsize));
        return true;
    }
    // The reply length is the datagram's own request (--echo: its own
    // length); one the buffer cannot hold is not answered.
    int replysize = runopts.echo ? recvsize : data_value_get(buffer, value_replysize);
    if (replysize < 0 || replysize > datagram_buffer_size) {
        listen_log("echomark_listen(): [%06d] replysize=%d if (replysize<0 || replysize>%d): no reply\n", *counter,
                   replysize, datagram_buffer_size);
        return true;
    }
    if (runopts.maxreply != run_options_no_reply_limit && replysize > runopts.maxreply) {
        // --maxreply: a small request must not buy a large reply towards a
        // source that may be forged.
        listen_log("echomark_listen(): [%06d] replysize=%d if (replysize>maxreply=%d): no reply\n", *counter, replysize,
                   runopts.maxreply);
        return true;
    }
    uint32_t fingerprint = runopts.echo ? guard_fingerprint(buffer, recvsize) : static_cast<uint32_t>(lastpkts);
    guard_decision decision = guard_check(&guard, reinterpret_cast<const sockaddr*>(&from), fromlen, fingerprint,
                                          recvsize, replysize, monotonic_us());
    if (decision.verdict != guard_answer) {
        if (decision.announce) {
            listen_log(
                "echomark_listen(): [%06d] refused(%s): reason=%s lastpkts=%06d: no reply to this source "
                "for now\n",
                *counter, peer, guard_reason(decision.verdict), lastpkts);
        }
        return true;
    }
    int sendsize = platform::sendto(sock, buffer, replysize, 0, &from, fromlen);
    listen_log("%s echomark_listen(): [%06d] sendsize=udp_send(%s): sendsize=%d lastpkts=%06d\n", stamp_now(stamp),
               *counter, peer, sendsize, lastpkts);
    if (sendsize <= 0) {
        listen_log("echomark_listen(): sendsize=udp_send(): sendsize=%d if (sendsize<=0): sendsize=%d:%s\n", sendsize,
                   -sendsize, error_text(sendsize));
    }
    if (replysize != sendsize) {
        listen_log("echomark_listen(): if (recvsize!=sendsize) recvsize=%d != sendsize=%d\n", replysize, sendsize);
    }
    // An endless responder may count past INT_MAX; wrap instead of overflowing.
    *counter = static_cast<int>(static_cast<uint32_t>(*counter) + 1U);
    return true;
}

}  // namespace

void echomark_listen_reply(int sock, int* counter, unsigned char* buffer) {
    guard_follow(sock);
    int dirty = datagram_buffer_size;
    reply_one(sock, counter, buffer, &dirty);
    line_flush(&log_lines);
}

void echomark_listen_serve(int sock, long datagrams) {
    guard_follow(sock);
    unsigned char buffer[datagram_buffer_size];
    int counter = 0;
    int dirty = datagram_buffer_size;
    // A stop request ends the loop after the datagram in hand.
    for (long handled = 0; (datagrams < 0 || handled < datagrams) && !platform::stop_requested(); handled++) {
        if (!reply_one(sock, &counter, buffer, &dirty)) break;
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
