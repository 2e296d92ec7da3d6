// Socket calls of the platform layer: the system calls with the conventions
// of Windows Sockets (errno untouched, codes kept for WSAGetLastError, no
// SIGPIPE, oversized datagrams reported).
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/receive_facts.hpp"
#include "platform/winsock.hpp"

namespace platform {

namespace {

// Records the failure of the system call just made and restores errno.  A
// handle that is not open is "not a socket" to the callers, as in Windows
// Sockets.
int record_failure(int saved_errno)
{
    int code = errno == EBADF ? WSAENOTSOCK : translate_errno(errno);
    WSASetLastError(code);
    errno = saved_errno;
    return SOCKET_ERROR;
}

int refuse(int code)
{
    WSASetLastError(code);
    return SOCKET_ERROR;
}

}  // namespace

SOCKET socket(int family, int type, int protocol)
{
    int saved = errno;
    int s = ::socket(family, type | SOCK_CLOEXEC, protocol);
    if (s < 0)
        return record_failure(saved);
    return s;
}

int bind(SOCKET s, const void* address, int length)
{
    if (length < 0)
        return refuse(WSAEFAULT);
    int saved = errno;
    if (::bind(s, static_cast<const sockaddr*>(address), static_cast<socklen_t>(length)) != 0)
        return record_failure(saved);
    return 0;
}

int listen(SOCKET s, int backlog)
{
    int saved = errno;
    if (::listen(s, backlog) != 0)
        return record_failure(saved);
    return 0;
}

SOCKET accept(SOCKET s, void* address, int* length)
{
    if (length != nullptr && *length < 0)
        return refuse(WSAEFAULT);
    int saved = errno;
    socklen_t size = length != nullptr ? static_cast<socklen_t>(*length) : 0;
    int accepted = ::accept4(s, length != nullptr ? static_cast<sockaddr*>(address) : nullptr,
                             length != nullptr ? &size : nullptr, SOCK_CLOEXEC);
    if (accepted < 0)
        return record_failure(saved);
    if (length != nullptr)
        *length = static_cast<int>(size);
    return accepted;
}

int connect(SOCKET s, const void* address, int length)
{
    if (length < 0)
        return refuse(WSAEFAULT);
    int saved = errno;
    if (::connect(s, static_cast<const sockaddr*>(address), static_cast<socklen_t>(length)) != 0)
        return record_failure(saved);
    return 0;
}

int closesocket(SOCKET s)
{
    int saved = errno;
    if (::close(s) != 0)
        return record_failure(saved);
    return 0;
}

int getsockname(SOCKET s, void* address, int* length)
{
    if (length == nullptr || *length < 0)
        return refuse(WSAEFAULT);
    int saved = errno;
    socklen_t size = static_cast<socklen_t>(*length);
    if (::getsockname(s, static_cast<sockaddr*>(address), &size) != 0)
        return record_failure(saved);
    *length = static_cast<int>(size);
    return 0;
}

int getpeername(SOCKET s, void* address, int* length)
{
    if (length == nullptr || *length < 0)
        return refuse(WSAEFAULT);
    int saved = errno;
    socklen_t size = static_cast<socklen_t>(*length);
    if (::getpeername(s, static_cast<sockaddr*>(address), &size) != 0)
        return record_failure(saved);
    *length = static_cast<int>(size);
    return 0;
}

int getsockopt(SOCKET s, int level, int option, void* value, int* length)
{
    if (length == nullptr || *length < 0)
        return refuse(WSAEFAULT);
    int saved = errno;
    socklen_t size = static_cast<socklen_t>(*length);
    if (::getsockopt(s, level, option, value, &size) != 0)
        return record_failure(saved);
    *length = static_cast<int>(size);
    return 0;
}

int setsockopt(SOCKET s, int level, int option, const void* value, int length)
{
    if (length < 0)
        return refuse(WSAEFAULT);
    int saved = errno;
    if (::setsockopt(s, level, option, value, static_cast<socklen_t>(length)) != 0)
        return record_failure(saved);
    return 0;
}

int ioctlsocket(SOCKET s, uint32_t request, unsigned long* argument)
{
    if (request != FIONBIO || argument == nullptr)
        return refuse(WSAEINVAL);
    int saved = errno;
    int flags = ::fcntl(s, F_GETFL);
    if (flags < 0)
        return record_failure(saved);
    int wanted = *argument != 0 ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (wanted != flags && ::fcntl(s, F_SETFL, wanted) != 0)
        return record_failure(saved);
    return 0;
}

int send(SOCKET s, const void* data, int length, int flags)
{
    if (length < 0)
        return refuse(WSAEFAULT);
    int saved = errno;
    ssize_t sent = ::send(s, data, static_cast<size_t>(length), flags | MSG_NOSIGNAL);
    if (sent < 0)
        return record_failure(saved);
    return static_cast<int>(sent);
}

int recv(SOCKET s, void* buffer, int length, int flags)
{
    if (length < 0)
        return refuse(WSAEFAULT);
    int saved = errno;
    ssize_t received = ::recv(s, buffer, static_cast<size_t>(length), flags);
    if (received < 0)
        return record_failure(saved);
    return static_cast<int>(received);
}

int sendto(SOCKET s, const void* data, int length, int flags, const void* to, int to_length)
{
    if (length < 0 || to_length < 0)
        return refuse(WSAEFAULT);
    int saved = errno;
    ssize_t sent = ::sendto(s, data, static_cast<size_t>(length), flags | MSG_NOSIGNAL,
                            static_cast<const sockaddr*>(to), static_cast<socklen_t>(to_length));
    if (sent < 0)
        return record_failure(saved);
    return static_cast<int>(sent);
}

namespace {

// One datagram through recvmsg, which reports a truncated datagram in
// msg_flags without discarding stream data (MSG_TRUNC as a call flag would
// on TCP).  With `facts` not null the control messages are read: the
// kernel's receive stamp, TTL and TOS, as far as the socket asked for them.
int receive_message(SOCKET s, void* buffer, int length, int flags, void* from, int* from_length, receive_facts* facts)
{
    if (facts != nullptr)
        *facts = receive_facts{};
    if (length < 0 || (from != nullptr && (from_length == nullptr || *from_length < 0)))
        return refuse(WSAEFAULT);
    struct iovec part;
    part.iov_base = buffer;
    part.iov_len = static_cast<size_t>(length);
    struct msghdr message {};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    // The source lands in a record that holds any address, and only what
    // fits the caller's record is copied out: Linux reports the source's
    // whole length even when it cut the address to the space given.
    sockaddr_storage source;
    if (from != nullptr) {
        message.msg_name = &source;
        message.msg_namelen = sizeof source;
    }
    alignas(cmsghdr) unsigned char control[receive_control_size];
    if (facts != nullptr) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
    }
    int saved = errno;
    ssize_t received = ::recvmsg(s, &message, flags);
    if (received < 0)
        return record_failure(saved);
    if (from != nullptr) {
        int kept = static_cast<int>(message.msg_namelen);
        if (kept > *from_length)
            kept = *from_length;
        std::memcpy(from, &source, static_cast<size_t>(kept));
        *from_length = kept;
    }
    if (facts != nullptr)
        read_receive_facts(&message, facts);
    if (message.msg_flags & MSG_TRUNC)
        return refuse(WSAEMSGSIZE);
    return static_cast<int>(received);
}

}  // namespace

