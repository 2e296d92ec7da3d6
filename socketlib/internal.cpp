#include "socketlib/internal.hpp"

#include <sys/time.h>

#include <cerrno>
#include <climits>

#include "socketlib/socket.hpp"

namespace socketlib::internal {

int map_error_code(int code, const int* recognised, std::size_t count, int generic)
{
    errno = code;
    for (std::size_t i = 0; i < count; ++i) {
        if (recognised[i] == code)
            return -code;
    }
    return generic;
}

int map_last_error(const int* recognised, std::size_t count, int generic)
{
    return map_error_code(platform::WSAGetLastError(), recognised, count, generic);
}

wait_outcome wait_socket(int sock, bool for_read, bool for_write, const platform::timeval& timeout)
{
    // The descriptor count of select; a handle of INT_MAX (no socket, the wait
    // then fails) must not overflow it.
    const int socket_count = sock < INT_MAX ? sock + 1 : sock;
    platform::socket_set read_set;
    platform::socket_set write_set;
    int result;
    do {
        platform::socket_set_zero(&read_set);
        platform::socket_set_zero(&write_set);
        if (for_read)
            platform::socket_set_add(sock, &read_set);
        if (for_write)
            platform::socket_set_add(sock, &write_set);
        result = platform::select(socket_count, for_read ? &read_set : nullptr, for_write ? &write_set : nullptr,
                                  nullptr, &timeout);
    } while (result < 0 && platform::WSAGetLastError() == platform::WSAEINTR);

    wait_outcome outcome{result, false, false};
    if (result > 0) {
        outcome.readable = for_read && platform::socket_set_has(sock, &read_set);
        outcome.writable = for_write && platform::socket_set_has(sock, &write_set);
    }
    return outcome;
}

int wait_ready(int sock, bool for_read, const platform::timeval& timeout)
{
    wait_outcome outcome = wait_socket(sock, for_read, !for_read, timeout);
    if (outcome.result == 0)
        return SOCK_ERR_TIMEOUT;
    if (outcome.result < 0)
        return SOCK_ERR_GENERIC;
    // Waiting on the one socket alone, a positive result means it was reported.
    return 0;
}

int address_length_for(int sock)
{
    int16_t family = static_cast<int16_t>(sock_family(sock));
    if (family == AF_UNIX)
        return static_cast<int>(sizeof(sockaddr_un));
    if (family == AF_INET6)
        return static_cast<int>(sizeof(sockaddr_in6));
    return static_cast<int>(sizeof(sockaddr_in));
}

void set_io_timeout(int sock, int option, const platform::timeval& timeout)
{
    struct ::timeval value;
    value.tv_sec = timeout.tv_sec;
    value.tv_usec = timeout.tv_usec;
    // Linux reads {0, 0} as "no limit" and refuses negative values, which
    // would let a blocking call wait without end; the shortest limit it
    // honours stands for a time-out that has nothing left.
    if (value.tv_sec < 0 || (value.tv_sec == 0 && value.tv_usec <= 0)) {
        value.tv_sec = 0;
        value.tv_usec = 1;
    }
    platform::setsockopt(sock, SOL_SOCKET, option, &value, static_cast<int>(sizeof value));
}

}  // namespace socketlib::internal
