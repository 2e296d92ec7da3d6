// Local (AF_UNIX stream) sockets: open, options, bind over a stale socket
// file, listen, accept, connect with a time-out, whole-buffer transfers with
// a time-out, close.
#include <cerrno>
#include <cstring>

#include "platform/winsock.hpp"
#include "socketlib/internal.hpp"
#include "socketlib/socket.hpp"

namespace socketlib {
namespace {

constexpr int send_errors[] = {
    platform::WSAEBADF,    platform::WSAECONNRESET, platform::WSAEDESTADDRREQ, platform::WSAEFAULT,
    platform::WSAEINTR,    platform::WSAEMSGSIZE,   platform::WSAENOTCONN,     platform::WSAENOTSOCK,
    platform::WSAECONNREFUSED,
};

constexpr int receive_errors[] = {
    platform::WSAEBADF,    platform::WSAECONNRESET, platform::WSAEFAULT,    platform::WSAEINTR,
    platform::WSAEINVAL,   platform::WSAENOTCONN,   platform::WSAENOTSOCK,  platform::WSAETIMEDOUT,
    platform::WSAECONNREFUSED,
};

constexpr int connect_errors[] = {
    platform::WSAETIMEDOUT,    platform::WSAECONNREFUSED, platform::WSAEHOSTDOWN,
    platform::WSAEHOSTUNREACH, platform::WSAEALREADY,     platform::WSAEINPROGRESS,
};

constexpr int path_capacity = static_cast<int>(sizeof(sockaddr_un{}.sun_path));

// Zero-fills the caller's buffer; an empty buffer may be a null pointer.
void zero_fill(void* buffer, int length)
{
    if (length > 0)
        std::memset(buffer, 0, static_cast<std::size_t>(length));
}

bool time_is_up(double start, double timeout)
{
    return sockmicrotime() - start > timeout;
}

int send_failure()
{
    int code = platform::WSAGetLastError();
    // The peer has gone: reported as shut down, as the other families do.
    if (code == platform::RT_EPIPE) {
        errno = code;
        return -platform::WSAESHUTDOWN;
    }
    return internal::map_error_code(code, send_errors, SOCK_ERR_GENERIC);
}

}  // namespace

int unix_open(int family)
{
    if (sockWSASockInit() != 1)
        return SOCK_ERR_GENERIC;
    int sock = sock_open(family, SOCK_STREAM, 0);
    if (sock < 0)
        platform::WSACleanup();  // no socket to close later
    return sock;
}

int unix_sockoptget(int sock, int option, int* value)
{
    return sock_optget(sock, option, value);
}

int unix_sockoptset(int sock, int option, int value)
{
    return sock_optset(sock, option, value);
}

int unix_bind(int sock, const sockaddr_un* address)
{
    // A path that fills its field has no terminator there: copy it out
    // before handing it to a function that reads up to a zero byte.
    char path[path_capacity + 1];
    std::memcpy(path, address->sun_path, path_capacity);
    path[path_capacity] = '\0';
    // A socket file left by an earlier server would make the bind fail; a
    // missing file is no error.
    platform::unlink_file(path);
    return sock_bind(sock, address);
}

int unix_listen(int sock, int backlog)
{
    return sock_listen(sock, backlog);
}

int unix_accept(int sock, sockaddr_un* address)
{
    return sock_accept(sock, address);
}

int unix_connect(int sock, const sockaddr_un* address, double timeout)
{
    sock_optset(sock, SOCK_OPT_NONBLOCKING, 1);
    if (platform::connect(sock, address, static_cast<int>(sizeof(sockaddr_un))) < 0) {
        // Linux refuses a local connection at once rather than later; the
        // socket would then look ready with no pending error.
        int code = platform::WSAGetLastError();
        if (code != platform::WSAEINPROGRESS)
            return internal::map_error_code(code, connect_errors, SOCK_ERR_GENERIC);
    }

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
    return internal::map_error_code(platform::translate_errno(pending), connect_errors, SOCK_ERR_GENERIC);
}

int unix_send(int sock, const void* data, int length, double timeout)
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

int unix_recv(int sock, void* buffer, int length, double timeout)
{
    if (sock == -1)
        return -platform::WSAENOTSOCK;
    if (length < 0)
        return -platform::WSAEINVAL;
    zero_fill(buffer, length);
    const double start = sockmicrotime();
    const platform::timeval wait_time = platform::timeval_from_seconds(timeout);

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
            return internal::map_last_error(receive_errors, SOCK_ERR_GENERIC);
        received += result;
        if (time_is_up(start, timeout))
            return received;
    } while (received < length);
    return received;
}

int unix_close(int sock)
{
    return sock_close(sock);
}

}  // namespace socketlib