int recvfrom(SOCKET s, void* buffer, int length, int flags, void* from, int* from_length)
{
    return receive_message(s, buffer, length, flags, from, from_length, nullptr);
}

int receive_stamps_on(SOCKET s)
{
    int on = 1;
    return platform::setsockopt(s, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
}

int recvfrom_stamped(SOCKET s, void* buffer, int length, int flags, void* from, int* from_length, receive_time* arrival)
{
    int received = receive_message(s, buffer, length, flags, from, from_length, &arrival->facts);
    // The calendar clock is read between two monotonic readings, so the
    // datagram's age on it carries over to the monotonic clock; a reading
    // interrupted for long (the thread was preempted) is taken again.
    int64_t calendar = 0;
    int64_t monotonic = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        int64_t first = monotonic_ns();
        calendar = realtime_ns();
        int64_t second = monotonic_ns();
        monotonic = first + (second - first) / 2;
        if (second - first < 20000)
            break;
    }
    arrival->taken = clock_pair{calendar, monotonic};
    arrival->seconds = static_cast<double>(monotonic) / 1e9;
    arrival->from_kernel = false;
    if (arrival->facts.stamp_known) {
        int64_t age = calendar - arrival->facts.stamp_ns;
        // A calendar clock stepped back since the arrival would put it in
        // the future; the reading of now is then the better bound.
        if (age >= 0) {
            arrival->seconds = static_cast<double>(monotonic - age) / 1e9;
            arrival->from_kernel = true;
        }
    }
    return received;
}

}  // namespace platform
