#include "socketlib/stream.hpp"

#include <cerrno>
#include <cstring>

#include "platform/winsock.hpp"
#include "socketlib/internal.hpp"
#include "socketlib/socket.hpp"

namespace socketlib::stream {

namespace {

constexpr int send_errors[] = {
    platform::WSAEBADF,    platform::WSAECONNRESET, platform::WSAEDESTADDRREQ,
    platform::WSAEFAULT,   platform::WSAEINTR,      platform::WSAEMSGSIZE,
    platform::WSAENOTCONN, platform::WSAENOTSOCK,   platform::WSAECONNREFUSED,
};

constexpr int receive_errors[] = {
    platform::WSAEBADF,    platform::WSAECONNRESET, platform::WSAEFAULT,
    platform::WSAEINTR,    platform::WSAEINVAL,     platform::WSAENOTCONN,
    platform::WSAENOTSOCK, platform::WSAETIMEDOUT,  platform::WSAECONNREFUSED,
};

// Pending errors of a connection attempt that have a code of their own.
constexpr int pending_errors[] = {
    platform::WSAETIMEDOUT,    platform::WSAECONNREFUSED, platform::WSAEHOSTDOWN,
    platform::WSAEHOSTUNREACH, platform::WSAEALREADY,     platform::WSAEINPROGRESS,
};

}  // namespace

void zero_fill(void* buffer, int length)
{
    if (length > 0)
        std::memset(buffer, 0, static_cast<std::size_t>(length));
}

bool time_is_up(double start, double timeout)
{
    // Written so that a time-out that is not a number is up at once, as its
    // time value of zero says, instead of never.
    return !(sockmicrotime() - start <= timeout);
}

int send_failure()
{
    int code = platform::WSAGetLastError();
    // A connection broken by the peer is reported as shut down.
    if (code == platform::RT_EPIPE) {
        errno = code;
        return -platform::WSAESHUTDOWN;
    }
    return internal::map_error_code(code, send_errors, SOCK_ERR_GENERIC);
}

int receive_failure()
{
    return internal::map_last_error(receive_errors, SOCK_ERR_GENERIC);
}

int send_with_waits(int sock, const void* data, int length, double timeout)
{
    if (sock == -1)
        return -platform::WSAENOTSOCK;
    const platform::timeval wait_time = platform::timeval_from_seconds(timeout);
    internal::set_io_timeout(sock, SO_SNDTIMEO, wait_time);
    const double start = sockmicrotime();
    if (length <= 0)
        return 0;

    const char* bytes = static_cast<const char*>(data);
    int sent = 0;
    while (sent < length) {
        // Every wait gets the whole time-out, not what is left of it.
        internal::wait_outcome outcome = internal::wait_socket(sock, false, true, wait_time);
        if (outcome.result == 0)
            return SOCK_ERR_TIMEOUT;
        if (outcome.result < 0)
            return SOCK_ERR_GENERIC;
        int result = platform::send(sock, bytes + sent, length - sent, 0);
        if (result == 0)
            return sent;
        if (result < 0)
            return send_failure();
        sent += result;
        if (time_is_up(start, timeout))
            return sent;
    }
    return sent;
}

int receive_with_waits(int sock, void* buffer, int length, double timeout, bool single, bool set_socket_timeout)
{
    if (sock == -1)
        return -platform::WSAENOTSOCK;
    if (length < 0)
        return -platform::WSAEINVAL;
    zero_fill(buffer, length);
    const platform::timeval wait_time = platform::timeval_from_seconds(timeout);
    if (set_socket_timeout)
        internal::set_io_timeout(sock, SO_RCVTIMEO, wait_time);
    const double start = sockmicrotime();

    char* bytes = static_cast<char*>(buffer);
    int received = 0;
    do {
        internal::wait_outcome outcome = internal::wait_socket(sock, true, false, wait_time);
        if (outcome.result == 0)
            return SOCK_ERR_TIMEOUT;
        if (outcome.result < 0)
            return SOCK_ERR_GENERIC;
        if (length == 0)
            return 0;
        int result = platform::recv(sock, bytes + received, length - received, 0);
        if (result == 0)
            return received;
        if (result < 0)
            return receive_failure();
        received += result;
        if (single || time_is_up(start, timeout))
            return received;
    } while (received < length);
    return received;
}

int finish_connect(int sock, double timeout)
{
    internal::wait_outcome outcome = internal::wait_socket(sock, true, true, platform::timeval_from_seconds(timeout));
    if (outcome.result == 0)
        return SOCK_ERR_TIMEOUT;
    if (outcome.result < 0)
        return SOCK_ERR_GENERIC;
    if (!outcome.readable && !outcome.writable)
        return SOCK_ERR_GENERIC;
    int pending = 0;
    int length = static_cast<int>(sizeof pending);
    if (platform::getsockopt(sock, SOL_SOCKET, SO_ERROR, &pending, &length) != 0)
        return SOCK_ERR_GENERIC;
    if (pending == 0)
        return outcome.result;
    // The pending error is a system number; classify it on the socket codes.
    return internal::map_error_code(platform::translate_errno(pending), pending_errors, SOCK_ERR_GENERIC);
}

}  // namespace socketlib::stream
