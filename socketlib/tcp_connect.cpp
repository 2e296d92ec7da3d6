// TCP: opening stream sockets, forwarders to the generic operations, and the
// ways of connecting (with a time-out, prepared, any-answer, blocking, poll).
#include <cerrno>
#include <cstdint>

#include "platform/winsock.hpp"
#include "socketlib/internal.hpp"
#include "socketlib/socket.hpp"
#include "socketlib/stream.hpp"

namespace socketlib {
namespace {

// Immediate failures of connect, in the order they are tested.
constexpr int connect_errors[] = {
    platform::WSAEADDRNOTAVAIL, platform::WSAEAFNOSUPPORT, platform::WSAEALREADY,   platform::WSAEBADF,
    platform::WSAECONNREFUSED,  platform::WSAEINTR,        platform::WSAEISCONN,    platform::WSAENETUNREACH,
    platform::WSAENOTSOCK,      platform::WSAEPROTOTYPE,   platform::WSAETIMEDOUT,  platform::RT_EIO,
    platform::WSAELOOP,         platform::RT_ENAMETOOLONG, platform::RT_ENOENT,     platform::RT_ENOTDIR,
    platform::RT_EACCES,        platform::WSAEADDRINUSE,   platform::WSAECONNRESET, platform::WSAEHOSTUNREACH,
    platform::WSAEINVAL,        platform::WSAENETDOWN,     platform::WSAENOBUFS,    platform::WSAEOPNOTSUPP,
};

// Connect length for the internet families: 28 for IPv6, otherwise 16 (also
// when the family cannot be read).
int internet_address_length(int sock)
{
    if (static_cast<int16_t>(sock_family(sock)) == AF_INET6)
        return static_cast<int>(sizeof(sockaddr_in6));
    return static_cast<int>(sizeof(sockaddr_in));
}

bool attempt_under_way(int code)
{
    return code == platform::WSAEWOULDBLOCK || code == platform::WSAEINPROGRESS;
}

// Waits in both directions; the outcome of select decides between time-out,
// failure and an attempt that showed some result.
internal::wait_outcome wait_for_outcome(int sock, double timeout)
{
    return internal::wait_socket(sock, true, true, platform::timeval_from_seconds(timeout));
}

}  // namespace

int tcp_sockopen(int family)
{
    if (sockWSASockInit() != 1)
        return SOCK_ERR_GENERIC;
    int sock = platform::socket(family, SOCK_STREAM, IPPROTO_TCP);
    if (sock == platform::INVALID_SOCKET) {
        // No socket to close later: give back the start-up made for it.
        platform::WSACleanup();
        return SOCK_ERR_GENERIC;
    }
    return sock;
}

int tcp_open(int family)
{
    if (sockWSASockInit() != 1)
        return SOCK_ERR_GENERIC;
    int sock = sock_open(family, SOCK_STREAM, IPPROTO_TCP);
    // Harmless on a failed open: the option call then simply fails.
    sock_optset(sock, SOCK_OPT_NODELAY, 1);
    if (sock < 0)
        platform::WSACleanup();
    return sock;
}

int tcp_sockoptget(int sock, int option, int* value)
{
    return sock_optget(sock, option, value);
}

int tcp_sockoptset(int sock, int option, int value)
{
    return sock_optset(sock, option, value);
}

int tcp_bind(int sock, const void* address)
{
    return sock_bind(sock, address);
}

int tcp_listen(int sock, int backlog)
{
    return sock_listen(sock, backlog);
}

int tcp_accept(int sock, void* address)
{
    return sock_accept(sock, address);
}

int tcp_connect(int sock, const void* address, double timeout)
{
    sock_optset(sock, SOCK_OPT_NONBLOCKING, 1);
    if (platform::connect(sock, address, internet_address_length(sock)) < 0) {
        int code = platform::WSAGetLastError();
        errno = code;
        if (!attempt_under_way(code))
            return internal::map_error_code(code, connect_errors, SOCK_ERR_GENERIC);
    }
    int result = stream::finish_connect(sock, timeout);
    if (result > 0) {
        // Linux completes a non-blocking connection only for the next connect
        // call, which would then succeed once more instead of reporting the
        // connection as already standing; settle it now.
        platform::connect(sock, address, internet_address_length(sock));
    }
    return result;
}

int tcp_halfconnect(int sock, const void* address, double timeout)
{
    sock_optset(sock, SOCK_OPT_NONBLOCKING, 1);
    sock_optset(sock, SOCK_OPT_NODELAY, 1);
    sock_optset(sock, SOCK_OPT_LINGER, 1);
    // Whatever connect reports (under way, already connected), the wait and
    // the pending error decide.
    platform::connect(sock, address, internet_address_length(sock));
    return stream::finish_connect(sock, timeout);
}

int tcp_resetokconnect(int sock, const void* address, double timeout)
{
    sock_optset(sock, SOCK_OPT_NONBLOCKING, 1);
    platform::connect(sock, address, internet_address_length(sock));
    internal::wait_outcome outcome = wait_for_outcome(sock, timeout);
    if (outcome.result == 0)
        return SOCK_ERR_TIMEOUT;
    if (outcome.result < 0)
        return SOCK_ERR_GENERIC;
    // Any answer counts, a refusal included.
    return outcome.result;
}

int tcp_blockconnect(int sock, const void* address)
{
    return platform::connect(sock, address, static_cast<int>(sizeof(sockaddr_in)));
}

int tcp_pollconnect(int sock, const void* address)
{
    platform::connect(sock, address, static_cast<int>(sizeof(sockaddr_in)));
    return SOCK_ERR_GENERIC;
}

}  // namespace socketlib
