// The echo responder: answers every datagram, to its own source, with a
// reply of the length the datagram asks for, and logs both.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/winsock.hpp"
#include "socketlib/socket.hpp"
#include "tool/echomarkcli-select.hpp"
#include "tool/run_options.hpp"
#include "tool/step_log.hpp"

namespace {

// Bursts from many senders wait in the receive buffer instead of being
// dropped while the responder logs; the system may grant less.
constexpr int responder_receive_buffer = 4 << 20;

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

// Takes the next datagram.  While more datagrams are already waiting the log
// stays in the output buffer; before the responder blocks, everything about
// the datagrams handled so far is written out, so a stop from outside loses
// none of it.
int receive_datagram(int sock, unsigned char* buffer, sockaddr_in6* from, int* fromlen) {
    *fromlen = sizeof *from;
    int recvsize = platform::recvfrom(sock, buffer, datagram_buffer_size, MSG_DONTWAIT, from, fromlen);
    if (recvsize < 0 && platform::WSAGetLastError() == platform::WSAEWOULDBLOCK) {
        std::fflush(stdout);
        *fromlen = sizeof *from;
        recvsize = platform::recvfrom(sock, buffer, datagram_buffer_size, 0, from, fromlen);
    }
    return recvsize;
}

// Answers one datagram.  `dirty` is how much of the buffer the previous
// datagram may have written; only that part is cleared, and the buffer still
// reads as zeros beyond what arrives.
void reply_one(int sock, int* counter, unsigned char* buffer, int* dirty) {
    char stamp[stamp_size];
    char peer[peer_text_size];
    // Room for the source of either family.
    sockaddr_in6 from;
    int fromlen = 0;
    std::memset(&from, 0, sizeof from);
    std::memset(buffer, 0, static_cast<size_t>(*dirty));

    int recvsize = receive_datagram(sock, buffer, &from, &fromlen);
    // A failed receive may have left anything in the buffer.
    *dirty = recvsize >= 0 ? recvsize : datagram_buffer_size;
    int lastpkts = data_value_get(buffer, value_probe);
    peer_text(&from, peer);
    step_log("%s echomark_listen(): [%06d] recvsize=udp_blockrecv(%s): recvsize=%d lastpkts=%06d\n", stamp_now(stamp),
             *counter, peer, recvsize, lastpkts);
    if (recvsize <= 0) {
        step_log("echomark_listen(): recvsize=udp_blockrecv(): recvsize=%d if (recvsize<=0): recvsize=%d:%s\n",
                 recvsize, -recvsize, error_text(recvsize));
        return;
    }
    // The reply length is the datagram's own request; one the buffer cannot
    // hold is not answered.
    int replysize = data_value_get(buffer, value_replysize);
    if (replysize < 0 || replysize > datagram_buffer_size) {
        step_log("echomark_listen(): [%06d] replysize=%d if (replysize<0 || replysize>%d): no reply\n", *counter,
                 replysize, datagram_buffer_size);
        return;
    }
    if (runopts.maxreply != run_options_no_reply_limit && replysize > runopts.maxreply) {
        // --maxreply: a small request must not buy a large reply towards a
        // source that may be forged.
        step_log("echomark_listen(): [%06d] replysize=%d if (replysize>maxreply=%d): no reply\n", *counter, replysize,
                 runopts.maxreply);
        return;
    }
    int sendsize = platform::sendto(sock, buffer, replysize, 0, &from, fromlen);
    step_log("%s echomark_listen(): [%06d] sendsize=udp_send(%s): sendsize=%d lastpkts=%06d\n", stamp_now(stamp),
             *counter, peer, sendsize, lastpkts);
    if (sendsize <= 0) {
        step_log("echomark_listen(): sendsize=udp_send(): sendsize=%d if (sendsize<=0): sendsize=%d:%s\n", sendsize,
                 -sendsize, error_text(sendsize));
    }
    if (replysize != sendsize) {
        step_log("echomark_listen(): if (recvsize!=sendsize) recvsize=%d != sendsize=%d\n", replysize, sendsize);
    }
    // An endless responder may count past INT_MAX; wrap instead of overflowing.
    *counter = static_cast<int>(static_cast<uint32_t>(*counter) + 1U);
}

}  // namespace

void echomark_listen_reply(int sock, int* counter, unsigned char* buffer) {
    int dirty = datagram_buffer_size;
    reply_one(sock, counter, buffer, &dirty);
}

void echomark_listen_serve(int sock, long datagrams) {
    unsigned char buffer[datagram_buffer_size];
    int counter = 0;
    int dirty = datagram_buffer_size;
    for (long handled = 0; datagrams < 0 || handled < datagrams; handled++) {
        reply_one(sock, &counter, buffer, &dirty);
    }
    std::fflush(stdout);
}

void echomark_listen(const char* ipaddr, int ipport) {
    int sock = echomark_listen_open(ipaddr, ipport);
    if (sock < 0) return;
    echomark_listen_serve(sock, -1);
}
