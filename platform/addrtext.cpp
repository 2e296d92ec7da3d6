// Numeric address text of the platform layer, in the forms Windows Sockets
// writes and reads: "a.b.c.d[:port]" and "x::y" / "[x::y][:port]".
#include <arpa/inet.h>
#include <net/if.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/winsock.hpp"

namespace platform {

namespace {

int refuse(int code)
{
    WSASetLastError(code);
    return SOCKET_ERROR;
}

// Reads a decimal port of 1 to 5 digits, 0 to 65535, filling the whole text.
bool read_port(const char* text, uint16_t* port)
{
    std::size_t length = std::strlen(text);
    if (length == 0 || length > 5)
        return false;
    unsigned value = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    if (value > 65535)
        return false;
    *port = static_cast<uint16_t>(value);
    return true;
}

bool read_ipv4(const char* text, sockaddr_in* out)
{
    char address[INET_ADDRSTRLEN];
    const char* colon = std::strchr(text, ':');
    std::size_t length = colon != nullptr ? static_cast<std::size_t>(colon - text) : std::strlen(text);
    if (length == 0 || length >= sizeof address)
        return false;
    std::memcpy(address, text, length);
    address[length] = '\0';
    uint16_t port = 0;
    if (colon != nullptr && !read_port(colon + 1, &port))
        return false;
    if (::inet_pton(AF_INET, address, &out->sin_addr) != 1)
        return false;
    out->sin_family = AF_INET;
    out->sin_port = htons(port);
    return true;
}

bool read_ipv6(const char* text, sockaddr_in6* out)
{
    char address[INET6_ADDRSTRLEN + IF_NAMESIZE + 2];
    uint16_t port = 0;
    const char* start = text;
    std::size_t length;
    if (*text == '[') {
        const char* close = std::strchr(text, ']');
        if (close == nullptr)
            return false;
        start = text + 1;
        length = static_cast<std::size_t>(close - start);
        if (close[1] == ':') {
            if (!read_port(close + 2, &port))
                return false;
        } else if (close[1] != '\0') {
            return false;
        }
    } else {
        length = std::strlen(text);
    }
    if (length == 0 || length >= sizeof address)
        return false;
    std::memcpy(address, start, length);
    address[length] = '\0';

    uint32_t scope = 0;
    char* percent = std::strchr(address, '%');
    if (percent != nullptr) {
        *percent = '\0';
        const char* zone = percent + 1;
        char* end = nullptr;
        unsigned long number = std::strtoul(zone, &end, 10);
        if (*zone != '\0' && end != nullptr && *end == '\0')
            scope = static_cast<uint32_t>(number);
        else if ((scope = if_nametoindex(zone)) == 0)
            return false;
    }
    if (::inet_pton(AF_INET6, address, &out->sin6_addr) != 1)
        return false;
    out->sin6_family = AF_INET6;
    out->sin6_port = htons(port);
    out->sin6_scope_id = scope;
    return true;
}

}  // namespace

int WSAAddressToStringA(const void* address, uint32_t address_length, void* /*protocol_info*/, char* text,
                        uint32_t* text_length)
{
    if (address == nullptr || text_length == nullptr || address_length < sizeof(uint16_t))
        return refuse(WSAEFAULT);
    uint16_t family;
    std::memcpy(&family, address, sizeof family);

    char result[INET6_ADDRSTRLEN + 32];
    if (family == AF_INET) {
        if (address_length < sizeof(sockaddr_in))
            return refuse(WSAEFAULT);
        sockaddr_in record;
        std::memcpy(&record, address, sizeof record);
        char numeric[INET_ADDRSTRLEN];
        ::inet_ntop(AF_INET, &record.sin_addr, numeric, sizeof numeric);
        if (record.sin_port != 0)
            std::snprintf(result, sizeof result, "%s:%u", numeric, ntohs(record.sin_port));
        else
            std::snprintf(result, sizeof result, "%s", numeric);
    } else if (family == AF_INET6) {
        if (address_length < sizeof(sockaddr_in6))
            return refuse(WSAEFAULT);
        sockaddr_in6 record;
        std::memcpy(&record, address, sizeof record);
        char numeric[INET6_ADDRSTRLEN + 16];
        ::inet_ntop(AF_INET6, &record.sin6_addr, numeric, INET6_ADDRSTRLEN);
        if (record.sin6_scope_id != 0) {
            std::size_t used = std::strlen(numeric);
            std::snprintf(numeric + used, sizeof numeric - used, "%%%u", record.sin6_scope_id);
        }
        if (record.sin6_port != 0)
            std::snprintf(result, sizeof result, "[%s]:%u", numeric, ntohs(record.sin6_port));
        else
            std::snprintf(result, sizeof result, "%s", numeric);
    } else {
        return refuse(WSAEINVAL);
    }

    uint32_t needed = static_cast<uint32_t>(std::strlen(result) + 1);
    if (text == nullptr || *text_length < needed) {
        *text_length = needed;
        return refuse(WSAEFAULT);
    }
    std::memcpy(text, result, needed);
    *text_length = needed;
    return 0;
}

int WSAStringToAddressA(const char* text, int family, void* /*protocol_info*/, void* address, int* address_length)
{
    if (text == nullptr || address == nullptr || address_length == nullptr)
        return refuse(WSAEFAULT);
    if (family == AF_INET) {
        if (*address_length < static_cast<int>(sizeof(sockaddr_in)))
            return refuse(WSAEFAULT);
        sockaddr_in record{};
        if (!read_ipv4(text, &record))
            return refuse(WSAEINVAL);
        std::memcpy(address, &record, sizeof record);
        *address_length = static_cast<int>(sizeof record);
        return 0;
    }
    if (family == AF_INET6) {
        if (*address_length < static_cast<int>(sizeof(sockaddr_in6)))
            return refuse(WSAEFAULT);
        sockaddr_in6 record{};
        if (!read_ipv6(text, &record))
            return refuse(WSAEINVAL);
        std::memcpy(address, &record, sizeof record);
        *address_length = static_cast<int>(sizeof record);
        return 0;
    }
    return refuse(WSAEINVAL);
}

uint32_t inet_addr(const char* text)
{
    if (text == nullptr)
        return INADDR_NONE;
    return ::inet_addr(text);
}

char* inet_ntoa(in_addr address)
{
    static thread_local char text[INET_ADDRSTRLEN];
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

}  // namespace platform
