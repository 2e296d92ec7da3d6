// Socket options through one set of library codes: callers never see option
// levels, option numbers, record shapes or the separate mode switch.
#include <cerrno>

#include "platform/winsock.hpp"
#include "socketlib/internal.hpp"
#include "socketlib/socket.hpp"

namespace socketlib {

namespace {

constexpr int option_codes[] = {platform::WSAEBADF,       platform::WSAEFAULT,   platform::WSAEINVAL,
                                platform::WSAENOPROTOOPT, platform::WSAENOTSOCK, platform::RT_EACCES,
                                platform::WSAENOBUFS};

struct plain_option {
    int code;
    int level;
    int name;
    bool settable;
};

// Options whose value is one int, mapped onto the host's levels and numbers.
constexpr plain_option plain_options[] = {
    {SOCK_OPT_NODELAY, IPPROTO_TCP, TCP_NODELAY, true},
    {SOCK_OPT_BROADCAST, SOL_SOCKET, SO_BROADCAST, true},
    {SOCK_OPT_REUSEADDR, SOL_SOCKET, SO_REUSEADDR, true},
    {SOCK_OPT_SNDBUF, SOL_SOCKET, SO_SNDBUF, true},
    {SOCK_OPT_RCVBUF, SOL_SOCKET, SO_RCVBUF, true},
    {SOCK_OPT_ERROR, SOL_SOCKET, SO_ERROR, false},
    {SOCK_OPT_TYPE, SOL_SOCKET, SO_TYPE, false},
    {SOCK_OPT_TOS, IPPROTO_IP, IP_TOS, true},
    {SOCK_OPT_TTL, IPPROTO_IP, IP_TTL, true},
    {SOCK_OPT_HOPS, IPPROTO_IPV6, IPV6_UNICAST_HOPS, true},
    {SOCK_OPT_TCLASS, IPPROTO_IPV6, IPV6_TCLASS, true},
};

const plain_option* find_plain(int code)
{
    for (const plain_option& option : plain_options) {
        if (option.code == code)
            return &option;
    }
    return nullptr;
}

int failed()
{
    return internal::map_last_error(option_codes, SOCK_ERR_GENERIC);
}

// Switches blocking mode; 1 on success, as the mode codes report it.
int switch_mode(int sock, bool non_blocking)
{
    unsigned long argument = non_blocking ? 1 : 0;
    if (platform::ioctlsocket(sock, platform::FIONBIO, &argument) != 0)
        return failed();
    return 1;
}

}  // namespace

int sock_optget(int sock, int option, int* value)
{
    if (option == SOCK_OPT_BLOCKING || option == SOCK_OPT_NONBLOCKING) {
        bool non_blocking = option == SOCK_OPT_NONBLOCKING;
        // The mode codes read nothing; the value handed back is the mode asked for.
        if (value != nullptr)
            *value = non_blocking ? 1 : 0;
        return switch_mode(sock, non_blocking);
    }
    if (option == SOCK_OPT_LINGER) {
        struct ::linger record {};
        int length = static_cast<int>(sizeof record);
        int result = platform::getsockopt(sock, SOL_SOCKET, SO_LINGER, &record, &length);
        if (value != nullptr)
            *value = static_cast<int>(static_cast<uint16_t>(record.l_onoff));
        return result == 0 ? 0 : failed();
    }
    const plain_option* plain = find_plain(option);
    if (plain == nullptr)
        return 1;
    int read = 0;
    int length = static_cast<int>(sizeof read);
    int result = platform::getsockopt(sock, plain->level, plain->name, &read, &length);
    // A pending error is a Linux number; callers expect the library's numbers.
    if (result == 0 && option == SOCK_OPT_ERROR && read != 0)
        read = platform::translate_errno(read);
    if (value != nullptr)
        *value = read;
    return result == 0 ? 0 : failed();
}

int sock_optset(int sock, int option, int value)
{
    if (option == SOCK_OPT_BLOCKING || option == SOCK_OPT_NONBLOCKING)
        return switch_mode(sock, option == SOCK_OPT_NONBLOCKING);
    if (option == SOCK_OPT_LINGER) {
        // Lingering is switched on; the linger time is the value's low 16 bits.
        struct ::linger record;
        record.l_onoff = 1;
        record.l_linger = value & 0xFFFF;
        if (platform::setsockopt(sock, SOL_SOCKET, SO_LINGER, &record, static_cast<int>(sizeof record)) != 0)
            return failed();
        return 0;
    }
    const plain_option* plain = find_plain(option);
    if (plain == nullptr || !plain->settable)
        return 1;
    if (platform::setsockopt(sock, plain->level, plain->name, &value, static_cast<int>(sizeof value)) != 0)
        return failed();
    return 0;
}

}  // namespace socketlib
