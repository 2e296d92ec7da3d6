// select over socket lists, built on ppoll so that any descriptor number
// works (fd_set holds only descriptors below 1024) and the microseconds of
// the time-out are kept.
#include <poll.h>
#include <signal.h>
#include <time.h>

#include <cerrno>

#include "platform/winsock.hpp"

namespace platform {

void socket_set_zero(socket_set* set)
{
    set->count = 0;
}

void socket_set_add(SOCKET s, socket_set* set)
{
    if (set->count < 0 || set->count > socket_set_capacity)
        set->count = 0;
    for (int i = 0; i < set->count; ++i) {
        if (set->sockets[i] == s)
            return;
    }
    if (set->count < socket_set_capacity)
        set->sockets[set->count++] = s;
}

bool socket_set_has(SOCKET s, const socket_set* set)
{
    if (set == nullptr)
        return false;
    int count = set->count < socket_set_capacity ? set->count : socket_set_capacity;
    for (int i = 0; i < count; ++i) {
        if (set->sockets[i] == s)
            return true;
    }
    return false;
}

namespace {

constexpr int max_watched = 3 * socket_set_capacity;

int entries(const socket_set* set)
{
    if (set == nullptr || set->count <= 0)
        return 0;
    return set->count < socket_set_capacity ? set->count : socket_set_capacity;
}

// Adds `events` for a socket to the poll list, sharing one entry per socket.
void watch(pollfd* list, int* used, SOCKET s, short events)
{
    for (int i = 0; i < *used; ++i) {
        if (list[i].fd == s) {
            list[i].events |= events;
            return;
        }
    }
    list[*used].fd = s;
    list[*used].events = events;
    list[*used].revents = 0;
    ++*used;
}

short returned_events(const pollfd* list, int used, SOCKET s)
{
    for (int i = 0; i < used; ++i) {
        if (list[i].fd == s)
            return list[i].revents;
    }
    return 0;
}

// Keeps in `set` only the sockets whose returned events satisfy `ready`;
// returns how many stayed.
int keep_ready(socket_set* set, const pollfd* list, int used, short ready)
{
    int count = entries(set);
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        if (returned_events(list, used, set->sockets[i]) & ready)
            set->sockets[kept++] = set->sockets[i];
    }
    if (set != nullptr)
        set->count = kept;
    return kept;
}

}  // namespace

int select(int /*socket_count*/, socket_set* read_set, socket_set* write_set, socket_set* error_set,
           const timeval* timeout)
{
    struct timespec limit;
    struct timespec* limit_pointer = nullptr;
    if (timeout != nullptr) {
        if (timeout->tv_sec < 0 || timeout->tv_usec < 0 || timeout->tv_usec >= 1000000) {
            WSASetLastError(WSAEINVAL);
            return SOCKET_ERROR;
        }
        limit.tv_sec = timeout->tv_sec;
        limit.tv_nsec = static_cast<long>(timeout->tv_usec) * 1000L;
        limit_pointer = &limit;
    }

    // A negative handle is never a socket; poll would silently skip it.
    const socket_set* sets[] = {read_set, write_set, error_set};
    for (const socket_set* set : sets) {
        for (int i = 0; i < entries(set); ++i) {
            if (set->sockets[i] < 0) {
                WSASetLastError(WSAENOTSOCK);
                return SOCKET_ERROR;
            }
        }
    }

    pollfd list[max_watched];
    int used = 0;
    for (int i = 0; i < entries(read_set); ++i)
        watch(list, &used, read_set->sockets[i], POLLIN);
    for (int i = 0; i < entries(write_set); ++i)
        watch(list, &used, write_set->sockets[i], POLLOUT);
    for (int i = 0; i < entries(error_set); ++i)
        watch(list, &used, error_set->sockets[i], POLLPRI);

    int saved = errno;
    int result = ::ppoll(list, static_cast<nfds_t>(used), limit_pointer, nullptr);
    if (result < 0) {
        WSASetLastError(translate_errno(errno));
        errno = saved;
        return SOCKET_ERROR;
    }
    for (int i = 0; i < used; ++i) {
        if (list[i].revents & POLLNVAL) {
            WSASetLastError(WSAENOTSOCK);
            return SOCKET_ERROR;
        }
    }
    // The readiness rules of select: a socket is readable when data, end of
    // file or an error is pending, writable when it can send or has failed.
    int ready = 0;
    ready += keep_ready(read_set, list, used, POLLIN | POLLHUP | POLLERR);
    ready += keep_ready(write_set, list, used, POLLOUT | POLLERR);
    ready += keep_ready(error_set, list, used, POLLPRI);
    return ready;
}

}  // namespace platform
