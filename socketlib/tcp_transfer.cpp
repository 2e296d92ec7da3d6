// TCP: readiness tests, send and receive loops (waiting with select before
// every call, or relying on the socket's own time-outs), the poll
// placeholders, and closing.
#include <cerrno>
#include <cstring>

#include "platform/winsock.hpp"
#include "socketlib/internal.hpp"
#include "socketlib/socket.hpp"
#include "socketlib/stream.hpp"

namespace socketlib {
namespace {

// Kernel timers count in ticks, so a socket time-out may end up to one tick
// (at most 10 ms) before the time asked for.
constexpr double timer_tick = 0.01;

}  // namespace

int tcp_issend(int sock, double timeout)
{
    return internal::wait_ready(sock, false, platform::timeval_from_seconds(timeout));
}

int tcp_isrecv(int sock, double timeout)
{
    return internal::wait_ready(sock, true, platform::timeval_from_seconds(timeout));
}

int tcp_send(int sock, const void* data, int length, double timeout)
{
    return stream::send_with_waits(sock, data, length, timeout);
}

int tcp_onesend(int sock, const void* data, int length, double timeout)
{
    return stream::send_with_waits(sock, data, length, timeout);
}

int tcp_blocksend(int sock, const void* data, int length, double timeout)
{
    if (sock == -1)
        return -platform::WSAENOTSOCK;
    internal::set_io_timeout(sock, SO_SNDTIMEO, platform::timeval_from_seconds(timeout));
    const double start = sockmicrotime();
    if (length <= 0)
        return 0;

    const char* bytes = static_cast<const char*>(data);
    int sent = 0;
    while (sent < length) {
        int result = platform::send(sock, bytes + sent, length - sent, 0);
        if (result == 0)
            return sent;
        if (result < 0)
            return stream::send_failure();
        sent += result;
        // Unlike tcp_send, running out of time is a failure even when the
        // data went out completely.
        if (stream::time_is_up(start, timeout))
            return SOCK_ERR_TIMEOUT;
    }
    return sent;
}

int tcp_recv(int sock, void* buffer, int length, double timeout)
{
    return stream::receive_with_waits(sock, buffer, length, timeout, false, true);
}

int tcp_onerecv(int sock, void* buffer, int length, double timeout)
{
    return stream::receive_with_waits(sock, buffer, length, timeout, true, true);
}

int tcp_blockrecv(int sock, void* buffer, int length, double timeout)
{
    if (sock == -1)
        return -platform::WSAENOTSOCK;
    if (length < 0)
        return -platform::WSAEINVAL;
    stream::zero_fill(buffer, length);
    internal::set_io_timeout(sock, SO_RCVTIMEO, platform::timeval_from_seconds(timeout));
    const double start = sockmicrotime();
    const double monotonic_start = platform::monotonic_seconds();
    if (length == 0)
        return 0;

    char* bytes = static_cast<char*>(buffer);
    int received = 0;
    while (received < length) {
        int result = platform::recv(sock, bytes + received, length - received, 0);
        if (result == 0)
            return received;
        if (result < 0) {
            // Linux ends a blocking receive whose time-out passed with
            // "would block"; that is the socket's receive time-out.  On a
            // non-blocking socket the same code comes back at once.
            if (platform::WSAGetLastError() == platform::WSAEWOULDBLOCK &&
                platform::monotonic_seconds() - monotonic_start >= timeout - timer_tick) {
                errno = platform::WSAETIMEDOUT;
                return SOCK_ERR_TIMEOUT;
            }
            return stream::receive_failure();
        }
        received += result;
        if (stream::time_is_up(start, timeout))
            return SOCK_ERR_TIMEOUT;
    }
    return received;
}

int tcp_pollsend(int sock)
{
    return sock == -1 ? -platform::WSAENOTSOCK : SOCK_ERR_GENERIC;
}

int tcp_pollonesend(int sock)
{
    return tcp_pollsend(sock);
}

int tcp_pollrecv(int sock, void* buffer, int length)
{
    if (sock == -1)
        return -platform::WSAENOTSOCK;
    if (length < 0)
        return -platform::WSAEINVAL;
    stream::zero_fill(buffer, length);
    return SOCK_ERR_GENERIC;
}

int tcp_pollonerecv(int sock, void* buffer, int length)
{
    return tcp_pollrecv(sock, buffer, length);
}

int tcp_close(int sock)
{
    return sock_close(sock);
}

}  // namespace socketlib
