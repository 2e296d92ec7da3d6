// The stub resolver's one exchange: a query to the server's port 53 and the
// first reply that comes from there.
#include "socketlib/socket.hpp"

namespace socketlib {

namespace {

constexpr const char* dns_port = "53";

bool from_server(const sockaddr_in& from, const sockaddr_in& server)
{
    return from.sin_addr.s_addr == server.sin_addr.s_addr && from.sin_port == server.sin_port;
}

// Sends the query and waits for the server's reply; a datagram from any
// other source is dropped and the wait goes on for what is left of the
// time-out.  The reply's length, or -1001.
int exchange(int sock, const sockaddr_in& server, unsigned char* message, int query_length, double timeout)
{
    if (udp_send(sock, &server, message, query_length, timeout) < 0)
        return SOCK_ERR_GENERIC;

    double deadline = platform::monotonic_seconds() + timeout;
    double wait = timeout;
    for (;;) {
        sockaddr_in from{};
        int received = udp_recv(sock, &from, message, NAMED_MESSAGE_SIZE, wait);
        if (received < 0)
            return SOCK_ERR_GENERIC;
        if (from_server(from, server))
            return received;
        wait = deadline - platform::monotonic_seconds();
        if (!(wait > 0))
            return SOCK_ERR_GENERIC;
    }
}

}  // namespace

int gethostbynamestr_ns(uint16_t type, uint16_t qclass, const char* name, const char* server, named_response* response,
                        double timeout)
{
    sockaddr_in server_address = create_sockaddrin(AF_INET, server, dns_port);
    unsigned char message[NAMED_MESSAGE_SIZE];
    int query_length = named_createquery(type, qclass, name, message, sizeof message);
    if (query_length < 0 || response == nullptr)
        return SOCK_ERR_GENERIC;

    int sock = udp_open(AF_INET);
    if (sock < 0)
        return -1;
    int received = exchange(sock, server_address, message, query_length, timeout);
    udp_close(sock);
    if (received < 0)
        return received;
    named_parseresponse(message, received, name, response);
    return 1;
}

}  // namespace socketlib
