// The sockets of a run of many flows.
#include "tool/sender/flow_sockets.hpp"

#include <cstdio>
#include <cstring>

#include "socketlib/socket.hpp"
#include "tool/log/step_log.hpp"
#include "tool/sender/probe_socket.hpp"

namespace {

const char* family_name(int family) { return family == AF_INET6 ? "AF_INET6" : "AF_INET"; }

// A socket of the family bound to the any-address at a free port: its
// port, or the negative code of the step that failed.
int open_bound(int family, int* sock) {
    *sock = socketlib::udp_open(family);
    if (*sock < 0) return *sock;
    sockaddr_in6 any;
    std::memset(&any, 0, sizeof any);
    any.sin6_family = static_cast<sa_family_t>(family);
    int result = socketlib::udp_bind(*sock, &any);
    sockaddr_in6 local;
    int length = static_cast<int>(sizeof local);
    if (result >= 0 && platform::getsockname(*sock, &local, &length) != 0) result = -platform::WSAGetLastError();
    if (result < 0) {
        socketlib::udp_close(*sock);
        *sock = -1;
        return result;
    }
    // The port sits at the same place in both records.
    return ntohs(local.sin6_port);
}

}  // namespace

int flow_sockets_open(flow_sockets* sockets, int flows, bool ipv4, bool ipv6, int queue_bytes, int tos, int ttl) {
    std::memset(sockets, 0, sizeof *sockets);
    const int families[] = {ipv4 ? AF_INET : 0, ipv6 ? AF_INET6 : 0};
    for (int family : families) {
        if (family == 0) continue;
        for (int flow = 0; flow < flows && sockets->count < flow_sockets_max; flow++) {
            int sock = -1;
            const int port = open_bound(family, &sock);
            if (port < 0) {
                std::printf("echomark_connect(): flow=%d sock=udp_open(%s): result=%d if (result<0): error=%d:%s\n",
                            flow, family_name(family), port, -port, error_text(-port));
                flow_sockets_close(sockets);
                return -1;
            }
            platform::receive_stamps_on(sock);
            platform::setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &queue_bytes, sizeof queue_bytes);
            probe_socket header = {sock, {}, 0, family};
            probe_socket_header(&header, tos, ttl);
            sockets->list[sockets->count++] = {sock, family, flow, port};
            std::printf("echomark_connect(): flow=%d sock=udp_open(%s): port=%d\n", flow, family_name(family), port);
        }
    }
    return 0;
}

int flow_sockets_find(const flow_sockets* sockets, int family, int flow) {
    for (int k = 0; k < sockets->count; k++) {
        if (sockets->list[k].family == family && sockets->list[k].flow == flow) return k;
    }
    return -1;
}

void flow_sockets_close(flow_sockets* sockets) {
    for (int k = 0; k < sockets->count; k++) socketlib::udp_close(sockets->list[k].sock);
    sockets->count = 0;
}
