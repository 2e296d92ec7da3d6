// The echo responder's socket: its address lines, then the socket opened
// and bound to it.
#include <cstdio>
#include <cstring>

#include "socketlib/socket.hpp"
#include "tool/log/step_log.hpp"
#include "tool/responder/responder.hpp"

namespace {

// Bursts from many senders wait in the receive buffer instead of being
// dropped while the responder logs; the system may grant less.
constexpr int responder_receive_buffer = 4 << 20;

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

int responder_open(const char* ipaddr, int ipport) {
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
