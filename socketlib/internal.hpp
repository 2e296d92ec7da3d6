// Helpers shared by the socket library's families; not part of its interface.
#pragma once

#include <cstddef>

#include "platform/winsock.hpp"

namespace socketlib::internal {

// The library's error convention for a failed platform call: the call's code
// (WSAGetLastError) is stored in errno; a code in `recognised` comes back
// negated, any other code gives `generic`.
int map_last_error(const int* recognised, std::size_t count, int generic);
// The same for a code the caller already holds (a pending socket error).
int map_error_code(int code, const int* recognised, std::size_t count, int generic);

template <std::size_t N>
int map_last_error(const int (&recognised)[N], int generic)
{
    return map_last_error(recognised, N, generic);
}
template <std::size_t N>
int map_error_code(int code, const int (&recognised)[N], int generic)
{
    return map_error_code(code, recognised, N, generic);
}

// Outcome of waiting on one socket.
struct wait_outcome {
    int result;     // select's result: >0 ready pairs, 0 time-out, <0 failed
    bool readable;  // the socket was reported in the read set
    bool writable;  // the socket was reported in the write set
};

// Waits for one socket with select: for reading, writing or both, with the
// given time value.  An interrupted wait is repeated with the same value;
// any other failure is returned as it is.
wait_outcome wait_socket(int sock, bool for_read, bool for_write, const platform::timeval& timeout);

// One wait for reading or for writing, as the library's operations report
// it: 0 when the socket is ready, SOCK_ERR_TIMEOUT when the time ran out,
// SOCK_ERR_GENERIC when the wait failed.
int wait_ready(int sock, bool for_read, const platform::timeval& timeout);

// Address length for a socket by its family: 110 for local sockets, 28 for
// IPv6, 16 for everything else (a failed query included).
int address_length_for(int sock);

// Sets SO_SNDTIMEO or SO_RCVTIMEO in the form Linux expects; the result is
// not examined by any caller.  A time value of zero or below becomes the
// shortest limit (1 microsecond, one kernel tick in practice), never "no limit".
void set_io_timeout(int sock, int option, const platform::timeval& timeout);

}  // namespace socketlib::internal
