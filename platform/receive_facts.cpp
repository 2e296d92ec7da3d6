#include "platform/receive_facts.hpp"

#include <netinet/in.h>

#include <cstring>
#include <ctime>

namespace platform {

namespace {

int64_t nanoseconds_of(const timespec& t)
{
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The payload of a control message of at least `size` bytes, else null.
const unsigned char* payload(const cmsghdr* c, size_t size)
{
    return c->cmsg_len >= CMSG_LEN(size) ? CMSG_DATA(c) : nullptr;
}

// TTL, hop limit and traffic class come as an int; IPv4's TOS as one byte.
bool small_int(const cmsghdr* c, uint8_t* out)
{
    const unsigned char* data = payload(c, sizeof(int));
    if (data == nullptr)
        return false;
    int value;
    std::memcpy(&value, data, sizeof value);
    if (value < 0 || value > 255)
        return false;
    *out = static_cast<uint8_t>(value);
    return true;
}

}  // namespace

void read_receive_facts(const msghdr* message, receive_facts* facts)
{
    *facts = receive_facts{};
    msghdr* m = const_cast<msghdr*>(message);  // the CMSG macros take no const
    for (cmsghdr* c = CMSG_FIRSTHDR(m); c != nullptr; c = CMSG_NXTHDR(m, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            if (const unsigned char* data = payload(c, sizeof(timespec))) {
                timespec stamp;
                std::memcpy(&stamp, data, sizeof stamp);
                facts->stamp_ns = nanoseconds_of(stamp);
                facts->stamp_known = true;
            }
        } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPING) {
            // Three stamps, the software one first; it is zero when the
            // socket asked only for hardware stamps.
            if (const unsigned char* data = payload(c, 3 * sizeof(timespec))) {
                timespec software;
                std::memcpy(&software, data, sizeof software);
                if (software.tv_sec != 0 || software.tv_nsec != 0) {
                    facts->stamp_ns = nanoseconds_of(software);
                    facts->stamp_known = true;
                }
            }
        } else if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL) {
            facts->ttl_known = small_int(c, &facts->ttl);
        } else if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TOS) {
            if (const unsigned char* data = payload(c, 1)) {
                facts->tos = data[0];
                facts->tos_known = true;
            }
        } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_HOPLIMIT) {
            facts->ttl_known = small_int(c, &facts->ttl);
        } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_TCLASS) {
            facts->tos_known = small_int(c, &facts->tos);
        }
    }
}

int receive_facts_on(SOCKET s)
{
    sockaddr_storage own{};
    int length = sizeof own;
    if (platform::getsockname(s, &own, &length) != 0)
        return SOCKET_ERROR;
    int on = 1;
    if (platform::setsockopt(s, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0)
        return SOCKET_ERROR;
    if (own.ss_family == AF_INET6) {
        if (platform::setsockopt(s, IPPROTO_IPV6, IPV6_RECVHOPLIMIT, &on, sizeof on) != 0 ||
            platform::setsockopt(s, IPPROTO_IPV6, IPV6_RECVTCLASS, &on, sizeof on) != 0)
            return SOCKET_ERROR;
        // IPv4 datagrams reach an IPv6 socket bound to :: as mapped
        // addresses and bring the IPv4 control messages, asked for at the
        // IPv4 level.  An IPv6-only socket never sees them.
        int v6only = 0;
        int size = sizeof v6only;
        if (platform::getsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, &size) != 0)
            return SOCKET_ERROR;
        if (v6only)
            return 0;
    } else if (own.ss_family != AF_INET) {
        WSASetLastError(WSAEAFNOSUPPORT);
        return SOCKET_ERROR;
    }
    if (platform::setsockopt(s, IPPROTO_IP, IP_RECVTTL, &on, sizeof on) != 0 ||
        platform::setsockopt(s, IPPROTO_IP, IP_RECVTOS, &on, sizeof on) != 0)
        return SOCKET_ERROR;
    return 0;
}

}  // namespace platform
