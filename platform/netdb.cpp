// System databases (hosts, services, protocols) and process services of the
// platform layer.  The records live in the C library's storage, as Windows
// Sockets keeps them; callers copy what they need at once.
#include <netdb.h>
#include <unistd.h>

#include <cerrno>

#include "platform/winsock.hpp"

namespace platform {

namespace {

// Database look-ups may set errno on the way (a missing file, say); the
// platform's look-ups leave it alone.
template <typename Lookup>
auto keeping_errno(Lookup lookup)
{
    int saved = errno;
    auto result = lookup();
    errno = saved;
    return result;
}

}  // namespace

hostent* gethostbyname(const char* name)
{
    if (name == nullptr)
        return nullptr;
    return keeping_errno([&] { return ::gethostbyname(name); });
}

hostent* gethostbyname2(const char* name, int family)
{
    if (name == nullptr)
        return nullptr;
    return keeping_errno([&] { return ::gethostbyname2(name, family); });
}

hostent* gethostbyaddr(const void* address, int length, int family)
{
    if (address == nullptr || length < 0)
        return nullptr;
    return keeping_errno([&] { return ::gethostbyaddr(address, static_cast<socklen_t>(length), family); });
}

servent* getservbyname(const char* name, const char* protocol)
{
    if (name == nullptr)
        return nullptr;
    return keeping_errno([&] { return ::getservbyname(name, protocol); });
}

servent* getservbyport(int port_network_order, const char* protocol)
{
    return keeping_errno([&] { return ::getservbyport(port_network_order, protocol); });
}

protoent* getprotobyname(const char* name)
{
    if (name == nullptr)
        return nullptr;
    return keeping_errno([&] { return ::getprotobyname(name); });
}

protoent* getprotobynumber(int number)
{
    return keeping_errno([&] { return ::getprotobynumber(number); });
}

int process_id()
{
    return static_cast<int>(::getpid());
}

int unlink_file(const char* path)
{
    return ::unlink(path);
}

}  // namespace platform
