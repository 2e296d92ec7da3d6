// UDP operations: datagrams to and from IPv4 addresses, with a time-out
// (select first) or blocking.
#include <cerrno>
#include <cstring>

#include "platform/winsock.hpp"
#include "socketlib/internal.hpp"
#include "socketlib/socket.hpp"

namespace socketlib {

namespace {

constexpr int send_codes[] = {platform::WSAEAFNOSUPPORT, platform::WSAEBADF,    platform::WSAECONNRESET,
                              platform::WSAEFAULT,       platform::WSAEINTR,    platform::WSAEMSGSIZE,
                              platform::WSAENOTCONN,     platform::WSAENOTSOCK, platform::WSAECONNREFUSED};
constexpr int recv_codes[] = {platform::WSAEBADF,    platform::WSAECONNRESET, platform::WSAEFAULT,
                              platform::WSAEINTR,    platform::WSAEINVAL,     platform::WSAENOTCONN,
                              platform::WSAENOTSOCK, platform::WSAETIMEDOUT,  platform::WSAECONNREFUSED};

// The UDP operations are IPv4 only: every address passed is 16 bytes.
constexpr int ipv4_address_length = static_cast<int>(sizeof(sockaddr_in));

int send_failed()
{
    if (platform::WSAGetLastError() == platform::RT_EPIPE) {
        errno = platform::RT_EPIPE;
        return -platform::WSAESHUTDOWN;
    }
    return internal::map_last_error(send_codes, SOCK_ERR_GENERIC);
}

}  // namespace

int udp_open(int family)
{
    if (sockWSASockInit() != 1)
        return SOCK_ERR_GENERIC;
    int sock = sock_open(family, SOCK_DGRAM, IPPROTO_UDP);
    if (sock < 0)
        platform::WSACleanup();  // no socket to close later
    return sock;
}

int udp_sockoptget(int sock, int option, int* value)
{
    return sock_optget(sock, option, value);
}

int udp_sockoptset(int sock, int option, int value)
{
    return sock_optset(sock, option, value);
}

int udp_bind(int sock, const void* address)
{
    return sock_bind(sock, address);
}

int udp_blocksend(int sock, const void* to, const void* data, int length)
{
    int sent = platform::sendto(sock, data, length, 0, to, ipv4_address_length);
    if (sent < 0)
        return send_failed();
    return sent;
}

int udp_send(int sock, const void* to, const void* data, int length, double timeout)
{
    int waited = internal::wait_ready(sock, false, platform::timeval_from_seconds(timeout));
    if (waited != 0)
        return waited;
    return udp_blocksend(sock, to, data, length);
}

int udp_blockrecv(int sock, void* from, void* buffer, int length)
{
    if (buffer != nullptr && length > 0)
        std::memset(buffer, 0, static_cast<std::size_t>(length));
    int from_length = ipv4_address_length;
    int received = platform::recvfrom(sock, buffer, length, 0, from, from != nullptr ? &from_length : nullptr);
    if (received < 0)
        return internal::map_last_error(recv_codes, SOCK_ERR_GENERIC);
    return received;
}

int udp_recv(int sock, void* from, void* buffer, int length, double timeout)
{
    int waited = internal::wait_ready(sock, true, platform::timeval_from_seconds(timeout));
    if (waited != 0)
        return waited;
    return udp_blockrecv(sock, from, buffer, length);
}

int udp_close(int sock)
{
    return sock_close(sock);
}

}  // namespace socketlib
