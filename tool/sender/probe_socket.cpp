// The sender's socket.
#include "tool/sender/probe_socket.hpp"

#include <cstdio>
#include <cstring>

#include "platform/stop_request.hpp"
#include "socketlib/socket.hpp"
#include "tool/log/step_log.hpp"
#include "tool/sender/sender.hpp"
#include "tool/wire/probe_datagram.hpp"

namespace {

// Interrupted waits and refused transfers are repeated, but not for ever.
constexpr int retry_limit = 1000;

int wait_select(int sock, platform::socket_set* read_set, platform::socket_set* write_set,
                const platform::timeval* timeout) {
    std::fflush(stdout);
    int result = platform::select(sock + 1, read_set, write_set, nullptr, timeout);
    for (int retry = 0; result < 0 && platform::WSAGetLastError() == platform::WSAEINTR && retry < retry_limit;
         retry++) {
        if (platform::stop_requested()) return probe_wait_stopped;
        result = platform::select(sock + 1, read_set, write_set, nullptr, timeout);
    }
    return result;
}

}  // namespace

void probe_socket_open(probe_socket* ps, const char* ipaddr, int ipport) {
    char port[6];
    port_text(ipport, port);
    std::memset(&ps->connaddr, 0, sizeof ps->connaddr);
    if (std::strchr(ipaddr, ':') != nullptr) {
        std::printf("echomark_connect(): connaddr=create_sockaddr6in(AF_INET6, ipaddr=%s, ipport=%s):\n", ipaddr, port);
        ps->connaddr = socketlib::create_sockaddr6in(AF_INET6, ipaddr, port);
        ps->connaddr_length = sizeof ps->connaddr;
        char numeric[socketlib::IPV6_TEXT_SIZE];
        if (socketlib::inet_ntop(AF_INET6, &ps->connaddr.sin6_addr, numeric, sizeof numeric) == nullptr) {
            numeric[0] = '\0';
        }
        std::printf("echomark_connect(): connaddr.sin6_addr=%s connaddr.sin6_port=%d\n", numeric,
                    ntohs(ps->connaddr.sin6_port));
        ps->family = AF_INET6;
    } else {
        std::printf("echomark_connect(): connaddr=create_sockaddrin(AF_INET, ipaddr=%s, ipport=%s):\n", ipaddr, port);
        sockaddr_in connaddr = socketlib::create_sockaddrin(AF_INET, ipaddr, port);
        address_parts to = parts_of(connaddr);
        std::printf("echomark_connect(): connaddr.sin_addr.s_addr=%08X (%d.%d.%d.%d) connaddr.sin_port=%d\n",
                    memory_word(connaddr), to.a, to.b, to.c, to.d, to.port);
        std::memcpy(&ps->connaddr, &connaddr, sizeof connaddr);
        ps->connaddr_length = sizeof connaddr;
        ps->family = AF_INET;
    }
    ps->sock = socketlib::udp_open(ps->family);
    // Replies are timed from the kernel's receive stamps where it gives them.
    platform::receive_stamps_on(ps->sock);
}

void probe_socket_header(const probe_socket* ps, int tos, int ttl) {
    struct field {
        int value;
        int option;
        const char* name;
    };
    bool six = ps->family == AF_INET6;
    const field fields[] = {
        {tos, six ? socketlib::SOCK_OPT_TCLASS : socketlib::SOCK_OPT_TOS, six ? "TCLASS" : "TOS"},
        {ttl, six ? socketlib::SOCK_OPT_HOPS : socketlib::SOCK_OPT_TTL, six ? "HOPS" : "TTL"},
    };
    for (const field& f : fields) {
        if (f.value == sender_header_unset) continue;
        int result = socketlib::udp_sockoptset(ps->sock, f.option, f.value);
        if (result < 0) {
            std::printf(
                "echomark_connect(): result=udp_sockoptset(SOCK_OPT_%s, %d): result=%d if (result<0): "
                "error=%d:%s\n",
                f.name, f.value, result, -result, error_text(-result));
        }
    }
}

int probe_socket_wait(const probe_socket* ps, platform::socket_set* set, bool for_read, double seconds) {
    platform::socket_set_zero(set);
    platform::socket_set_add(ps->sock, set);
    platform::timeval tv = platform::timeval_from_seconds(seconds);
    return for_read ? wait_select(ps->sock, set, nullptr, &tv) : wait_select(ps->sock, nullptr, set, &tv);
}

int probe_socket_send(const probe_socket* ps, const unsigned char* buffer, int length) {
    int result = platform::sendto(ps->sock, buffer, length, 0, &ps->connaddr, ps->connaddr_length);
    for (int retry = 0; result < 0 && platform::WSAGetLastError() == platform::WSAEWOULDBLOCK && retry < retry_limit;
         retry++) {
        result = platform::sendto(ps->sock, buffer, length, 0, &ps->connaddr, ps->connaddr_length);
    }
    return result;
}

int probe_socket_receive(const probe_socket* ps, unsigned char* buffer, sockaddr_in6* from,
                         platform::receive_time* arrival) {
    int fromlen = sizeof *from;
    int result = platform::recvfrom_stamped(ps->sock, buffer, datagram_buffer_size, 0, from, &fromlen, arrival);
    for (int retry = 0; result < 0 && platform::WSAGetLastError() == platform::WSAEWOULDBLOCK && retry < retry_limit;
         retry++) {
        fromlen = sizeof *from;
        result = platform::recvfrom_stamped(ps->sock, buffer, datagram_buffer_size, 0, from, &fromlen, arrival);
    }
    return result;
}

bool probe_socket_from_destination(const probe_socket* ps, const sockaddr_in6& from) {
    if (from.sin6_family != ps->connaddr.sin6_family) return false;
    if (from.sin6_family == AF_INET6) {
        return from.sin6_port == ps->connaddr.sin6_port &&
               std::memcmp(&from.sin6_addr, &ps->connaddr.sin6_addr, sizeof from.sin6_addr) == 0;
    }
    sockaddr_in got;
    sockaddr_in want;
    std::memcpy(&got, &from, sizeof got);
    std::memcpy(&want, &ps->connaddr, sizeof want);
    return got.sin_port == want.sin_port && got.sin_addr.s_addr == want.sin_addr.s_addr;
}
