// Conversions between socket addresses and text: "a.b.c.d:port",
// "[x::y]:port" and the bare path of a local socket.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/winsock.hpp"
#include "socketlib/socket.hpp"

namespace socketlib {

namespace {

constexpr int ipv6_text_size = 46;
constexpr int ipv4_text_size = 16;

// Copies a path of at most `path_size` bytes (it may lack a terminator) into
// a text of `size` bytes, always terminated.
void copy_path(const char* path, std::size_t path_size, char* text, int size)
{
    if (size <= 0)
        return;
    std::size_t length = strnlen(path, path_size);
    if (length > static_cast<std::size_t>(size) - 1)
        length = static_cast<std::size_t>(size) - 1;
    std::memcpy(text, path, length);
    text[length] = '\0';
}

// The printers write nothing for a size of 0 or less: a negative size must
// not reach snprintf, where it would read as an unbounded one.
void print_ipv4(const in_addr& address, uint16_t port_network_order, char* text, int size)
{
    if (size <= 0)
        return;
    char numeric[ipv4_text_size] = "";
    inet_ntop(AF_INET, &address, numeric, static_cast<int>(sizeof numeric));
    std::snprintf(text, static_cast<std::size_t>(size), "%s:%d", numeric, ntohs(port_network_order));
}

void print_ipv6(const in6_addr& address, uint16_t port_network_order, char* text, int size)
{
    if (size <= 0)
        return;
    char numeric[ipv6_text_size] = "";
    inet_ntop(AF_INET6, &address, numeric, static_cast<int>(sizeof numeric));
    std::snprintf(text, static_cast<std::size_t>(size), "[%s]:%d", numeric, ntohs(port_network_order));
}

// Describes an address record of any of the three kinds; false for another
// family (the text is then untouched).
bool describe(const void* address, char* text, int size)
{
    uint16_t family;
    std::memcpy(&family, address, sizeof family);
    if (family == AF_INET6) {
        const auto* record = static_cast<const sockaddr_in6*>(address);
        print_ipv6(record->sin6_addr, record->sin6_port, text, size);
    } else if (family == AF_INET) {
        const auto* record = static_cast<const sockaddr_in*>(address);
        print_ipv4(record->sin_addr, record->sin_port, text, size);
    } else if (family == AF_UNIX) {
        const auto* record = static_cast<const sockaddr_un*>(address);
        copy_path(record->sun_path, sizeof record->sun_path, text, size);
    } else {
        return false;
    }
    return true;
}

using name_query = int (*)(platform::SOCKET, void*, int*);

char* socket_info(name_query query, int sock, char* text, int size)
{
    if (text == nullptr)
        return nullptr;
    unsigned char record[128] = {};
    int length = static_cast<int>(sizeof record);
    if (query(sock, record, &length) != 0)
        return nullptr;
    if (size > 0)
        std::memset(text, 0, static_cast<std::size_t>(size));
    if (!describe(record, text, size))
        return nullptr;
    return text;
}

}  // namespace

const char* inet_ntop(int family, const void* address, char* text, int size)
{
    if (address == nullptr || text == nullptr || size <= 0)
        return nullptr;
    int saved_error = platform::WSAGetLastError();
    uint32_t text_length = static_cast<uint32_t>(size);
    int result;
    if (family == AF_INET) {
        sockaddr_in record{};
        record.sin_family = static_cast<sa_family_t>(family);
        std::memcpy(&record.sin_addr, address, sizeof record.sin_addr);
        result = platform::WSAAddressToStringA(&record, sizeof record, nullptr, text, &text_length);
    } else if (family == AF_INET6) {
        sockaddr_in6 record{};
        record.sin6_family = static_cast<sa_family_t>(family);
        std::memcpy(&record.sin6_addr, address, sizeof record.sin6_addr);
        result = platform::WSAAddressToStringA(&record, sizeof record, nullptr, text, &text_length);
    } else {
        return nullptr;
    }
    if (result != 0) {
        // The code is fetched and dropped: failure is reported by null alone.
        platform::WSASetLastError(saved_error);
        return nullptr;
    }
    return text;
}

int inet_pton(int family, const char* text, void* address)
{
    if (text == nullptr) {
        errno = platform::RT_ENOMEM;
        return 0;
    }
    if (family != AF_INET && family != AF_INET6) {
        errno = platform::WSAEAFNOSUPPORT;
        return -1;
    }
    if (address == nullptr) {
        errno = platform::WSAEFAULT;
        return -1;
    }
    sockaddr_in6 record{};  // large enough for either family
    int length = family == AF_INET ? static_cast<int>(sizeof(sockaddr_in)) : static_cast<int>(sizeof record);
    if (platform::WSAStringToAddressA(text, family, nullptr, &record, &length) != 0) {
        int code = platform::WSAGetLastError();
        if (code == platform::WSAEINVAL)
            return 0;
        errno = code;
        return -1;
    }
    if (family == AF_INET) {
        sockaddr_in ipv4;
        std::memcpy(&ipv4, &record, sizeof ipv4);
        std::memcpy(address, &ipv4.sin_addr, sizeof ipv4.sin_addr);
    } else {
        std::memcpy(address, &record.sin6_addr, sizeof record.sin6_addr);
    }
    return 1;
}

char* sock_localinfo(int sock, char* text, int size)
{
    return socket_info(platform::getsockname, sock, text, size);
}

char* sock_peerinfo(int sock, char* text, int size)
{
    return socket_info(platform::getpeername, sock, text, size);
}

char* addr_info(const void* address, char* text, int size)
{
    if (address == nullptr || text == nullptr)
        return nullptr;
    return describe(address, text, size) ? text : nullptr;
}

char* addrin_info(sockaddr_in address, char* text, int size)
{
    if (text == nullptr)
        return nullptr;
    if (size > 0)
        std::memset(text, 0, static_cast<std::size_t>(size));
    print_ipv4(address.sin_addr, address.sin_port, text, size);
    return text;
}

char* addrun_info(sockaddr_un address, char* text, int size)
{
    if (text == nullptr)
        return nullptr;
    if (size > 0)
        std::memset(text, 0, static_cast<std::size_t>(size));
    copy_path(address.sun_path, sizeof address.sun_path, text, size);
    return text;
}

}  // namespace socketlib
