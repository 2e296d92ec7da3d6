#include "platform/batch.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace platform {

namespace {

int record(int saved_errno)
{
    WSASetLastError(translate_errno(errno));
    errno = saved_errno;
    return SOCKET_ERROR;
}

}  // namespace

int recv_datagrams(SOCKET s, datagram* list, int count, bool wait_for_one)
{
    if (count > batch_capacity)
        count = batch_capacity;
    if (count <= 0) {
        WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    mmsghdr messages[batch_capacity];
    iovec parts[batch_capacity];
    std::memset(messages, 0, sizeof(mmsghdr) * static_cast<size_t>(count));
    for (int i = 0; i < count; i++) {
        parts[i].iov_base = list[i].data;
        parts[i].iov_len = static_cast<size_t>(list[i].size);
        messages[i].msg_hdr.msg_iov = &parts[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_name = &list[i].address;
        messages[i].msg_hdr.msg_namelen = sizeof list[i].address;
    }
    int saved = errno;
    // MSG_WAITFORONE blocks for the first datagram only, then takes what else
    // is waiting.
    int taken = ::recvmmsg(s, messages, static_cast<unsigned int>(count), wait_for_one ? MSG_WAITFORONE : MSG_DONTWAIT,
                           nullptr);
    if (taken < 0)
        return record(saved);
    for (int i = 0; i < taken; i++) {
        list[i].address_length = static_cast<int>(messages[i].msg_hdr.msg_namelen);
        if (messages[i].msg_hdr.msg_flags & MSG_TRUNC) {
            list[i].result = SOCKET_ERROR;
            list[i].error = WSAEMSGSIZE;
        } else {
            list[i].result = static_cast<int>(messages[i].msg_len);
            list[i].error = 0;
        }
    }
    return taken;
}

int send_datagrams(SOCKET s, datagram* list, int count)
{
    if (count > batch_capacity)
        count = batch_capacity;
    mmsghdr messages[batch_capacity];
    iovec parts[batch_capacity];
    for (int i = 0; i < count; i++) {
        std::memset(&messages[i], 0, sizeof messages[i]);
        parts[i].iov_base = list[i].data;
        parts[i].iov_len = static_cast<size_t>(list[i].size < 0 ? 0 : list[i].size);
        messages[i].msg_hdr.msg_iov = &parts[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_name = &list[i].address;
        messages[i].msg_hdr.msg_namelen = static_cast<socklen_t>(list[i].address_length);
    }
    int saved = errno;
    int next = 0;
    while (next < count) {
        int sent = ::sendmmsg(s, messages + next, static_cast<unsigned int>(count - next), MSG_NOSIGNAL);
        if (sent > 0) {
            for (int i = next; i < next + sent; i++) {
                list[i].result = static_cast<int>(messages[i].msg_len);
                list[i].error = 0;
            }
            next += sent;
            continue;
        }
        // The first datagram left failed: it alone takes the error.
        list[next].result = SOCKET_ERROR;
        list[next].error = sent < 0 ? translate_errno(errno) : WSAENOBUFS;
        next++;
    }
    errno = saved;
    return count;
}

}  // namespace platform
