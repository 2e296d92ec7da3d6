// Service and protocol lookups over the system databases, with a numeric
// fallback where a number may stand for a name.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "socketlib/socket.hpp"

namespace socketlib {

namespace {

constexpr long max_port = 0xFFFF;
constexpr long max_protocol = 0xFF;
// "%d" of a port with its terminator; a larger int is cut, still terminated.
constexpr size_t port_text_size = 6;

bool layer_started()
{
    return sockWSASockInit() == 1;
}

// The found text and one terminator; the bytes after it are not touched.
char* copy_found(const char* text, char* out)
{
    size_t length = std::strlen(text);
    std::memset(out, 0, length + 1);
    std::memcpy(out, text, length);
    return out;
}

char* copy_first_alias(char** aliases, char* out)
{
    if (aliases == nullptr || aliases[0] == nullptr)
        return nullptr;
    return copy_found(aliases[0], out);
}

// The whole text as a number (base 0: decimal, 0x hexadecimal, 0 octal) from
// 1 to `max`, or -1.  The lookups report nothing through errno, so strtol's
// ERANGE for a number beyond long is not passed on.
int number_or_fail(const char* text, long max)
{
    if (text == nullptr)
        return -1;
    char* end = nullptr;
    const int saved_errno = errno;
    long value = std::strtol(text, &end, 0);
    errno = saved_errno;
    if (end == text || *end != '\0' || value <= 0 || value > max)
        return -1;
    return static_cast<int>(value);
}

uint16_t low16_network(int port)
{
    return htons(static_cast<uint16_t>(port));
}

}  // namespace

int getservicebyname(const char* protocol, const char* service)
{
    if (!layer_started())
        return -1;
    if (servent* entry = platform::getservbyname(service, protocol))
        return ntohs(static_cast<uint16_t>(entry->s_port));
    return number_or_fail(service, max_port);
}

char* getservicebyport(const char* protocol, int port, char* out)
{
    if (!layer_started() || out == nullptr)
        return nullptr;
    if (servent* entry = platform::getservbyport(low16_network(port), protocol))
        return copy_found(entry->s_name, out);
    std::snprintf(out, port_text_size, "%d", port);
    return out;
}

char* getservaliasbyname(const char* protocol, const char* service, char* out)
{
    if (!layer_started() || out == nullptr)
        return nullptr;
    servent* entry = platform::getservbyname(service, protocol);
    return entry != nullptr ? copy_first_alias(entry->s_aliases, out) : nullptr;
}

char* getservaliasbyport(const char* protocol, int port, char* out)
{
    if (!layer_started() || out == nullptr)
        return nullptr;
    servent* entry = platform::getservbyport(low16_network(port), protocol);
    return entry != nullptr ? copy_first_alias(entry->s_aliases, out) : nullptr;
}

int getprotocolbyname(const char* name)
{
    if (!layer_started())
        return -1;
    if (protoent* entry = platform::getprotobyname(name))
        return static_cast<int16_t>(entry->p_proto);
    return number_or_fail(name, max_protocol);
}

char* getprotocolbynumber(int number, char* out)
{
    if (!layer_started() || out == nullptr)
        return nullptr;
    protoent* entry = platform::getprotobynumber(number);
    return entry != nullptr ? copy_found(entry->p_name, out) : nullptr;
}

char* getprotoaliasbyname(const char* name, char* out)
{
    if (!layer_started() || out == nullptr)
        return nullptr;
    protoent* entry = platform::getprotobyname(name);
    return entry != nullptr ? copy_first_alias(entry->p_aliases, out) : nullptr;
}

char* getprotoaliasbynumber(int number, char* out)
{
    if (!layer_started() || out == nullptr)
        return nullptr;
    protoent* entry = platform::getprotobynumber(number);
    return entry != nullptr ? copy_first_alias(entry->p_aliases, out) : nullptr;
}

}  // namespace socketlib
