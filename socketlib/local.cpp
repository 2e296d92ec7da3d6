// Local (AF_UNIX stream) sockets: open, options, bind over a stale socket
// file, listen, accept, connect with a time-out, whole-buffer transfers with
// a time-out, close.
#include <cstring>

#include "platform/winsock.hpp"
#include "socketlib/internal.hpp"
#include "socketlib/socket.hpp"
#include "socketlib/stream.hpp"

namespace socketlib {
namespace {

constexpr int connect_errors[] = {
    platform::WSAETIMEDOUT,    platform::WSAECONNREFUSED, platform::WSAEHOSTDOWN,
    platform::WSAEHOSTUNREACH, platform::WSAEALREADY,     platform::WSAEINPROGRESS,
};

constexpr int path_capacity = static_cast<int>(sizeof(sockaddr_un{}.sun_path));

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
        // socket would then look ready with no pending error.  The code is
        // classified as the pending error would be.
        int code = platform::WSAGetLastError();
        if (code != platform::WSAEINPROGRESS)
            return internal::map_error_code(code, connect_errors, SOCK_ERR_GENERIC);
    }

    return stream::finish_connect(sock, timeout);
}

int unix_send(int sock, const void* data, int length, double timeout)
{
    return stream::send_with_waits(sock, data, length, timeout);
}

int unix_recv(int sock, void* buffer, int length, double timeout)
{
    return stream::receive_with_waits(sock, buffer, length, timeout, false, false);
}

int unix_close(int sock)
{
    return sock_close(sock);
}

}  // namespace socketlib
