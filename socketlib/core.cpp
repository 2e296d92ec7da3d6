// Start-up and clean-up, the generic socket operations, the address record
// builders and the small helpers every family shares.
#include <cstdlib>
#include <cstring>

#include "platform/winsock.hpp"
#include "socketlib/internal.hpp"
#include "socketlib/socket.hpp"

namespace socketlib {

using internal::map_last_error;

namespace {

constexpr int open_codes[] = {platform::RT_EMFILE,     platform::RT_ENFILE, platform::WSAEPROTONOSUPPORT,
                              platform::WSAEPROTOTYPE, platform::RT_EACCES, platform::WSAENOBUFS,
                              platform::RT_ENOMEM};
constexpr int family_codes[] = {platform::WSAEBADF, platform::WSAEFAULT, platform::WSAEOPNOTSUPP, platform::WSAEINVAL,
                                platform::WSAENOBUFS};
constexpr int bind_codes[] = {platform::WSAEADDRINUSE,   platform::WSAEADDRNOTAVAIL, platform::WSAEAFNOSUPPORT,
                              platform::WSAEBADF,        platform::WSAEINVAL,        platform::WSAENOTSOCK,
                              platform::WSAEOPNOTSUPP,   platform::RT_EACCES,        platform::WSAEDESTADDRREQ,
                              platform::RT_EIO,          platform::RT_EISDIR,        platform::WSAELOOP,
                              platform::RT_ENAMETOOLONG, platform::RT_ENOENT,        platform::RT_ENOTDIR,
                              platform::RT_EROFS,        platform::WSAEISCONN,       platform::WSAENOBUFS};
constexpr int listen_codes[] = {platform::WSAEBADF,    platform::WSAEDESTADDRREQ, platform::WSAEINVAL,
                                platform::WSAENOTSOCK, platform::WSAEOPNOTSUPP,   platform::RT_EACCES,
                                platform::WSAENOBUFS};
constexpr int accept_codes[] = {platform::WSAEBADF,  platform::WSAEFAULT,   platform::WSAEINTR,
                                platform::WSAEINVAL, platform::WSAENOTSOCK, platform::WSAECONNABORTED};

// Digit values of the chunk-size reader: only 0-9 and lower-case a-f count.
constexpr auto make_chunk_digits()
{
    struct table {
        uint8_t value[256];
    } digits{};
    for (int c = '0'; c <= '9'; ++c)
        digits.value[c] = static_cast<uint8_t>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c)
        digits.value[c] = static_cast<uint8_t>(c - 'a' + 10);
    return digits;
}
constexpr auto chunk_digits = make_chunk_digits();

uint16_t port_from_text(const char* port)
{
    if (port == nullptr)
        return 0;
    return static_cast<uint16_t>(std::atoi(port));
}

}  // namespace

int sockWSASockInit()
{
    platform::WSADATA data;
    return platform::WSAStartup(0x0202, &data) == 0 ? 1 : SOCK_ERR_STARTUP;
}

int sockWSASockClean()
{
    platform::WSACleanup();
    return 1;
}

int sock_open(int family, int type, int protocol)
{
    if (sockWSASockInit() != 1)
        return SOCK_ERR_GENERIC;
    int sock = platform::socket(family, type, protocol);
    if (sock == platform::INVALID_SOCKET) {
        int result = map_last_error(open_codes, SOCK_ERR_GENERIC);
        // No socket to close later: give back the start-up made for it.
        platform::WSACleanup();
        return result;
    }
    return sock;
}

uint16_t sock_family(int sock)
{
    sockaddr_in6 record{};
    int length = static_cast<int>(sizeof record);
    if (platform::getsockname(sock, &record, &length) != 0)
        return static_cast<uint16_t>(map_last_error(family_codes, SOCK_ERR_GENERIC));
    return record.sin6_family;
}

int sock_bind(int sock, const void* address)
{
    int length = internal::address_length_for(sock);
    if (platform::bind(sock, address, length) != 0)
        return map_last_error(bind_codes, SOCK_ERR_BIND);
    return 0;
}

int sock_listen(int sock, int backlog)
{
    if (platform::listen(sock, backlog) != 0)
        return map_last_error(listen_codes, SOCK_ERR_LISTEN);
    return 0;
}

int sock_accept(int sock, void* address)
{
    int length = internal::address_length_for(sock);
    int accepted = platform::accept(sock, address, address != nullptr ? &length : nullptr);
    if (accepted == platform::INVALID_SOCKET)
        return map_last_error(accept_codes, SOCK_ERR_ACCEPT);
    return accepted;
}

int sock_close(int sock)
{
    if (sock == 0)
        return SOCK_ERR_GENERIC;
    platform::closesocket(sock);
    platform::WSACleanup();
    return 0;
}

sockaddr_in create_sockaddrin(uint16_t family, const char* host, const char* port)
{
    sockaddr_in record;
    std::memset(&record, 0, sizeof record);
    record.sin_family = family;
    if (host == nullptr || host[0] == '\0' || std::strncmp(host, "0.0.0.0", 7) == 0)
        record.sin_addr.s_addr = htonl(0);
    else
        record.sin_addr.s_addr = platform::inet_addr(host);
    record.sin_port = htons(port_from_text(port));
    return record;
}

sockaddr_in6 create_sockaddr6in(uint16_t family, const char* host, const char* port)
{
    sockaddr_in6 record;
    std::memset(&record, 0, sizeof record);
    record.sin6_family = family;
    // Only the unspecified text itself selects the any-address; "::1" and
    // other texts starting with two colons are real addresses.
    if (host == nullptr || host[0] == '\0' || std::strcmp(host, "::") == 0)
        record.sin6_addr = in6addr_any;
    else
        inet_pton(AF_INET6, host, &record.sin6_addr);
    record.sin6_port = htons(port_from_text(port));
    return record;
}

sockaddr_un create_sockaddrun(uint16_t family, const char* path)
{
    sockaddr_un record;
    std::memset(&record, 0, sizeof record);
    record.sun_family = family;
    // A path of 108 characters or more fills the field without a terminator.
    if (path != nullptr)
        std::memcpy(record.sun_path, path, strnlen(path, sizeof record.sun_path));
    return record;
}

double sockmicrotime()
{
    platform::clock_reading now = platform::realtime_now();
    return static_cast<double>(now.seconds) + static_cast<double>(now.nanoseconds / 1000000) / 1000.0;
}

uint32_t sockchunk2uint32(const unsigned char* text)
{
    uint32_t result = 0;
    for (int i = 0; i < 4; ++i) {
        if (text[i] == '\r')
            break;
        result = result * 16 + chunk_digits.value[text[i]];
    }
    return result;
}

char* wsaerror(int code, char* buffer, int size)
{
    if (buffer != nullptr && size > 0) {
        platform::FormatMessageA(platform::FORMAT_MESSAGE_FROM_SYSTEM | platform::FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, static_cast<uint32_t>(code), 0x0400, buffer, static_cast<uint32_t>(size),
                                 nullptr);
    }
    return buffer;
}

}  // namespace socketlib
