// Error numbers of the platform layer: Linux errno values brought onto the
// numbers the libraries were designed for, the per-thread last error, and
// the message texts for those numbers.
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/winsock.hpp"

namespace platform {

namespace {

struct errno_pair {
    int linux_errno;
    int code;
};

// One table for every translation.  Socket errors go to their Windows
// Sockets numbers; the runtime errors the libraries recognise keep the
// runtime's numbers (two of which differ from Linux).
constexpr errno_pair errno_table[] = {
    {EINTR, WSAEINTR},
    {EBADF, WSAEBADF},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EAGAIN, WSAEWOULDBLOCK},
    {EINPROGRESS, WSAEINPROGRESS},
    {EALREADY, WSAEALREADY},
    {ENOTSOCK, WSAENOTSOCK},
    {EDESTADDRREQ, WSAEDESTADDRREQ},
    {EMSGSIZE, WSAEMSGSIZE},
    {EPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, WSAEOPNOTSUPP},
    {EPFNOSUPPORT, WSAEPFNOSUPPORT},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    {ECONNRESET, WSAECONNRESET},
    {ENOBUFS, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
    {ESHUTDOWN, WSAESHUTDOWN},
    {ETOOMANYREFS, WSAETOOMANYREFS},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {ELOOP, WSAELOOP},
    {EHOSTDOWN, WSAEHOSTDOWN},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
    {ENAMETOOLONG, RT_ENAMETOOLONG},
    {ENOSYS, RT_ENOSYS},
    {EDEADLK, 36},
    {ENOLCK, 39},
    {ENOTEMPTY, 41},
    {EILSEQ, 42},
};

thread_local int last_error = 0;

struct message {
    int code;
    const char* text;
};

constexpr message messages[] = {
    {RT_ENOENT, "No such file or directory."},
    {RT_EINTR, "Interrupted function call."},
    {RT_EIO, "Input/output error."},
    {RT_EAGAIN, "Resource temporarily unavailable."},
    {RT_ENOMEM, "Not enough memory."},
    {RT_EACCES, "Permission denied."},
    {RT_ENOTDIR, "Not a directory."},
    {RT_EISDIR, "Is a directory."},
    {RT_ENFILE, "Too many open files in the system."},
    {RT_EMFILE, "Too many open files."},
    {RT_EROFS, "Read-only file system."},
    {RT_EPIPE, "Broken pipe."},
    {RT_ENAMETOOLONG, "File name too long."},
    {WSAEINTR, "A blocking operation was interrupted."},
    {WSAEBADF, "The file handle supplied is not valid."},
    {WSAEACCES, "An attempt was made to access a socket in a way forbidden by its access permissions."},
    {WSAEFAULT, "The system detected an invalid pointer address in attempting to use a pointer argument."},
    {WSAEINVAL, "An invalid argument was supplied."},
    {WSAEMFILE, "Too many open sockets."},
    {WSAEWOULDBLOCK, "A non-blocking socket operation could not be completed immediately."},
    {WSAEINPROGRESS, "A blocking operation is currently executing."},
    {WSAEALREADY, "An operation was attempted on a non-blocking socket that already had an operation in progress."},
    {WSAENOTSOCK, "An operation was attempted on something that is not a socket."},
    {WSAEDESTADDRREQ, "A required address was omitted from an operation on a socket."},
    {WSAEMSGSIZE,
     "A message sent on a datagram socket was larger than the internal message buffer or the buffer used to receive "
     "it."},
    {WSAEPROTOTYPE, "A protocol was specified that does not support the semantics of the socket type requested."},
    {WSAENOPROTOOPT, "An unknown, invalid or unsupported option or level was specified."},
    {WSAEPROTONOSUPPORT, "The requested protocol has not been configured into the system."},
    {WSAESOCKTNOSUPPORT, "The support for the specified socket type does not exist in this address family."},
    {WSAEOPNOTSUPP, "The attempted operation is not supported for the type of object referenced."},
    {WSAEPFNOSUPPORT, "The protocol family has not been configured into the system."},
    {WSAEAFNOSUPPORT, "An address incompatible with the requested protocol was used."},
    {WSAEADDRINUSE, "Only one usage of each socket address is normally permitted."},
    {WSAEADDRNOTAVAIL, "The requested address is not valid in its context."},
    {WSAENETDOWN, "A socket operation encountered a dead network."},
    {WSAENETUNREACH, "A socket operation was attempted to an unreachable network."},
    {WSAENETRESET, "The connection was broken due to keep-alive activity."},
    {WSAECONNABORTED, "An established connection was aborted by the software in the host."},
    {WSAECONNRESET, "An existing connection was forcibly closed by the remote host."},
    {WSAENOBUFS, "No buffer space was available for a socket operation."},
    {WSAEISCONN, "A connect request was made on an already connected socket."},
    {WSAENOTCONN, "The socket is not connected."},
    {WSAESHUTDOWN, "Sending or receiving is not allowed after the socket was shut down."},
    {WSAETOOMANYREFS, "Too many references to some kernel object."},
    {WSAETIMEDOUT, "The connection attempt timed out: the other party did not respond in time."},
    {WSAECONNREFUSED, "No connection could be made because the target machine actively refused it."},
    {WSAELOOP, "Cannot translate name."},
    {WSAENAMETOOLONG, "Name component or name was too long."},
    {WSAEHOSTDOWN, "A socket operation failed because the destination host was down."},
    {WSAEHOSTUNREACH, "A socket operation was attempted to an unreachable host."},
    {WSAENOTEMPTY, "Cannot remove a directory that is not empty."},
    {WSASYSNOTREADY, "The network subsystem is unavailable."},
    {WSAVERNOTSUPPORTED, "The requested socket services version is not supported."},
    {WSANOTINITIALISED, "The socket services have not been started."},
};

}  // namespace

int translate_errno(int linux_errno)
{
    for (const errno_pair& pair : errno_table) {
        if (pair.linux_errno == linux_errno)
            return pair.code;
    }
    return linux_errno;
}

int WSAGetLastError()
{
    return last_error;
}

void WSASetLastError(int code)
{
    last_error = code;
}

uint32_t FormatMessageA(uint32_t /*flags*/, const void* /*source*/, uint32_t message_id, uint32_t /*language_id*/,
                        char* buffer, uint32_t size, void* /*arguments*/)
{
    if (buffer == nullptr || size == 0)
        return 0;
    for (const message& entry : messages) {
        if (static_cast<uint32_t>(entry.code) != message_id)
            continue;
        std::size_t length = std::strlen(entry.text);
        if (length > size - 1)
            length = size - 1;
        std::memcpy(buffer, entry.text, length);
        buffer[length] = '\0';
        return static_cast<uint32_t>(length);
    }
    return 0;
}

const char* error_message(int code)
{
    for (const message& entry : messages) {
        if (entry.code == code)
            return entry.text;
    }
    // Numbers the table does not know are the system's own, passed through
    // by translate_errno; the C library names those.
    return std::strerror(code);
}

}  // namespace platform
